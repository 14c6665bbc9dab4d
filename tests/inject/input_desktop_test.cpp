#include "bin/worker/inject/input_desktop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "support/fake_clock.h"
#include "desktop/fake_desktop_api.h"
#include "desktop/desktop_name.h"
#include "inject/fakes/fake_session_api.h"
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
  void ensure() { desktop.ensure(); }
  std::vector<std::string> take_lines() {
    auto lines = log.lines();
    log.clear();
    return lines;
  }

  testing::FakeDesktopApi desktops;
  testing::FakeSessionApi sessions;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  InputDesktop desktop{desktops, sessions, log, clock};
};

TEST_F(InputDesktopTest, FirstEventImpersonatesActiveSessionThenAttaches) {
  ensure();
  EXPECT_THAT(log.lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input Some(\"Default\")",
                                       "inject: desktop=Some(\"Default\") thread_id=4242"));
  EXPECT_TRUE(desktop.impersonating());
  EXPECT_TRUE(sessions.impersonating);
  EXPECT_EQ(desktops.attached, "Default");
  EXPECT_EQ(desktop.attached_name(), "Default");
  EXPECT_EQ(desktops.desktops_open, 1);  // the attached one
  EXPECT_EQ(sessions.tokens_open, 1);
}

TEST_F(InputDesktopTest, UnchangedDesktopWhileImpersonatingCostsOneOpenAndClose) {
  ensure();
  log.clear();
  const int enumerations = sessions.enumerations;
  for (int i = 0; i < 5; ++i) ensure();
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_EQ(sessions.enumerations, enumerations);
  EXPECT_EQ(desktops.opens, 6);
  EXPECT_EQ(desktops.desktops_open, 1);
  EXPECT_EQ(desktops.attaches, 1);
}

TEST_F(InputDesktopTest, WinlogonInAnyCaseStaysSystemWithoutEnumerating) {
  ensure();
  log.clear();
  desktops.input_desktop = "WINLOGON";
  desktops.open_fails_while = &sessions.impersonating;  // as Windows: the user cannot open the secure desktop
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, "input: reatasat la desktopul de input Some(\"WINLOGON\")",
                                        "inject: desktop=Some(\"WINLOGON\") thread_id=4242"));
  EXPECT_EQ(sessions.enumerations, 1);  // only the first event's
  EXPECT_FALSE(desktop.impersonating());
  EXPECT_FALSE(sessions.impersonating);
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_EQ(desktops.desktops_open, 1);  // the Default desktop was closed on the switch

  // Unchanged Winlogon: nothing is retried.
  clock.advance(10s);
  ensure();
  EXPECT_THAT(take_lines(), IsEmpty());

  // Back to the user's desktop: impersonate again and attach back.
  desktops.input_desktop = "Default";
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                        "input: reatasat la desktopul de input Some(\"Default\")",
                                        "inject: desktop=Some(\"Default\") thread_id=4242"));
  EXPECT_TRUE(desktop.impersonating());
}

TEST_F(InputDesktopTest, WinlogonTestIsExactLengthAsciiCaseInsensitive) {
  EXPECT_TRUE(is_winlogon_desktop("Winlogon"));
  EXPECT_TRUE(is_winlogon_desktop("winLOGON"));
  EXPECT_FALSE(is_winlogon_desktop("winlogonX"));
  EXPECT_FALSE(is_winlogon_desktop("Winlogo"));
  EXPECT_FALSE(is_winlogon_desktop(" Winlogon"));
  EXPECT_FALSE(is_winlogon_desktop("Default"));

  desktops.input_desktop = "winlogonX";
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 1 (state=Active)");
}

TEST_F(InputDesktopTest, DisconnectedSessionIsUsedOnlyWhenNoActiveOneHasAToken) {
  sessions.sessions = std::vector<SessionInfo>{{0, SessionState::other},
                                          {3, SessionState::disconnected},
                                          {2, SessionState::active},
                                          {4, SessionState::disconnected}};
  sessions.sessions_with_token = {0, 3, 4};
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 3 (state=Disconnected)");
}

TEST_F(InputDesktopTest, FirstActiveSessionWithATokenWinsOverLaterAndDisconnectedOnes) {
  sessions.sessions = std::vector<SessionInfo>{{9, SessionState::disconnected},
                                          {5, SessionState::active},
                                          {7, SessionState::active},
                                          {6, SessionState::active}};
  sessions.sessions_with_token = {9, 7, 6};
  ensure();
  EXPECT_EQ(log.lines().front(), "inject: impersonez user sesiune 7 (state=Active)");
  EXPECT_EQ(sessions.tokens_open, 1);
}

