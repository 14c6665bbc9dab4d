// The secure-capture thread's log on Windows (under Wine) while the secure
// desktop comes up and goes down once a second for two minutes: the product's
// backend (GDI capture, the VideoEncoder choosing the test transform,
// registered as a hardware encoder, through the product's enumeration), in
// fake time. Wine cannot switch desktops, so the desktop is a fake.
#include <gtest/gtest.h>

#include <cstdio>

#include "bin/worker/secure/product_stream_backend.h"
#include "bin/worker/secure/secure_capture_log.h"
#include "bin/worker/secure/secure_capture_loop.h"
#include "desktop/fake_desktop_api.h"
#include "encoder/win/media_foundation_fixture.h"
#include "fake_clock.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;

// What each line adds to the file ("[ms] [local] message\n": 42 bytes
// around the message), in the second minute.
struct SizedLog final : Logger {
  explicit SizedLog(const Clock& clock) : clock(clock) {}
  void log(std::string_view message) override {
    if (clock.monotonic_now() - start >= 60s) second_minute += 42 + message.size() + 1;
    enumerations += message.starts_with("ENCODER enum: gasit");
  }
  const Clock& clock;
  Clock::MonotonicTime start{};
  std::size_t second_minute = 0;
  int enumerations = 0;
};

class SecureCaptureLogWin : public testing::MediaFoundationTest {};

TEST_F(SecureCaptureLogWin, SwitchingOnceASecondWithAHardwareEncoderAddsLittleAfterTheFirstMinute) {
  testing::Registration registration({}, std::make_shared<testing::TransformRecord>(), true);
  testing::FakeClock clock;
  testing::FakeDesktopApi desktops;
  SizedLog sized(clock);
  SecureCaptureLog capture_log(sized, clock);
  ProductStreamBackend backend(capture_log, clock);
  auto channel = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  KeyFrameRequest key_frames;
  SecureCaptureLoop loop(desktops, backend, std::move(channel.first), key_frames, capture_log, clock);
  sized.start = clock.monotonic_now();
  for (auto now = sized.start; now - sized.start < 120s; now = clock.monotonic_now()) {
    desktops.input_desktop = (now - sized.start) % 1s < 500ms ? "Winlogon" : "Default";
    loop.step();
    while (channel.second.try_receive()) {
    }
  }
  std::printf("the second minute added %zu bytes\n", sized.second_minute);
  EXPECT_EQ(sized.enumerations, 1);
  EXPECT_LE(sized.second_minute, 12u * 1024);
}

}  // namespace
}  // namespace halvorine
