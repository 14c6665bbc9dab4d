#include "bin/worker/inject/input_desktop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "support/fake_clock.h"
#include "inject/fakes/fake_desktop_session_api.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kStaySystem = "inject: fara user logat, raman SYSTEM (Winlogon)";
constexpr const char* kCannotAttach = "input: nu ma pot atasa la desktopul de input (privilegii?)";
constexpr const char* kRepaired = "inject: context de securitate reparat -- impersonare reusita la reincercare";

class InputDesktopTest : public ::testing::Test {
 protected:
  void ensure() { ensure_input_desktop(state, context); }
  std::vector<std::string> take_lines() {
    auto lines = log.lines();
    log.clear();
    return lines;
  }

  testing::FakeDesktopSessionApi api;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  InputDesktopContext context{api, log, clock};
  InputDesktopState state;
};

TEST_F(InputDesktopTest, FirstEventImpersonatesActiveSessionThenAttaches) {
  ensure();
  EXPECT_THAT(log.lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input Some(\"Default\")",
                                       "inject: desktop=Some(\"Default\") thread_id=4242"));
  EXPECT_TRUE(state.impersonating);
  EXPECT_TRUE(api.impersonating);
  EXPECT_EQ(api.attached, "Default");
  EXPECT_EQ(state.attached_name, "Default");
  EXPECT_EQ(api.desktops_open, 1);  // the attached one
  EXPECT_EQ(api.tokens_open, 1);
}

TEST_F(InputDesktopTest, UnchangedDesktopWhileImpersonatingCostsOneOpenAndClose) {
  ensure();
  log.clear();
  const int enumerations = api.enumerations;
  for (int i = 0; i < 5; ++i) ensure();
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_EQ(api.enumerations, enumerations);
  EXPECT_EQ(api.opens, 6);
  EXPECT_EQ(api.desktops_open, 1);
  EXPECT_EQ(api.attaches, 1);
}

TEST_F(InputDesktopTest, WinlogonInAnyCaseStaysSystemWithoutEnumerating) {
  ensure();
  log.clear();
  api.input_desktop = "WINLOGON";
  api.open_fails_while_impersonating = true;  // as Windows: the user cannot open the secure desktop
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, "input: reatasat la desktopul de input Some(\"WINLOGON\")",
                                        "inject: desktop=Some(\"WINLOGON\") thread_id=4242"));
  EXPECT_EQ(api.enumerations, 1);  // only the first event's
  EXPECT_FALSE(state.impersonating);
  EXPECT_FALSE(api.impersonating);
  EXPECT_EQ(api.tokens_open, 0);
  EXPECT_EQ(api.desktops_open, 1);  // the Default desktop was closed on the switch

  // Unchanged Winlogon: nothing is retried.
  clock.advance(10s);
  ensure();
  EXPECT_THAT(take_lines(), IsEmpty());

  // Back to the user's desktop: impersonate again and attach back.
  api.input_desktop = "Default";
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                        "input: reatasat la desktopul de input Some(\"Default\")",
                                        "inject: desktop=Some(\"Default\") thread_id=4242"));
  EXPECT_TRUE(state.impersonating);
}

TEST_F(InputDesktopTest, WinlogonTestIsExactLengthAsciiCaseInsensitive) {
  EXPECT_TRUE(is_winlogon_desktop("Winlogon"));
  EXPECT_TRUE(is_winlogon_desktop("winLOGON"));
  EXPECT_FALSE(is_winlogon_desktop("winlogonX"));
  EXPECT_FALSE(is_winlogon_desktop("Winlogo"));
  EXPECT_FALSE(is_winlogon_desktop(" Winlogon"));
  EXPECT_FALSE(is_winlogon_desktop("Default"));

  api.input_desktop = "winlogonX";
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 1 (state=Active)");
}

