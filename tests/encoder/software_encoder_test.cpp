// SoftwareEncoder's own logic against a scripted OpenH264.
#include "encoder/software_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder/color_conversion.h"
#include "fake_openh264.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using ::testing::ElementsAre;
using testing::FakeOpenH264;
using ::testing::HasSubstr;
using testing::RecordingLogger;

std::string set_option(ENCODER_OPTION option, int value) {
  return "SetOption(" + std::to_string(option) + "," + std::to_string(value) + ")";
}

class SoftwareEncoderTest : public ::testing::Test {
 protected:
  SoftwareEncoder make(std::uint32_t width = 64, std::uint32_t height = 48, std::uint32_t fps = 30,
                       std::uint32_t kbps = 6000, unsigned processors = 2) {
    auto encoder = SoftwareEncoder::create(width, height, fps, kbps, log_, library_, processors, {}, &clock_);
    EXPECT_TRUE(encoder.has_value()) << encoder.error().text();
    return std::move(*encoder);
  }
  static std::vector<std::uint8_t> frame(std::uint32_t width, std::uint32_t height) {
    return std::vector<std::uint8_t>(std::size_t{width} * height * 4, 200);
  }

  RecordingLogger log_;
  FakeOpenH264 library_;
  testing::FakeClock clock_;
};

TEST_F(SoftwareEncoderTest, CreateClampsRateAndBitRateAndLogsThem) {
  struct Case {
    std::uint32_t fps, kbps, want_fps, want_kbps;
  };
  for (const Case c : {Case{0, 2500, 1, 2500}, Case{20, 6000, 20, 6000}, Case{30, 9000, 20, 6000},
                       Case{7, 0, 7, 0}}) {
    log_.clear();
    FakeOpenH264 library;
    auto encoder = SoftwareEncoder::create(64, 48, c.fps, c.kbps, log_, library, 6);
    ASSERT_TRUE(encoder.has_value());
    EXPECT_EQ(encoder->settings().fps, c.want_fps);
    EXPECT_EQ(encoder->settings().kbps, c.want_kbps);
    EXPECT_THAT(log_.lines(), ElementsAre("SW: preset software fps=" + std::to_string(c.want_fps) +
                                              " kbps=" + std::to_string(c.want_kbps),
                                          "SW: 64x48 (native) threads=6"));
    ASSERT_TRUE(encoder->encode(frame(64, 48)).has_value());
    ASSERT_EQ(library.instance.init_params.size(), 1U);
    EXPECT_EQ(library.instance.init_params[0].fMaxFrameRate, static_cast<float>(c.want_fps));
    EXPECT_EQ(library.instance.init_params[0].iTargetBitrate, static_cast<int>(c.want_kbps * 1000));
  }
}

TEST_F(SoftwareEncoderTest, ThreadCountIsProcessorsCappedAtEightOrFourWhenUnknown) {
  for (const auto& [processors, threads] :
       std::vector<std::pair<unsigned, unsigned>>{{16, 8}, {8, 8}, {6, 6}, {1, 1}, {0, 4}}) {
    log_.clear();
    FakeOpenH264 library;
    auto encoder = SoftwareEncoder::create(1920, 1080, 30, 6000, log_, library, processors);
    ASSERT_TRUE(encoder.has_value());
    EXPECT_EQ(encoder->settings().threads, threads);
    EXPECT_EQ(log_.lines().at(1), "SW: 1920x1080 (native) threads=" + std::to_string(threads));
    ASSERT_TRUE(encoder->encode(frame(1920, 1080)).has_value());
    EXPECT_EQ(library.instance.init_params.at(0).iMultipleThreadIdc, threads);
  }
}

TEST_F(SoftwareEncoderTest, InitialisesLazilyOnceWithTheFixedSettings) {
  SoftwareEncoder encoder = make(64, 48, 30, 9000, 16);
  // Creation only quiets the library's console output.
  EXPECT_THAT(library_.instance.calls, ElementsAre(set_option(ENCODER_OPTION_TRACE_LEVEL, 0)));
  library_.instance.calls.clear();

  ASSERT_TRUE(encoder.encode(frame(64, 48)).has_value());
  ASSERT_TRUE(encoder.encode(frame(64, 48)).has_value());
  EXPECT_THAT(
      library_.instance.calls,
      ElementsAre("GetDefaultParams", "InitializeExt", set_option(ENCODER_OPTION_TRACE_LEVEL, 0),
                  set_option(ENCODER_OPTION_DATAFORMAT, videoFormatI420), "EncodeFrame",
                  "EncodeFrame"));
  const SEncParamExt& p = library_.instance.init_params.at(0);
  EXPECT_EQ(p.iUsageType, SCREEN_CONTENT_REAL_TIME);
  EXPECT_EQ(p.iPicWidth, 64);
  EXPECT_EQ(p.iPicHeight, 48);
  EXPECT_EQ(p.iTargetBitrate, 6000000);
  EXPECT_EQ(p.iRCMode, RC_QUALITY_MODE);
  EXPECT_EQ(p.fMaxFrameRate, 20.0F);
  EXPECT_EQ(p.eSpsPpsIdStrategy, CONSTANT_ID);
  EXPECT_FALSE(p.bEnableFrameSkip);
  EXPECT_EQ(p.iMultipleThreadIdc, 8);
  EXPECT_FALSE(p.bEnableDenoise);
  // The colours the converter produced, as the hardware media type states them.
  const SSpatialLayerConfig& layer = p.sSpatialLayers[0];
  EXPECT_TRUE(layer.bVideoSignalTypePresent);
  EXPECT_FALSE(layer.bFullRange);
  EXPECT_TRUE(layer.bColorDescriptionPresent);
  EXPECT_EQ(layer.uiColorPrimaries, CP_BT709);
  EXPECT_EQ(layer.uiTransferCharacteristics, TRC_BT709);
  EXPECT_EQ(layer.uiColorMatrix, CM_BT709);
  // Library defaults stay.
  EXPECT_EQ(p.uiIntraPeriod, 77U);
  EXPECT_EQ(p.iMaxQp, 51);
  EXPECT_EQ(p.iComplexityMode, MEDIUM_COMPLEXITY);
}