TEST_F(InputDesktopTest, EveryWayOfStayingSystemWritesTheSameMessage) {
  const auto run = [&](auto setup) {
    testing::FakeDesktopApi fresh_desktops;
    testing::FakeSessionApi fresh;
    testing::RecordingLogger fresh_log;
    InputDesktop fresh_desktop(fresh_desktops, fresh, fresh_log, clock);
    setup(fresh);
    fresh_desktop.ensure();
    EXPECT_FALSE(fresh_desktop.impersonating());
    EXPECT_EQ(fresh.tokens_open, 0);
    EXPECT_EQ(fresh_desktops.attached, "Default");  // attached as SYSTEM all the same
    return fresh_log.lines().front();
  };
  EXPECT_EQ(run([](auto& a) { a.sessions.reset(); }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.sessions_with_token.clear(); }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.sessions = std::vector<SessionInfo>{{1, SessionState::other}}; }), kStaySystem);
  EXPECT_EQ(run([](auto& a) { a.impersonation_refused = true; }), kStaySystem);
}

TEST_F(InputDesktopTest, MissingImpersonationIsRetriedOncePerSecondUntilItWorks) {
  sessions.sessions_with_token.clear();
  ensure();  // attaches as SYSTEM
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, ::testing::_, ::testing::_));

  std::vector<int> retried_at;
  for (int tick = 0; tick < 40; ++tick) {  // an event every 100 ms
    clock.advance(100ms);
    const int before = sessions.enumerations;
    if (tick == 22) sessions.sessions_with_token = {1};
    ensure();
    if (sessions.enumerations != before) retried_at.push_back(tick);
  }
  // The first unchanged event retries, then one whole second after each retry;
  // once impersonating, never again.
  EXPECT_THAT(retried_at, ElementsAre(0, 10, 20, 30));
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, kStaySystem, kStaySystem,
                                        "inject: impersonez user sesiune 1 (state=Active)", kRepaired));
  EXPECT_EQ(desktops.attaches, 1);
}

TEST_F(InputDesktopTest, AttachFailureIsReportedOncePerDesktopName) {
  ensure();
  log.clear();
  desktops.input_desktop = "Other";
  desktops.attach_refused = {"Other", "Third"};
  for (int i = 0; i < 5; ++i) ensure();
  // Each event is a change (the attached name stays Default), so each one
  // re-chooses the identity; only the attach failure is deduplicated.
  std::vector<std::string> lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
  EXPECT_EQ(desktops.attached, "Default");
  EXPECT_EQ(desktop.attached_name(), "Default");
  EXPECT_EQ(desktops.desktops_open, 1);  // each refused handle was closed

  desktops.input_desktop = "Third";
  ensure();
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);

  // Returning to the attached desktop is no attach and clears nothing;
  // a successful attach elsewhere does, so the same refusal is reported again.
  desktops.input_desktop = "Default";
  ensure();
  desktops.input_desktop = "Third";
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 0);
  desktops.input_desktop = "Fourth";
  ensure();
  desktops.input_desktop = "Third";
  ensure();
  lines = take_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
}

TEST_F(InputDesktopTest, AttachFailureOnAnUnreadableNameIsStillReportedOnce) {
  desktops.input_desktop.reset();
  desktops.attach_fails_without_name = true;
  ensure();
  ensure();
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCannotAttach), 1);
}

TEST_F(InputDesktopTest, OpenFailureIsReportedOnceUntilAnOpenSucceeds) {
  desktops.open_fails = true;
  for (int i = 0; i < 4; ++i) ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kCannotAttach));
  EXPECT_EQ(desktops.attaches, 0);

  desktops.open_fails = false;
  ensure();
  take_lines();
  desktops.open_fails = true;
  ensure();
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre(kCannotAttach));
  EXPECT_EQ(desktops.attached, "Default");  // the old attachment stays
}

TEST_F(InputDesktopTest, OpenFailingAsUserRevertsAndRetriesAsSystem) {
  ensure();
  take_lines();
  desktops.open_fails_while = &sessions.impersonating;  // same desktop, but the user lost access
  const int opens = desktops.opens;
  ensure();
  EXPECT_EQ(desktops.opens, opens + 2);
  // Reopened as SYSTEM the desktop is unchanged and the user is missing: the
  // retry impersonates again at once.
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kRepaired));
  EXPECT_EQ(sessions.tokens_open, 1);
  EXPECT_TRUE(desktop.impersonating());

  // Within the second the revert stands and no retry follows.
  ensure();
  EXPECT_THAT(take_lines(), ::testing::IsEmpty());
  EXPECT_FALSE(desktop.impersonating());
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_EQ(desktops.attaches, 1);
}