TEST_F(InputDesktopTest, DisconnectedSessionIsUsedOnlyWhenNoActiveOneHasAToken) {
  api.sessions = std::vector<SessionInfo>{{0, SessionState::other},
                                          {3, SessionState::disconnected},
                                          {2, SessionState::active},
                                          {4, SessionState::disconnected}};
  api.sessions_with_token = {0, 3, 4};
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 3 (state=Disconnected)");
}

TEST_F(InputDesktopTest, FirstActiveSessionWithATokenWinsOverLaterAndDisconnectedOnes) {
  api.sessions = std::vector<SessionInfo>{{9, SessionState::disconnected},
                                          {5, SessionState::active},
                                          {7, SessionState::active},
                                          {6, SessionState::active}};
  api.sessions_with_token = {9, 7, 6};
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 7 (state=Active)");
  EXPECT_EQ(api.tokens_open, 1);
}

TEST_F(InputDesktopTest, EveryWayOfStayingSystemWritesTheSameMessage) {
  const auto run = [&](auto setup) {
    testing::FakeDesktopSessionApi fresh;
    testing::RecordingLogger fresh_log;
    InputDesktopState fresh_state;
    setup(fresh);
    ensure_input_desktop(fresh_state, {fresh, fresh_log, clock});
    EXPECT_FALSE(fresh_state.impersonating);
    EXPECT_EQ(fresh.tokens_open, 0);
    EXPECT_EQ(fresh.attached, "Default");  // attached as SYSTEM all the same
    return fresh_log.lines().front();
  };
  EXPECT_EQ(run([](auto& a) { a.sessions.reset(); }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.sessions_with_token.clear(); }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.sessions = std::vector<SessionInfo>{{1, SessionState::other}}; }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.impersonation_refused = true; }), kStaySystem);
}

TEST_F(InputDesktopTest, MissingImpersonationIsRetriedOncePerSecondUntilItWorks) {
  api.sessions_with_token.clear();
  ensure();  // attaches as SYSTEM
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, ::testing::_, ::testing::_));

  std::vector<int> retried_at;
  for (int tick = 0; tick < 40; ++tick) {  // an event every 100 ms
    clock.advance(100ms);
    const int before = api.enumerations;
    if (tick == 22) api.sessions_with_token = {1};
    ensure();
    if (api.enumerations != before) retried_at.push_back(tick);
  }
  // The first unchanged event retries, then one whole second after each retry;
  // once impersonating, never again.
  EXPECT_THAT(retried_at, ElementsAre(0, 10, 20, 30));
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, kStaySystem, kStaySystem,
                                        "inject: impersonez user sesiune 1 (state=Active)", kRepaired));
  EXPECT_EQ(api.attaches, 1);
}

TEST_F(InputDesktopTest, AttachFailureIsReportedOncePerDesktopName) {
  ensure();
  log.clear();
  api.input_desktop = "Other";
  api.attach_refused = {"Other", "Third"};
  for (int i = 0; i < 5; ++i) ensure();
  // Each event is a change (the attached name stays Default), so each one
  // re-chooses the identity; only the attach failure is deduplicated.
  std::vector<std::string> lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
  EXPECT_EQ(api.attached, "Default");
  EXPECT_EQ(state.attached_name, "Default");
  EXPECT_EQ(api.desktops_open, 1);  // each refused handle was closed

  api.input_desktop = "Third";
  ensure();
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);

  // Returning to the attached desktop is no attach and clears nothing;
  // a successful attach elsewhere does, so the same refusal is reported again.
  api.input_desktop = "Default";
  ensure();
  api.input_desktop = "Third";
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 0);
  api.input_desktop = "Fourth";
  ensure();
  api.input_desktop = "Third";
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
}

TEST_F(InputDesktopTest, AttachFailureOnAnUnreadableNameIsStillReportedOnce) {
  api.input_desktop.reset();
  api.attach_fails_without_name = true;
  ensure();
  ensure();
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
}

