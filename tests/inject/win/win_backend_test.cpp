// The Win32 backends against the real system (run under Wine here).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/win/win_input_sink.h"
#include "bin/worker/inject/session_api.h"
#include "common/win/win_sdk.h"
#include "desktop/desktop_name.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

TEST(WinBackendTest, RecordsHaveTheSizeSendInputIsGiven) { EXPECT_EQ(sizeof(INPUT), 40u); }

TEST(WinBackendTest, InputDesktopIsNamedAndAttachable) {
  const std::unique_ptr<DesktopApi> desktops = make_desktop_api();
  const OwnedDesktop desktop = desktops->open_input_desktop();
  ASSERT_TRUE(desktop);
  EXPECT_EQ(desktop_name(*desktops, desktop), "Default");
  EXPECT_TRUE(desktops->set_thread_desktop(desktop));
  EXPECT_EQ(make_session_api()->current_thread_id(), GetCurrentThreadId());
}

TEST(WinBackendTest, SessionTokenImpersonationAndRevert) {
  const std::unique_ptr<SessionApi> api = make_session_api();
  // Wine lists no session but gives the token of the process's own session.
  EXPECT_TRUE(api->enumerate_sessions().has_value());
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  const std::unique_ptr<UserToken> token = api->query_user_token(session);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(api->impersonate(*token));
  api->revert_to_self();
}

TEST(WinBackendTest, EnsureInputDesktopAttachesToDefault) {
  const std::unique_ptr<DesktopApi> desktops = make_desktop_api();
  const std::unique_ptr<SessionApi> sessions = make_session_api();
  testing::RecordingLogger log;
  testing::FakeClock clock;
  InputDesktop desktop(*desktops, *sessions, log, clock);
  desktop.ensure();
  const std::string thread = std::to_string(GetCurrentThreadId());
  const std::vector<std::string> expected = {"input: reatasat la desktopul de input Some(\"Default\")",
                                             "inject: desktop=Some(\"Default\") thread_id=" + thread};
  EXPECT_THAT(log.lines(), ::testing::IsSupersetOf(expected));
  EXPECT_EQ(desktop.attached_name(), "Default");
  desktop.revert_impersonation();
}

TEST(WinBackendTest, AbsoluteMoveLandsWhereNormalisedCoordinatesSay) {
  WinInputSink sink;
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const InputRecord move = InputRecord::pointer({32768, 16384, 0, 0xC001});
  const SendOutcome outcome = sink.send(std::span(&move, 1));
  EXPECT_EQ(outcome.inserted, 1u);
  POINT point{};
  ASSERT_TRUE(GetCursorPos(&point));
  EXPECT_NEAR(point.x, width / 2, 1);
  EXPECT_NEAR(point.y, height / 4, 1);
}

TEST(WinBackendTest, KeyRecordsAreInserted) {
  WinInputSink sink;
  const InputRecord records[] = {InputRecord::key({0x7E, 0, 0}), InputRecord::key({0x7E, 0, 0x0002})};  // F15
  EXPECT_EQ(sink.send(records).inserted, 2u);
}

}  // namespace
}  // namespace halvorine