TEST_F(SoftwareEncoderTest, EveryFrameIsSubmittedAsI420WithTimeStampZero) {
  SoftwareEncoder encoder = make(64, 48);
  std::vector<std::uint8_t> bgra = frame(64, 48);
  for (int i = 0; i < 3000; ++i) {
    bgra[0] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(encoder.encode(bgra).has_value());
  }
  ASSERT_EQ(library_.instance.pictures.size(), 3000U);
  for (const SSourcePicture& picture : library_.instance.pictures) {
    ASSERT_EQ(picture.uiTimeStamp, 0);
    ASSERT_EQ(picture.iColorFormat, videoFormatI420);
    ASSERT_EQ(picture.iPicWidth, 64);
    ASSERT_EQ(picture.iPicHeight, 48);
    ASSERT_THAT(picture.iStride, ElementsAre(64, 32, 32, 0));
    ASSERT_EQ(picture.pData[3], nullptr);
  }
  // The planes hold the frame just converted.
  EXPECT_EQ(library_.instance.luma_at_encode.back(), ((16 * 183 + 157 * 200 + 47 * 200) >> 8) + 16);
}

TEST_F(SoftwareEncoderTest, OddSizesAreEncodedAtTheNextEvenSize) {
  SoftwareEncoder encoder = make(65, 49);
  ASSERT_TRUE(encoder.encode(frame(65, 49)).has_value());
  EXPECT_EQ(library_.instance.init_params.at(0).iPicWidth, 66);
  EXPECT_EQ(library_.instance.init_params.at(0).iPicHeight, 50);
  EXPECT_THAT(library_.instance.pictures.at(0).iStride, ElementsAre(66, 33, 33, 0));
  EXPECT_EQ(library_.instance.pictures.at(0).iPicHeight, 50);
}

TEST_F(SoftwareEncoderTest, OutputIsEveryNalOfEveryLayerInOrder) {
  SoftwareEncoder encoder = make();
  library_.instance.layers = {
      {{{0, 0, 0, 1, 0x67, 1}, {0, 0, 0, 1, 0x68, 2}}},
      {{}},
      {{{0, 0, 1, 0x65, 3, 4}, {0, 0, 1, 0x65, 5}, {0, 0, 1, 0x06}}},
  };
  auto out = encoder.encode(frame(64, 48));
  ASSERT_TRUE(out.has_value());
  EXPECT_THAT(*out, ElementsAre(0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 1, 0x65, 3, 4, 0, 0,
                                1, 0x65, 5, 0, 0, 1, 0x06));

  library_.instance.layers.clear();  // the library wrote nothing for this frame
  out = encoder.encode(frame(64, 48));
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->empty());
}

TEST_F(SoftwareEncoderTest, CreateFailureNamesSizeAndRate) {
  library_.create_code = 3;
  auto encoder = SoftwareEncoder::create(800, 600, 0, 6000, log_, library_, 2);
  ASSERT_FALSE(encoder.has_value());
  EXPECT_EQ(
      encoder.error().text(),
      "openh264 init (800x600 1fps): OpenH264 encountered an error. Native: 3. Message: None");
  EXPECT_THAT(log_.lines(), ElementsAre("SW: preset software fps=1 kbps=6000"));
}