TEST_F(InputDesktopTest, OpenFailureIsReportedOnceUntilAnOpenSucceeds) {
  api.open_fails = true;
  for (int i = 0; i < 4; ++i) ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kCannotAttach));
  EXPECT_EQ(api.attaches, 0);

  api.open_fails = false;
  ensure();
  take_lines();
  api.open_fails = true;
  ensure();
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kCannotAttach));
  EXPECT_EQ(api.attached, "Default");  // the old attachment stays
}

TEST_F(InputDesktopTest, OpenFailingAsUserRevertsAndRetriesAsSystem) {
  ensure();
  take_lines();
  api.open_fails_while_impersonating = true;  // same desktop, but the user lost access
  const int opens = api.opens;
  ensure();
  EXPECT_EQ(api.opens, opens + 2);
  // Reopened as SYSTEM the desktop is unchanged and the user is missing: the
  // retry impersonates again at once.
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kRepaired));
  EXPECT_EQ(api.tokens_open, 1);
  EXPECT_TRUE(state.impersonating);

  // Within the second the revert stands and no retry follows.
  ensure();
  EXPECT_THAT(take_lines(), ::testing::IsEmpty());
  EXPECT_FALSE(state.impersonating);
  EXPECT_EQ(api.tokens_open, 0);
  EXPECT_EQ(api.attaches, 1);
}

TEST_F(InputDesktopTest, UnreadableNameNeverCountsAsUnchanged) {
  api.input_desktop.reset();
  ensure();
  clock.advance(1s);  // the repeat is held back for a second (see below)
  ensure();
  EXPECT_THAT(log.lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input None", "inject: desktop=None thread_id=4242",
                                       "inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input None", "inject: desktop=None thread_id=4242"));
  EXPECT_EQ(api.enumerations, 2);
  EXPECT_EQ(api.tokens_open, 1);    // the first token was closed by the revert
  EXPECT_EQ(api.desktops_open, 1);  // the first attachment was closed
}

// Events every 100 ms for three seconds; returns the ticks at which sessions
// were enumerated.
std::vector<int> enumerations_per_tick(testing::FakeDesktopSessionApi& api, testing::FakeClock& clock,
                                       const std::function<void()>& ensure, int ticks = 30) {
  std::vector<int> at;
  for (int tick = 0; tick < ticks; ++tick) {
    const int before = api.enumerations;
    ensure();
    if (api.enumerations != before) at.push_back(tick);
    clock.advance(100ms);
  }
  return at;
}

TEST_F(InputDesktopTest, RefusedAttachIsRetriedOncePerSecondNotOnEveryEvent) {
  ensure();
  take_lines();
  api.input_desktop = "Other";
  api.attach_refused = {"Other"};
  EXPECT_THAT(enumerations_per_tick(api, clock, [&] { ensure(); }), ElementsAre(0, 10, 20));
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kCannotAttach,
                                        "inject: impersonez user sesiune 1 (state=Active)",
                                        "inject: impersonez user sesiune 1 (state=Active)"));
  EXPECT_EQ(api.desktops_open, 1);  // every held-back handle was closed
  EXPECT_EQ(api.tokens_open, 1);

  // A change of condition is attempted at once: another refused desktop...
  api.input_desktop = "Third";
  api.attach_refused.insert("Third");
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kCannotAttach));
  // ...the attached desktop again, then the refused one once more.
  api.input_desktop = "Default";
  ensure();
  api.input_desktop = "Third";
  const int enumerations = api.enumerations;
  ensure();
  EXPECT_EQ(api.enumerations, enumerations + 1);
  // Once the refusal ends, the next second's attempt attaches.
  api.attach_refused.clear();
  ensure();
  EXPECT_EQ(api.attached, "Default");
  clock.advance(1s);
  take_lines();
  ensure();
  EXPECT_EQ(api.attached, "Third");
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                        "input: reatasat la desktopul de input Some(\"Third\")",
                                        "inject: desktop=Some(\"Third\") thread_id=4242"));
}

