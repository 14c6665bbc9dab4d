// The Win32 backends against the real system (run under Wine here).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/win/win_desktop_session_api.h"
#include "bin/worker/inject/win/win_input_sink.h"
#include "common/win/win_sdk.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

TEST(WinBackendTest, RecordsHaveTheSizeSendInputIsGiven) { EXPECT_EQ(sizeof(INPUT), 40u); }

TEST(WinBackendTest, InputDesktopIsNamedAndAttachable) {
  WinDesktopSessionApi api;
  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(desktop);
  EXPECT_EQ(desktop_name(api, desktop), "Default");
  EXPECT_TRUE(api.set_thread_desktop(desktop));
  EXPECT_EQ(api.current_thread_id(), GetCurrentThreadId());
}

TEST(WinBackendTest, SessionTokenImpersonationAndRevert) {
  WinDesktopSessionApi api;
  // Wine lists no session but gives the token of the process's own session.
  EXPECT_TRUE(api.enumerate_sessions().has_value());
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  const std::unique_ptr<UserToken> token = api.query_user_token(session);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(api.impersonate(*token));
  api.revert_to_self();
}

TEST(WinBackendTest, EnsureInputDesktopAttachesToDefault) {
  WinDesktopSessionApi api;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  InputDesktopState state;
  ensure_input_desktop(state, {api, log, clock});
  const std::string thread = std::to_string(GetCurrentThreadId());
  const std::vector<std::string> expected = {"input: reatasat la desktopul de input Some(\"Default\")",
                                             "inject: desktop=Some(\"Default\") thread_id=" + thread};
  EXPECT_THAT(log.lines(), ::testing::IsSupersetOf(expected));
  EXPECT_EQ(state.attached_name, "Default");
  revert_impersonation(state, api);
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