TEST_F(SoftwareEncoderTest, FailedInitialisationIsRetriedByTheNextEncode) {
  SoftwareEncoder encoder = make();
  library_.instance.initialize_codes = {1};
  auto first = encoder.encode(frame(64, 48));
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error().text(),
            "openh264 encode: OpenH264 encountered an error. Native: 1. Message: None");
  ASSERT_TRUE(encoder.encode(frame(64, 48)).has_value());
  EXPECT_EQ(library_.instance.init_params.size(), 2U);

  // A failing option after a successful InitializeExt is a failed
  // initialisation too: the instance is released and tried again.
  FakeOpenH264 library;
  library.instance.set_option_codes = {0, 0, 4};  // create's, trace level, data format
  auto other = SoftwareEncoder::create(64, 48, 30, 6000, log_, library, 2);
  ASSERT_TRUE(other.has_value());
  auto failed = other->encode(frame(64, 48));
  ASSERT_FALSE(failed.has_value());
  EXPECT_THAT(failed.error().text(), HasSubstr("Native: 4."));
  EXPECT_EQ(library.instance.calls.back(), "Uninitialize");
  ASSERT_TRUE(other->encode(frame(64, 48)).has_value());
  EXPECT_EQ(library.instance.init_params.size(), 2U);
}

TEST_F(SoftwareEncoderTest, FailedFrameLeavesTheEncoderUsable) {
  SoftwareEncoder encoder = make();
  library_.instance.encode_codes = {0, 5};
  library_.instance.layers = {{{{0, 0, 1, 0x41}}}};
  ASSERT_TRUE(encoder.encode(frame(64, 48)).has_value());
  auto failed = encoder.encode(frame(64, 48));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().text(),
            "openh264 encode: OpenH264 encountered an error. Native: 5. Message: None");
  auto next = encoder.encode(frame(64, 48));
  ASSERT_TRUE(next.has_value());
  EXPECT_THAT(*next, ElementsAre(0, 0, 1, 0x41));
  EXPECT_EQ(library_.instance.init_params.size(), 1U);
}

TEST_F(SoftwareEncoderTest, SizesBeyondTheLimitFailEveryEncode) {
  for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {3841, 2160}, {3840, 2161}, {2161, 3840}, {2160, 3841}, {100000, 10}}) {
    FakeOpenH264 library;
    auto encoder = SoftwareEncoder::create(w, h, 30, 6000, log_, library, 2);
    ASSERT_TRUE(encoder.has_value());
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto out = encoder->encode(frame(w, h));
      ASSERT_FALSE(out.has_value());
      EXPECT_EQ(out.error().text(),
                "openh264 encode: OpenH264 encountered an error. Native: 0. Message: Encoder max "
                "resolution 3840x2160 horizontal or 2160x3840 vertical");
    }
    EXPECT_TRUE(library.instance.init_params.empty());
  }
  for (const auto& [w, h] :
       std::vector<std::pair<std::uint32_t, std::uint32_t>>{{3840, 2160}, {2160, 3840}}) {
    FakeOpenH264 library;
    auto encoder = SoftwareEncoder::create(w, h, 30, 6000, log_, library, 2);
    ASSERT_TRUE(encoder.has_value());
    EXPECT_TRUE(encoder->encode(frame(w, h)).has_value());
  }
}

TEST_F(SoftwareEncoderTest, ForceKeyFrameAsksForAnIdr) {
  SoftwareEncoder encoder = make();
  ASSERT_TRUE(encoder.encode(frame(64, 48)).has_value());
  library_.instance.calls.clear();
  encoder.force_key_frame();
  EXPECT_THAT(library_.instance.calls, ElementsAre("ForceIntraFrame(true)"));
}

TEST_F(SoftwareEncoderTest, FramesOverTwiceTheTargetAreHeldBackBeforeTheLibrary) {
  // 8 kbit/s: a ceiling of 2000 bytes a second, a frame every 50 ms; every
  // frame the library makes is 500 bytes.
  SoftwareEncoder encoder = make(64, 48, 20, 8);
  library_.instance.layers = {{{std::vector<unsigned char>(500, 0)}}};
  std::vector<int> encoded;
  for (int i = 0; i < 40; ++i) {
    clock_.advance(std::chrono::milliseconds(50));
    if (i == 10) encoder.force_key_frame();
    auto out = encoder.encode(frame(64, 48));
    ASSERT_TRUE(out.has_value());
    if (!out->empty()) encoded.push_back(i);
  }
  EXPECT_EQ(library_.instance.pictures.size(), encoded.size());  // nothing converted or encoded in vain
  // Four frames in any second, and the requested key frame when it is asked
  // for, which counts.
  EXPECT_THAT(encoded, ElementsAre(0, 1, 2, 3, 10, 21, 22, 23, 30));
}

TEST_F(SoftwareEncoderTest, DestructionReleasesTheInstance) {
  {
    SoftwareEncoder encoder = make();
    SoftwareEncoder moved = std::move(encoder);
    ASSERT_TRUE(moved.encode(frame(64, 48)).has_value());
    library_.instance.calls.clear();
  }
  EXPECT_THAT(library_.instance.calls, ElementsAre("Uninitialize"));
  EXPECT_EQ(library_.destroyed, 1);

  FakeOpenH264 never_used;
  { auto encoder = SoftwareEncoder::create(64, 48, 30, 6000, log_, never_used, 2); }
  EXPECT_EQ(never_used.destroyed, 1);
  EXPECT_THAT(never_used.instance.calls, ::testing::Not(::testing::Contains("Uninitialize")));
}

}  // namespace
}  // namespace halvorine
