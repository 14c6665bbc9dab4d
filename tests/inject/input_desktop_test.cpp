#include "bin/worker/inject/input_desktop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

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
using Lines = std::vector<std::string>;
using Sessions = std::optional<std::vector<SessionInfo>>;

constexpr const char* kStaySystem = "inject: fara user logat, raman SYSTEM (Winlogon)";
constexpr const char* kCannotAttach = "input: nu ma pot atasa la desktopul de input (privilegii?)";
constexpr const char* kRepaired = "inject: context de securitate reparat -- impersonare reusita la reincercare";
constexpr const char* kUser1 = "inject: impersonez user sesiune 1 (state=Active)";

// The log of an attach to a desktop named without escapes, after the identity line.
Lines attach_log(const std::string& identity, const std::optional<std::string>& name) {
  const std::string shown = name ? "Some(\"" + *name + "\")" : "None";
  return {identity, "input: reatasat la desktopul de input " + shown, "inject: desktop=" + shown + " thread_id=4242"};
}

class InputDesktopTest : public ::testing::Test {
 protected:
  void ensure() { desktop.ensure(); }
  Lines take_lines() {
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

// The first event chooses the identity, then attaches whatever identity resulted.
TEST(InputDesktopIdentity, FirstEventPrefersActiveThenDisconnectedUserElseStaysSystem) {
  using enum SessionState;
  const Sessions one_active = std::vector<SessionInfo>{{1, active}};
  const struct {
    std::string desktop;
    Sessions sessions;
    std::set<std::uint32_t> with_token;
    bool refused;
    std::string identity;
    int enumerations;
  } cases[] = {
      {"Default", one_active, {1}, false, kUser1, 1},
      {"Default", std::vector<SessionInfo>{{0, other}, {3, disconnected}, {2, active}, {4, disconnected}},
       {0, 3, 4}, false, "inject: impersonez user sesiune 3 (state=Disconnected)", 1},
      {"Default", std::vector<SessionInfo>{{9, disconnected}, {5, active}, {7, active}, {6, active}},
       {9, 7, 6}, false, "inject: impersonez user sesiune 7 (state=Active)", 1},
      // Every way of staying SYSTEM writes the same line.
      {"Default", std::nullopt, {1}, false, kStaySystem, 1},
      {"Default", one_active, {}, false, kStaySystem, 1},
      {"Default", std::vector<SessionInfo>{{1, other}}, {1}, false, kStaySystem, 1},
      {"Default", one_active, {1}, true, kStaySystem, 1},
      // Winlogon is exactly those 8 letters in any ASCII case, and is never enumerated for.
      {"Winlogon", one_active, {1}, false, kStaySystem, 0},
      {"winLOGON", one_active, {1}, false, kStaySystem, 0},
      {"winlogonX", one_active, {1}, false, kUser1, 1},
      {"Winlogo", one_active, {1}, false, kUser1, 1},
      {" Winlogon", one_active, {1}, false, kUser1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    testing::FakeDesktopApi desktops;
    testing::FakeSessionApi sessions;
    testing::RecordingLogger log;
    testing::FakeClock clock;
    InputDesktop desktop(desktops, sessions, log, clock);
    desktops.input_desktop = c.desktop;
    sessions.sessions = c.sessions;
    sessions.sessions_with_token = c.with_token;
    sessions.impersonation_refused = c.refused;
    desktop.ensure();
    EXPECT_EQ(log.lines(), attach_log(c.identity, c.desktop));
    const bool user = c.identity != kStaySystem;
    EXPECT_EQ(desktop.impersonating(), user);
    EXPECT_EQ(sessions.impersonating, user);
    EXPECT_EQ(sessions.tokens_open, user ? 1 : 0);  // refused and unused tokens are closed
    EXPECT_EQ(sessions.enumerations, c.enumerations);
    EXPECT_EQ(desktops.attached, c.desktop);  // attached as SYSTEM all the same
    EXPECT_EQ(desktop.attached_name(), c.desktop);
    EXPECT_EQ(desktops.desktops_open, 1);
  }
}

// A script of events on one desktop object. A refused attach or an unreadable
// name is attempted again only once per second (sessions enumerated, identity
// re-chosen), unless the condition changes; a refusal is reported once per
// name until an attach succeeds. An unchanged desktop costs one open and close.
TEST_F(InputDesktopTest, AttachAttemptsAreHeldBackOncePerSecondAndFailuresReportedOncePerName) {
  const struct {
    std::optional<std::string> desktop;
    std::chrono::milliseconds after;  // since the step before
    bool refused;                     // SetThreadDesktop refuses this desktop
    bool attempted, reported, attaches;
  } steps[] = {
      {"Default", 0ms, false, true, false, true},
      {"Default", 0ms, false, false, false, false},  // unchanged: nothing at all
      {"Other", 0ms, true, true, true, false},
      {"Other", 100ms, true, false, false, false},   // held back within the second
      {"Other", 900ms, true, true, false, false},    // a second later: tried, not reported again
      {"Third", 0ms, true, true, true, false},       // another refused name: at once
      {"Third", 0ms, true, false, false, false},
      {"Default", 0ms, false, false, false, false},  // back on the attached desktop...
      {"Third", 0ms, true, true, false, false},      // ...ends the hold, but not the report
      {"Fourth", 0ms, false, true, false, true},
      {"Third", 0ms, true, true, true, false},       // an attach cleared the reports
      {"Third", 0ms, false, false, false, false},    // the refusal has ended: held back still
      {"Third", 1s, false, true, false, true},
      {std::nullopt, 0ms, true, true, true, false},  // unreadable names are reported once too
      {std::nullopt, 1s, true, true, false, false},
      {std::nullopt, 0ms, false, false, false, false},
      {std::nullopt, 1s, false, true, false, true},
      {std::nullopt, 100ms, false, false, false, false},  // never unchanged, but held back
      {std::nullopt, 900ms, false, true, false, true},
      {"Default", 0ms, false, true, false, true},     // a readable name: at once
      {std::nullopt, 0ms, false, true, false, true},  // not held back by the old None
  };
  std::optional<std::string> attached;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto& s = steps[i];
    SCOPED_TRACE(i);
    clock.advance(s.after);
    desktops.input_desktop = s.desktop;
    desktops.attach_refused = s.refused && s.desktop ? std::set{*s.desktop} : std::set<std::string>{};
    desktops.attach_fails_without_name = s.refused && !s.desktop;
    const int enumerations = sessions.enumerations, attaches = desktops.attaches;
    ensure();
    if (s.attaches) attached = s.desktop;
    Lines expected = s.attaches ? attach_log(kUser1, attached) : s.attempted ? Lines{kUser1} : Lines{};
    if (s.reported) expected.push_back(kCannotAttach);
    EXPECT_EQ(take_lines(), expected);
    EXPECT_EQ(sessions.enumerations - enumerations, s.attempted ? 1 : 0);
    EXPECT_EQ(desktops.attaches - attaches, s.attaches ? 1 : 0);
    EXPECT_EQ(desktops.attached, attached);
    EXPECT_EQ(desktop.attached_name(), attached);
    EXPECT_EQ(desktops.opens, static_cast<int>(i) + 1);
    EXPECT_EQ(desktops.desktops_open, 1);  // every held-back, refused or replaced desktop was closed
    EXPECT_EQ(sessions.tokens_open, 1);    // every replaced token was closed
  }
}

TEST_F(InputDesktopTest, WinlogonRevertsToSystemUntilTheUserDesktopReturns) {
  ensure();
  log.clear();
  desktops.input_desktop = "WINLOGON";
  desktops.open_fails_while = &sessions.impersonating;  // as Windows: the user cannot open the secure desktop
  ensure();
  EXPECT_EQ(take_lines(), attach_log(kStaySystem, "WINLOGON"));
  EXPECT_EQ(sessions.enumerations, 1);  // only the first event's
  EXPECT_FALSE(desktop.impersonating());
  EXPECT_FALSE(sessions.impersonating);
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_EQ(desktops.desktops_open, 1);  // the Default desktop was closed on the switch

  clock.advance(10s);  // unchanged Winlogon: nothing is retried
  ensure();
  EXPECT_THAT(take_lines(), IsEmpty());

  desktops.input_desktop = "Default";
  ensure();
  EXPECT_EQ(take_lines(), attach_log(kUser1, "Default"));
  EXPECT_TRUE(desktop.impersonating());
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
  EXPECT_THAT(take_lines(), ElementsAre(kStaySystem, kStaySystem, kStaySystem, kUser1, kRepaired));
  EXPECT_EQ(desktops.attaches, 1);
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
  EXPECT_THAT(take_lines(), ElementsAre(kUser1, kRepaired));
  EXPECT_EQ(sessions.tokens_open, 1);
  EXPECT_TRUE(desktop.impersonating());

  // Within the second the revert stands and no retry follows.
  ensure();
  EXPECT_THAT(take_lines(), IsEmpty());
  EXPECT_FALSE(desktop.impersonating());
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_EQ(desktops.attaches, 1);
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
