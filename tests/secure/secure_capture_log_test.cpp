// The secure-capture thread's log while a client brings the secure desktop
// up and down once a second for two minutes: the capture loop and the real
// VideoEncoder over a hardware transform (the lines Windows writes: the
// enumeration, the settings, the first output steps), in fake time.
#include "bin/worker/secure/secure_capture_log.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "bin/worker/secure/secure_capture_loop.h"
#include "desktop/fake_desktop_api.h"
#include "encoder/fake_openh264.h"
#include "encoder/fake_transform.h"
#include "encoder/video_encoder.h"
#include "fake_clock.h"
#include "secure/fake_stream_backend.h"
#include "secure/sized_log.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;

struct Figures {
  std::size_t first_minute, second_minute;
  int enumerations;
};

Figures switch_for_two_minutes(bool budgeted) {
  testing::FakeClock clock;
  testing::FakeDesktopApi desktops;
  testing::FakeStreamBackend backend{clock};
  testing::FakeMediaFoundation mf;
  testing::FakeOpenH264 openh264;
  auto transform = mf.add();
  transform->clock = &clock;
  transform->numbered = true;
  openh264.instance.layers = {testing::FakeLayer{{testing::TestPictures().next(true)}}};
  for (int i = 0; i < 400; ++i) backend.sources.push_back(testing::FakeSize{64, 48});
  backend.full_image = std::vector<std::uint8_t>(64 * 48 * 4, 3);
  testing::SizedLog sized(clock);
  SecureCaptureLog capture_log(sized, clock);
  Logger& log = budgeted ? static_cast<Logger&>(capture_log) : sized;
  backend.real_encoder = [&](std::uint32_t w, std::uint32_t h, std::uint32_t fps,
                             std::uint32_t kbps) -> Result<std::unique_ptr<H264Encoder>> {
    auto made = VideoEncoder::create(w, h, fps, kbps, log, clock, mf, openh264, 2);
    if (!made) return std::unexpected(made.error());
    return std::make_unique<VideoEncoder>(std::move(*made));
  };
  auto channel = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  KeyFrameRequest key_frames;
  SecureCaptureLoop loop(desktops, backend, std::move(channel.first), key_frames, log, clock);
  sized.start = clock.monotonic_now();
  for (auto now = sized.start; now - sized.start < 120s; now = clock.monotonic_now()) {
    // Up for half a second, down for the other half.
    desktops.input_desktop = (now - sized.start) % 1s < 500ms ? "Winlogon" : "Default";
    loop.step();
    while (channel.second.try_receive()) {
    }
  }
  return {sized.first_minute, sized.second_minute, sized.enumerations};
}

TEST(SecureCaptureLog, SwitchingOnceASecondAddsLittleAfterTheFirstMinute) {
  const Figures before = switch_for_two_minutes(false);
  const Figures after = switch_for_two_minutes(true);
  std::printf("log bytes, first and second minute: every line %zu + %zu, budgeted %zu + %zu\n", before.first_minute,
              before.second_minute, after.first_minute, after.second_minute);
  EXPECT_GT(before.second_minute, 40u * 1024);  // the cycles really happened, each with its lines
  EXPECT_LE(after.second_minute, 12u * 1024);
  EXPECT_EQ(before.enumerations, 120);
  EXPECT_EQ(after.enumerations, 1);  // the first encoder's detail; the others were the same
}

}  // namespace
}  // namespace halvorine
