#include "bin/worker/inject/injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "support/fake_clock.h"
#include "inject/fakes/fake_input_sink.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint32_t kAbsoluteMove = 0xC001;

InputRecord mouse_record(std::int32_t dx, std::int32_t dy, std::int32_t data, std::uint32_t flags) {
  return InputRecord::pointer({dx, dy, data, flags});
}

class InjectorTest : public ::testing::Test {
 protected:
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  Injector injector{sink, log, clock};
};

// Writing-system keys: the scan code with the layout's virtual key (else the
// table's), released as pressed whatever the layout says by then. Others:
// the table's virtual key alone. Flags: extended, key up.
TEST_F(InjectorTest, KeyRecordsFollowTheLayoutForWritingKeysAndReleaseAsPressed) {
  const struct {
    std::map<std::uint16_t, std::uint16_t> layout;  // scan code -> virtual key; empty: cannot be read
    const char* name;
    bool pressed;
    KeyboardInput sent;
    bool inserted = true;
  } steps[] = {
      {{{0x15, 0x5A}}, "KeyY", true, {0x5A, 0x15, 0}},       // QWERTZ: the Y position types z
      {{{0x15, 0x59}}, "KeyY", true, {0x5A, 0x15, 0}},       // a repeat after a layout change
      {{}, "KeyY", false, {0x5A, 0x15, 0x0002}},
      {{}, "Keyz", true, {0x5A, 0x2C, 0}, false},            // not inserted, so not held
      {{{0x2C, 0x59}}, "KeyZ", false, {0x59, 0x2C, 0x0002}},
      {{{0x2A, 0x41}}, "ShiftLeft", true, {0xA0, 0, 0}},
      {{}, "ArrowUp", false, {0x26, 0, 0x0003}},
      {{{0x56, 0xE2}}, "IntlBackslash", true, {0xE2, 0x56, 0}},  // "<>|" beside the left Shift
      {{{0x70, 0xF2}}, "KanaMode", true, {0xF2, 0x70, 0}},       // a Japanese layout's own virtual key
      {{}, "Lang1", true, {0x15, 0x72, 0}},                     // no layout: VK_HANGUL
  };
  for (const auto& step : steps) {
    sink.layout = step.layout;
    sink.insert_limit = step.inserted ? std::nullopt : std::optional(0u);
    sink.calls.clear();
    injector.inject_key(step.name, step.pressed);
    EXPECT_THAT(sink.calls, ElementsAre(ElementsAre(InputRecord::key(step.sent)))) << step.name << step.pressed;
  }
}

TEST_F(InjectorTest, UnmappedKeySendsNothingAndIsThrottledPerSecond) {
  injector.inject_key("Lang3", true);
  clock.advance(500ms);
  injector.inject_key("Lang4", true);
  EXPECT_THAT(log.lines(), ElementsAre("key nemapat (ignorat)"));
  clock.advance(700ms);  // 1.2 s after the first message
  injector.inject_key("", false);
  EXPECT_THAT(log.lines(), ElementsAre("key nemapat (ignorat)", "key nemapat (ignorat)"));
  EXPECT_THAT(sink.calls, IsEmpty());
}

TEST_F(InjectorTest, SuppressedMessagesDoNotPushTheWindowOut) {
  for (int i = 0; i < 25; ++i) {  // a steady stream every 100 ms for 2.4 s
    injector.inject_key("Nope", true);
    clock.advance(100ms);
  }
  EXPECT_EQ(log.lines().size(), 3u);  // at 0 s, 1.0 s and 2.0 s
}

TEST_F(InjectorTest, KeyboardThrottleIsSharedBetweenUnmappedKeysAndSendFailures) {
  sink.insert_limit = 0;
  sink.error_code = 5;
  injector.inject_key("Unknown", true);
  clock.advance(500ms);
  injector.inject_key("KeyB", true);
  EXPECT_THAT(log.lines(), ElementsAre("key nemapat (ignorat)"));
  EXPECT_EQ(sink.calls.size(), 1u);  // the failed send was still attempted
  clock.advance(700ms);
  sink.error_code = -2;
  injector.inject_key("KeyB", false);
  EXPECT_THAT(log.lines(), ElementsAre("key nemapat (ignorat)", "SendInput(key) esuat: os_err=-2"));
}

TEST_F(InjectorTest, MouseThrottleIsSeparateFromTheKeyboardOne) {
  injector.inject_key("Unknown", true);
  sink.insert_limit = 0;
  sink.error_code = 87;
  injector.inject_mouse(1, 2, 0, false, 0);
  injector.inject_mouse(1, 2, 0, false, 0);
  EXPECT_THAT(log.lines(), ElementsAre("key nemapat (ignorat)", "SendInput(mouse) esuat: sent=0/1 os_err=87"));
}

