#include "bin/worker/inject/injection_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "support/fake_clock.h"
#include "desktop/fake_desktop_api.h"
#include "inject/fakes/fake_session_api.h"
#include "inject/fakes/fake_input_sink.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using ::testing::ElementsAre;

TEST(InjectionThreadTest, InjectsQueuedEventsInOrderThenStopsAndReverts) {
  testing::FakeDesktopApi desktops;
  testing::FakeSessionApi sessions;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  auto [sender, receiver] = make_unbounded_channel<InputEvent>();

  // Everything is queued, and the last sender dropped, before the thread runs.
  sender.send(KeyEvent{"KeyQ", true});
  sender.send(MouseEvent{100, 200, 1, true, 0});
  sender.send(KeyEvent{"", true});  // still checks the desktop, then is unmapped
  sender.send(KeyEvent{"KeyQ", false});
  { auto moved = std::move(sender); }

  std::thread thread(
      [&, receiver = std::move(receiver)]() mutable { run_injection_thread(std::move(receiver), desktops, sessions, sink, log, clock); });
  thread.join();

  ASSERT_EQ(sink.calls.size(), 3u);
  EXPECT_EQ(sink.calls[0][0].keyboard, (KeyboardInput{0x51, 0x10, 0}));
  EXPECT_EQ(sink.calls[1].size(), 2u);
  EXPECT_EQ(sink.calls[2][0].keyboard, (KeyboardInput{0x51, 0x10, 0x0002}));
  EXPECT_EQ(desktops.opens, 5);  // one at start, one per event, the empty name included
  EXPECT_THAT(log.lines(), ElementsAre("inject: thread injectie pornit thread_id=4242",
                                       "inject: impersonez user sesiune 1 (state=Active)",
                                       "input: reatasat la desktopul de input Some(\"Default\")",
                                       "inject: desktop=Some(\"Default\") thread_id=4242", "key nemapat (ignorat)",
                                       "inject: channel inchis, thread injectie oprit"));
  EXPECT_FALSE(sessions.impersonating);
  EXPECT_EQ(sessions.tokens_open, 0);
  EXPECT_EQ(desktops.desktops_open, 0);
}

TEST(InjectionThreadTest, WaitsForEventsSentAfterItStarted) {
  testing::FakeDesktopApi desktops;
  testing::FakeSessionApi sessions;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  auto [sender, receiver] = make_unbounded_channel<InputEvent>();
  std::thread thread(
      [&, receiver = std::move(receiver)]() mutable { run_injection_thread(std::move(receiver), desktops, sessions, sink, log, clock); });
  for (std::uint16_t i = 0; i < 100; ++i) sender.send(MouseEvent{i, i, 0, false, 0});
  { auto moved = std::move(sender); }
  thread.join();
  ASSERT_EQ(sink.calls.size(), 100u);
  for (std::uint16_t i = 0; i < 100; ++i) EXPECT_EQ(sink.calls[i][0].mouse.dx, i);
  EXPECT_EQ(log.lines().back(), "inject: channel inchis, thread injectie oprit");
}

// What a killed worker left down is released at start, once attached, before any event.
TEST(InjectionThreadTest, ReleasesModifiersAndButtonsLeftDownAtStart) {
  testing::FakeDesktopApi desktops;
  testing::FakeSessionApi sessions;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  sink.down = {0x41, 0x04, 0xA0, 0xA5, 0x01};  // KeyA is no modifier: left alone
  auto [sender, receiver] = make_unbounded_channel<InputEvent>();
  { auto gone = std::move(sender); }
  run_injection_thread(std::move(receiver), desktops, sessions, sink, log, clock);
  EXPECT_EQ(sink.calls, (std::vector<std::vector<InputRecord>>{
                            {InputRecord::key({0xA0, 0, kKeyEventKeyUp}),
                             InputRecord::key({0xA5, 0, kKeyEventKeyUp | kKeyEventExtendedKey}),
                             InputRecord::pointer({0, 0, 0, kMouseEventLeftUp}),
                             InputRecord::pointer({0, 0, 0, kMouseEventMiddleUp})}}));
  EXPECT_EQ(log.lines().at(4), "inject: eliberez 4 taste/butoane ramase apasate la pornire");
}

