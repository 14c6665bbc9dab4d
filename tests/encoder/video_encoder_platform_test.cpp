// VideoEncoder on this platform's real Media Foundation backend and the real
// OpenH264. Neither Linux nor Wine has a hardware H.264 encoder, so this is
// the software path with the hardware's failure lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "annexb.h"
#include "desktop_frames.h"
#include "encoder/video_encoder.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::contains;
using testing::nal_types;

TEST(VideoEncoderPlatformTest, WithoutHardwareOddSizeStreamsOnOpenH264WithTheSameLines) {
  testing::RecordingLogger log;
  testing::FakeClock clock;
  auto encoder = VideoEncoder::create(1365, 767, 30, 6000, log, clock);
  ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
  EXPECT_FALSE(encoder->on_hardware());
  const std::string no_hardware = "init: No hardware H.264 encoder found (0xFFFFFFFF)";
  EXPECT_THAT(log.lines(),
              ElementsAre("ENCODER hw: High profile esuat (" + no_hardware + ") -> incerc Main",
                          "ENCODER: hardware FAILED: " + no_hardware +
                              " -> software openh264 (1365x767@30fps)",
                          "SW: preset software fps=20 kbps=6000",
                          StartsWith("SW: 1365x767 (native) threads=")));

  std::vector<std::uint8_t> bgra(std::size_t{1365} * 767 * 4);
  testing::DesktopPainter painter(bgra, 1365, 767);
  painter.paint();
  std::vector<std::vector<int>> types;
  for (int frame = 0; frame < 4; ++frame) {
    if (frame == 3) encoder->force_key_frame();
    painter.type_line(static_cast<std::uint32_t>(frame));
    auto out = encoder->encode(bgra);
    ASSERT_TRUE(out.has_value()) << out.error().text();
    ASSERT_FALSE(out->empty());
    types.push_back(nal_types(*out));
  }
  EXPECT_TRUE(contains(types[0], testing::kNalIdrSlice));
  EXPECT_FALSE(contains(types[1], testing::kNalIdrSlice));
  EXPECT_TRUE(contains(types[3], testing::kNalIdrSlice));

  // A minute later the hardware is looked for again, and the frame still
  // comes from the software encoder.
  log.clear();
  clock.advance(60s);
  auto out = encoder->encode(bgra);
  ASSERT_TRUE(out.has_value());
  EXPECT_FALSE(out->empty());
  EXPECT_THAT(log.lines(),
              ElementsAre("ENCODER hw: High profile esuat (" + no_hardware + ") -> incerc Main"));
}

}  // namespace
}  // namespace halvorine