TEST_F(InjectorTest, PureMoveIsOneAbsoluteVirtualDeskRecord) {
  injector.inject_mouse(65535, 0, 0, true, 0);
  EXPECT_THAT(sink.calls, ElementsAre(ElementsAre(mouse_record(65535, 0, 0, kAbsoluteMove))));
  EXPECT_EQ(sink.calls[0][0].type, InputType::mouse);
}

TEST_F(InjectorTest, UnknownButtonSendsOnlyTheMove) {
  injector.inject_mouse(10, 20, 7, true, 0);
  injector.inject_mouse(10, 20, 0, true, 0);
  injector.inject_mouse(10, 20, 255, false, 0);
  for (const auto& call : sink.calls) EXPECT_THAT(call, ElementsAre(mouse_record(10, 20, 0, kAbsoluteMove)));
}

TEST_F(InjectorTest, ButtonRecordsFollowTheMoveWithExactlyOneFlag) {
  const struct {
    std::uint8_t button;
    bool pressed;
    std::uint32_t flag;
  } cases[] = {{1, true, 0x0002}, {1, false, 0x0004}, {2, true, 0x0008},
               {2, false, 0x0010}, {3, true, 0x0020}, {3, false, 0x0040}};
  for (const auto& c : cases) {
    sink.calls.clear();
    injector.inject_mouse(300, 400, c.button, c.pressed, 0);
    EXPECT_THAT(sink.calls, ElementsAre(ElementsAre(mouse_record(300, 400, 0, kAbsoluteMove),
                                                    mouse_record(300, 400, 0, c.flag))))
        << int(c.button) << c.pressed;
  }
}

TEST_F(InjectorTest, WheelOnlyIsMoveThenWheel) {
  injector.inject_mouse(5, 6, 0, false, -3);
  EXPECT_THAT(sink.calls, ElementsAre(ElementsAre(mouse_record(5, 6, 0, kAbsoluteMove),
                                                  mouse_record(0, 0, -360, 0x0800))));
}

TEST_F(InjectorTest, LeftPressWithScrollIsThreeRecordsInOneCall) {
  injector.inject_mouse(32768, 16384, 1, true, 2);
  EXPECT_THAT(sink.calls, ElementsAre(ElementsAre(mouse_record(32768, 16384, 0, kAbsoluteMove),
                                                  mouse_record(32768, 16384, 0, 0x0002),
                                                  mouse_record(0, 0, 240, 0x0800))));
}

TEST_F(InjectorTest, WheelAmountsAtTheWireLimitsAndBeyond) {
  injector.inject_mouse(0, 0, 0, false, -128);
  injector.inject_mouse(0, 0, 0, false, 127);
  injector.inject_mouse(0, 0, 0, false, 20'000'000);  // only a direct caller can pass this
  injector.inject_mouse(0, 0, 0, false, -20'000'000);
  EXPECT_EQ(sink.calls[0][1].mouse.mouse_data, -15360);
  EXPECT_EQ(sink.calls[1][1].mouse.mouse_data, 15240);
  EXPECT_EQ(sink.calls[2][1].mouse.mouse_data, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(sink.calls[3][1].mouse.mouse_data, std::numeric_limits<std::int32_t>::min());
}

TEST_F(InjectorTest, PartialMouseSendIsReportedWithCountsAndThrottled) {
  sink.insert_limit = 1;
  sink.error_code = 1450;
  injector.inject_mouse(1, 1, 3, true, 1);
  clock.advance(999ms);
  injector.inject_mouse(1, 1, 3, false, 1);
  clock.advance(1ms);
  injector.inject_mouse(1, 1, 1, true, 0);
  EXPECT_THAT(log.lines(), ElementsAre("SendInput(mouse) esuat: sent=1/3 os_err=1450",
                                       "SendInput(mouse) esuat: sent=1/2 os_err=1450"));
  sink.insert_limit.reset();
  clock.advance(5s);
  injector.inject_mouse(1, 1, 1, true, 0);  // full success writes nothing
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(LogThrottleTest, BackwardsClockCountsAsNoTimePassed) {
  LogThrottle throttle;
  const Clock::MonotonicTime t0{std::chrono::hours(5)};
  EXPECT_TRUE(throttle.admit(t0));
  EXPECT_FALSE(throttle.admit(t0 - 10s));
  EXPECT_FALSE(throttle.admit(t0 + 999ms));
  EXPECT_TRUE(throttle.admit(t0 + 1s));
}

}  // namespace
}  // namespace halvorine