// The input desktop becomes "Winlogon" from the `switch_at`-th open on.
class SwitchingDesktops final : public testing::FakeDesktopApi {
 public:
  explicit SwitchingDesktops(int switch_at) : switch_at_(switch_at) {}
  OwnedDesktop open_input_desktop() override {
    if (opens + 1 >= switch_at_) input_desktop = "Winlogon";
    return FakeDesktopApi::open_input_desktop();
  }

 private:
  int switch_at_;
};

// An untrusted client is not followed on the secure desktop: nothing it
// presses there goes in, but what it pressed before the switch is still
// released (the button where the pointer is); one line names it. A trusted
// client's input goes in.
TEST(InjectionThreadTest, OnTheSecureDesktopOnlyReleasesOfAnUntrustedClientGoIn) {
  SwitchingDesktops desktops(4);  // the start, two events on "Default", then "Winlogon"
  testing::FakeSessionApi sessions;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  auto [sender, receiver] = make_unbounded_channel<InputEvent>();
  sender.send(ClientVerdict{false, "/tmp/gui\nforged", ""});
  sender.send(KeyEvent{"ShiftLeft", true});
  sender.send(MouseEvent{100, 200, 1, true, 0});
  sender.send(KeyEvent{"KeyA", true});               // Winlogon from here on
  sender.send(MouseEvent{300, 400, 0, false, 1});
  sender.send(KeyEvent{"ShiftLeft", false});
  sender.send(MouseEvent{500, 600, 1, false, 0});
  sender.send(KeyEvent{"KeyB", false});
  sender.send(KeyEvent{"ShiftLeft", false});
  sender.send(ClientVerdict{true, "/opt/h/gui", ""});
  sender.send(KeyEvent{"KeyA", true});
  { auto gone = std::move(sender); }
  run_injection_thread(std::move(receiver), desktops, sessions, sink, log, clock);

  EXPECT_EQ(sink.calls, (std::vector<std::vector<InputRecord>>{
                            {InputRecord::key({0xA0, 0, 0})},
                            {InputRecord::pointer({100, 200, 0, kMouseEventMove | kMouseEventVirtualDesk |
                                                                    kMouseEventAbsolute}),
                             InputRecord::pointer({100, 200, 0, kMouseEventLeftDown})},
                            {InputRecord::key({0xA0, 0, kKeyEventKeyUp})},
                            {InputRecord::pointer({0, 0, 0, kMouseEventLeftUp})},
                            {InputRecord::key({0x41, 0x1E, 0})}}));
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.find("clientul") != std::string::npos; }), 1);
  EXPECT_THAT(lines, ::testing::Contains(
                         "inject: clientul /tmp/gui\\x0aforged nu e instalat langa worker - ignor inputul pe Winlogon"));
}

// A worker that never serves (a second one, refused the lock) touches no key,
// however long it runs.
TEST(InjectionThreadTest, ReleasesNothingWhenThisWorkerNeverServes) {
  testing::FakeDesktopApi desktops;
  testing::FakeSessionApi sessions;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  ServingLatch serving;
  sink.down = {0xA0, 0x01};
  auto [sender, receiver] = make_unbounded_channel<InputEvent>();
  std::thread thread([&, receiver = std::move(receiver)]() mutable {
    run_injection_thread(std::move(receiver), desktops, sessions, sink, log, clock, nullptr, &serving);
  });
  serving.abandon();
  { auto gone = std::move(sender); }
  thread.join();
  EXPECT_TRUE(sink.calls.empty());
  EXPECT_EQ(desktops.opens, 0);
}

}  // namespace
}  // namespace halvorine