TEST_F(InputDesktopTest, UnreadableNameNeverCountsAsUnchanged) {
  desktops.input_desktop.reset();
  ensure();
  clock.advance(1s);  // the repeat is held back for a second (see below)
  ensure();
  EXPECT_THAT(log.lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input None", "inject: desktop=None thread_id=4242",
                                       "inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input None", "inject: desktop=None thread_id=4242"));
  EXPECT_EQ(sessions.enumerations, 2);
  EXPECT_EQ(sessions.tokens_open, 1);    // the first token was closed by the revert
  EXPECT_EQ(desktops.desktops_open, 1);  // the first attachment was closed
}

// Events every 100 ms for three seconds; returns the ticks at which sessions
// were enumerated.
std::vector<int> enumerations_per_tick(testing::FakeSessionApi& sessions, testing::FakeClock& clock,
                                       const std::function<void()>& ensure, int ticks = 30) {
  std::vector<int> at;
  for (int tick = 0; tick < ticks; ++tick) {
    const int before = sessions.enumerations;
    ensure();
    if (sessions.enumerations != before) at.push_back(tick);
    clock.advance(100ms);
  }
  return at;
}

TEST_F(InputDesktopTest, RefusedAttachIsRetriedOncePerSecondNotOnEveryEvent) {
  ensure();
  take_lines();
  desktops.input_desktop = "Other";
  desktops.attach_refused = {"Other"};
  EXPECT_THAT(enumerations_per_tick(sessions, clock, [&] { ensure(); }), ElementsAre(0, 10, 20));
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kCannotAttach,
                                        "inject: impersonez user sesiune 1 (state=Active)",
                                        "inject: impersonez user sesiune 1 (state=Active)"));
  EXPECT_EQ(desktops.desktops_open, 1);  // every held-back handle was closed
  EXPECT_EQ(sessions.tokens_open, 1);

  // A change of condition is attempted at once: another refused desktop...
  desktops.input_desktop = "Third";
  desktops.attach_refused.insert("Third");
  ensure();
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)", kCannotAttach));
  // ...the attached desktop again, then the refused one once more.
  desktops.input_desktop = "Default";
  ensure();
  desktops.input_desktop = "Third";
  const int enumerations = sessions.enumerations;
  ensure();
  EXPECT_EQ(sessions.enumerations, enumerations + 1);
  // Once the refusal ends, the next second's attempt attaches.
  desktops.attach_refused.clear();
  ensure();
  EXPECT_EQ(desktops.attached, "Default");
  clock.advance(1s);
  take_lines();
  ensure();
  EXPECT_EQ(desktops.attached, "Third");
  EXPECT_THAT(take_lines(), ElementsAre("inject: impersonez user sesiune 1 (state=Active)",
                                        "input: reatasat la desktopul de input Some(\"Third\")",
                                        "inject: desktop=Some(\"Third\") thread_id=4242"));
}

TEST_F(InputDesktopTest, UnreadableNameReattachesOncePerSecond) {
  desktops.input_desktop.reset();
  EXPECT_THAT(enumerations_per_tick(sessions, clock, [&] { ensure(); }), ElementsAre(0, 10, 20));
  const std::vector<std::string> lines = take_lines();
  EXPECT_EQ(lines.size(), 9u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "inject: desktop=None thread_id=4242"), 3);
  EXPECT_EQ(desktops.attaches, 3);
  EXPECT_EQ(desktops.desktops_open, 1);

  // A readable name is a change of condition: attached at once, then unchanged.
  desktops.input_desktop = "Default";
  ensure();
  EXPECT_EQ(desktops.attached, "Default");
  EXPECT_EQ(take_lines().size(), 3u);
  desktops.input_desktop.reset();
  ensure();
  EXPECT_EQ(take_lines().size(), 3u);  // a new None attach, not held back by the old one
}

TEST_F(InputDesktopTest, RevertImpersonationClosesTheTokenAndIsANoOpWhenSystem) {
  desktop.revert_impersonation();
  EXPECT_EQ(sessions.reverts, 0);
  ensure();
  desktop.revert_impersonation();
  EXPECT_EQ(sessions.reverts, 1);
  EXPECT_FALSE(sessions.impersonating);
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_FALSE(desktop.impersonating());
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
  struct Api : testing::FakeDesktopApi {
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
