// SoftwareEncoder on the real OpenH264: what the library does with our
// settings and frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wels/codec_api.h>

#include <string>
#include <vector>

#include "annexb.h"
#include "desktop_frames.h"
#include "encoder/software_encoder.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::DesktopPainter;
using testing::nal_types;

std::vector<std::uint8_t> desktop(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> bgra(std::size_t{width} * height * 4);
  DesktopPainter(bgra, width, height).paint();
  return bgra;
}

class OpenH264EncoderTest : public ::testing::Test {
 protected:
  SoftwareEncoder make(std::uint32_t width, std::uint32_t height, std::uint32_t fps = 30,
                       std::uint32_t kbps = 6000) {
    auto encoder = SoftwareEncoder::create(width, height, fps, kbps, log_);
    EXPECT_TRUE(encoder.has_value()) << encoder.error().text();
    return std::move(*encoder);
  }
  testing::RecordingLogger log_;
};

TEST_F(OpenH264EncoderTest, FirstFrameIsIdrWithParameterSetsThenPFramesUntilForced) {
  SoftwareEncoder encoder = make(320, 240);
  std::vector<std::uint8_t> bgra(320 * 240 * 4);
  DesktopPainter painter(bgra, 320, 240);
  painter.paint();

  std::vector<std::vector<int>> types;
  for (std::uint32_t frame = 0; frame < 6; ++frame) {
    if (frame == 4) encoder.force_key_frame();
    painter.type_line(frame);
    auto out = encoder.encode(bgra);
    ASSERT_TRUE(out.has_value()) << out.error().text();
    ASSERT_FALSE(out->empty()) << "frame " << frame;
    types.push_back(nal_types(*out));
  }
  using testing::contains;
  EXPECT_TRUE(contains(types[0], testing::kNalSps));
  EXPECT_TRUE(contains(types[0], testing::kNalPps));
  EXPECT_TRUE(contains(types[0], testing::kNalIdrSlice));
  for (int frame : {1, 2, 3, 5}) {
    EXPECT_FALSE(contains(types[frame], testing::kNalIdrSlice)) << "frame " << frame;
    EXPECT_TRUE(contains(types[frame], testing::kNalSlice)) << "frame " << frame;
  }
  // The forced frame is a whole IDR access unit, parameter sets included.
  EXPECT_TRUE(contains(types[4], testing::kNalIdrSlice));
  EXPECT_TRUE(contains(types[4], testing::kNalSps));
}

TEST_F(OpenH264EncoderTest, LibraryReportsTheSettingsWeGaveIt) {
  SoftwareEncoder encoder = make(640, 360, 30, 9000);
  ASSERT_TRUE(encoder.encode(desktop(640, 360)).has_value());
  ISVCEncoder& library = encoder.instance();

  SEncParamExt params{};
  ASSERT_EQ(library.GetOption(ENCODER_OPTION_SVC_ENCODE_PARAM_EXT, &params), 0);
  EXPECT_EQ(params.iUsageType, SCREEN_CONTENT_REAL_TIME);
  EXPECT_EQ(params.iPicWidth, 640);
  EXPECT_EQ(params.iPicHeight, 360);
  EXPECT_EQ(params.iTargetBitrate, 6000000);
  EXPECT_EQ(params.iRCMode, RC_QUALITY_MODE);
  EXPECT_EQ(params.fMaxFrameRate, 20.0F);
  EXPECT_EQ(params.eSpsPpsIdStrategy, CONSTANT_ID);
  EXPECT_FALSE(params.bEnableFrameSkip);
  EXPECT_FALSE(params.bEnableDenoise);
  // The library runs one thread per slice: with its default single slice it
  // settles on 1 whatever we ask for (we ask for min(processors, 8)).
  EXPECT_GE(params.iMultipleThreadIdc, 1);
  EXPECT_LE(params.iMultipleThreadIdc, encoder.settings().threads);

  int format = 0;
  ASSERT_EQ(library.GetOption(ENCODER_OPTION_DATAFORMAT, &format), 0);
  EXPECT_EQ(format, videoFormatI420);
  float frame_rate = 0;
  ASSERT_EQ(library.GetOption(ENCODER_OPTION_FRAME_RATE, &frame_rate), 0);
  EXPECT_EQ(frame_rate, 20.0F);
  SBitrateInfo bitrate{};
  bitrate.iLayer = SPATIAL_LAYER_ALL;
  ASSERT_EQ(library.GetOption(ENCODER_OPTION_BITRATE, &bitrate), 0);
  EXPECT_EQ(bitrate.iBitrate, 6000000);
}