TEST_F(InputDesktopTest, UnreadableNameReattachesOncePerSecond) {
  api.input_desktop.reset();
  EXPECT_THAT(enumerations_per_tick(api, clock, [&] { ensure(); }), ElementsAre(0, 10, 20));
  const std::vector<std::string> lines = take_lines();
  EXPECT_EQ(lines.size(), 9u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "inject: desktop=None thread_id=4242"), 3);
  EXPECT_EQ(api.attaches, 3);
  EXPECT_EQ(api.desktops_open, 1);

  // A readable name is a change of condition: attached at once, then unchanged.
  api.input_desktop = "Default";
  ensure();
  EXPECT_EQ(api.attached, "Default");
  EXPECT_EQ(take_lines().size(), 3u);
  api.input_desktop.reset();
  ensure();
  EXPECT_EQ(take_lines().size(), 3u);  // a new None attach, not held back by the old one
}

TEST_F(InputDesktopTest, RevertImpersonationClosesTheTokenAndIsANoOpWhenSystem) {
  revert_impersonation(state, api);
  EXPECT_EQ(api.reverts, 0);
  ensure();
  revert_impersonation(state, api);
  EXPECT_EQ(api.reverts, 1);
  EXPECT_FALSE(api.impersonating);
  EXPECT_EQ(api.tokens_open, 0);
  EXPECT_FALSE(state.impersonating);
  EXPECT_EQ(state.token, nullptr);
}

TEST(DesktopNameTest, DebugFormEscapesLikeADebugString) {
  EXPECT_EQ(debug_desktop_name(std::nullopt), "None");
  EXPECT_EQ(debug_desktop_name(std::string("Default")), "Some(\"Default\")");
  EXPECT_EQ(debug_desktop_name(std::string("")), "Some(\"\")");
  EXPECT_EQ(debug_desktop_name(std::string("a\"b\\c")), "Some(\"a\\\"b\\\\c\")");
  EXPECT_EQ(debug_desktop_name(std::string("t\tr\rn\n")), "Some(\"t\\tr\\rn\\n\")");
  EXPECT_EQ(debug_desktop_name(std::string("z\0\x01\x1f\x7f", 5)), "Some(\"z\\0\\u{1}\\u{1f}\\u{7f}\")");
  EXPECT_EQ(debug_desktop_name(std::string("\xc2\x85")), "Some(\"\\u{85}\")");  // C1 control
  EXPECT_EQ(debug_desktop_name(std::string("it's \xc3\xa9\xef\xbf\xbd")), "Some(\"it's \xc3\xa9\xef\xbf\xbd\")");
}

TEST(DesktopNameTest, ReadsUntilNulAndReplacesUnpairedSurrogates) {
  struct Api : testing::FakeDesktopSessionApi {
    std::u16string units;
    bool fits = true;
    bool read_desktop_name(const OwnedDesktop&, std::span<char16_t, kDesktopNameUnits> out) override {
      std::fill(out.begin(), out.end(), u'x');
      std::copy(units.begin(), units.end(), out.begin());
      return fits;
    }
  } api;
  const OwnedDesktop desktop = api.open_input_desktop();
  api.units = std::u16string(u"Win\0junk", 8);
  EXPECT_EQ(desktop_name(api, desktop), "Win");
  api.units = u"a\xD800" u"b";
  api.units.push_back(u'\0');
  EXPECT_EQ(desktop_name(api, desktop), "a\xEF\xBF\xBD" "b");
  api.units.clear();  // no NUL at all: all 256 units
  EXPECT_EQ(desktop_name(api, desktop), std::string(256, 'x'));
  api.fits = false;
  EXPECT_EQ(desktop_name(api, desktop), std::nullopt);
}

}  // namespace
}  // namespace halvorine