TEST_F(OpenH264EncoderTest, NoiseOverTheWholePictureStaysUnderTwiceTheTarget) {
  // New noise every frame: each one an IDR picture at the QP the library
  // caps, some 13 times the target unless frames are held back.
  constexpr std::uint32_t kWidth = 320, kHeight = 240, kKbps = 500, kFrames = 100;
  SoftwareEncoder encoder = make(kWidth, kHeight, 20, kKbps);
  std::vector<std::uint8_t> bgra(std::size_t{kWidth} * kHeight * 4);
  std::uint32_t seed = 1;
  std::size_t bytes = 0;
  for (std::uint32_t frame = 0; frame < kFrames; ++frame) {
    for (std::uint8_t& byte : bgra) {
      seed = seed * 1664525 + 1013904223;
      byte = static_cast<std::uint8_t>(seed >> 24);
    }
    auto out = encoder.encode(bgra);
    ASSERT_TRUE(out.has_value()) << out.error().text();
    bytes += out->size();
  }
  // Bits per second at the 20 frames a second the library was told.
  EXPECT_LT(bytes * 8 * 20 / kFrames, 2 * kKbps * 1000);
}

TEST_F(OpenH264EncoderTest, LowRateSettingsReachTheLibrary) {
  SoftwareEncoder encoder = make(320, 240, 0, 2500);
  ASSERT_TRUE(encoder.encode(desktop(320, 240)).has_value());
  SEncParamExt params{};
  ASSERT_EQ(encoder.instance().GetOption(ENCODER_OPTION_SVC_ENCODE_PARAM_EXT, &params), 0);
  EXPECT_EQ(params.fMaxFrameRate, 1.0F);
  EXPECT_EQ(params.iTargetBitrate, 2500000);
}

TEST_F(OpenH264EncoderTest, LargestSizesEncodeAndOneMorePixelFails) {
  for (const auto& [w, h] :
       std::vector<std::pair<std::uint32_t, std::uint32_t>>{{3840, 2160}, {2160, 3840}}) {
    SoftwareEncoder encoder = make(w, h);
    auto out = encoder.encode(desktop(w, h));
    ASSERT_TRUE(out.has_value()) << w << "x" << h << ": " << out.error().text();
    EXPECT_TRUE(testing::contains(nal_types(*out), testing::kNalIdrSlice));
  }
  for (const auto& [w, h] :
       std::vector<std::pair<std::uint32_t, std::uint32_t>>{{3841, 2160}, {3840, 2161}}) {
    SoftwareEncoder encoder = make(w, h);
    auto out = encoder.encode(std::vector<std::uint8_t>(std::size_t{w} * h * 4));
    ASSERT_FALSE(out.has_value());
    EXPECT_THAT(
        out.error().text(),
        ::testing::EndsWith("Encoder max resolution 3840x2160 horizontal or 2160x3840 vertical"));
  }
}

TEST_F(OpenH264EncoderTest, OddSizeEncodes) {
  SoftwareEncoder encoder = make(1365, 767);
  std::vector<std::uint8_t> bgra(1365 * 767 * 4);
  DesktopPainter painter(bgra, 1365, 767);
  painter.paint();
  for (std::uint32_t frame = 0; frame < 3; ++frame) {
    painter.type_line(frame);
    auto out = encoder.encode(bgra);
    ASSERT_TRUE(out.has_value()) << out.error().text();
    EXPECT_FALSE(out->empty());
  }
}

TEST_F(OpenH264EncoderTest, UnchangedFramesStayCheap) {
  // Screen content that does not change costs almost nothing after the IDR.
  SoftwareEncoder encoder = make(1280, 720);
  const std::vector<std::uint8_t> bgra = desktop(1280, 720);
  auto first = encoder.encode(bgra);
  ASSERT_TRUE(first.has_value());
  for (int i = 0; i < 3; ++i) {
    auto next = encoder.encode(bgra);
    ASSERT_TRUE(next.has_value());
    EXPECT_LT(next->size() * 20, first->size());
  }
}

}  // namespace
}  // namespace halvorine
