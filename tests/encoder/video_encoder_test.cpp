// VideoEncoder's choice between the encoders, driven by a scripted transform,
// a scripted OpenH264 and a fake clock.
#include "encoder/video_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fake_openh264.h"
#include "fake_transform.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

constexpr std::int32_t kRefused = static_cast<std::int32_t>(0xC00D36B5);

std::vector<std::string> lines_with(const std::vector<std::string>& lines, std::string_view part) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.find(part) != std::string::npos) found.push_back(line);
  }
  return found;
}

class VideoEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openh264_.instance.layers = {
        testing::FakeLayer{{{0, 0, 0, 1, 0x67}, {0, 0, 0, 1, 0x68}, {0, 0, 0, 1, 0x65, 0x11}}}};
  }
  Result<VideoEncoder> create(std::uint32_t fps = 30) {
    return VideoEncoder::create(64, 48, fps, 6000, log_, clock_, mf_, openh264_, 2);
  }
  VideoEncoder make(std::uint32_t fps = 30) {
    auto encoder = create(fps);
    if (!encoder) throw std::runtime_error(encoder.error().text());
    return std::move(*encoder);
  }
  std::shared_ptr<testing::FakeTransformState> add() {
    auto t = mf_.add();
    t->clock = &clock_;
    return t;
  }
  Result<EncodedFrame> encode(VideoEncoder& encoder) { return encoder.encode(frame_); }
  // Software output of the scripted library, hardware output of the fake.
  const EncodedFrame software_bytes{0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65, 0x11};
  // The first hardware output is the key frame asked for at creation.
  const EncodedFrame hardware_bytes{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88};

  // One frame per second until `seconds` have passed; the seconds (since
  // the call) at which the hardware was tried again.
  std::vector<int> retries(VideoEncoder& encoder, int seconds) {
    std::vector<int> at;
    for (int s = 1; s <= seconds; ++s) {
      clock_.advance(1s);
      const int before = mf_.startups;
      auto out = encode(encoder);
      EXPECT_TRUE(out.has_value());
      if (mf_.startups != before) at.push_back(s);
    }
    return at;
  }

  testing::FakeMediaFoundation mf_;
  testing::FakeOpenH264 openh264_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
  std::vector<std::uint8_t> frame_ = std::vector<std::uint8_t>(64 * 48 * 4, 30);
};

TEST_F(VideoEncoderTest, CreationPrefersHighThenMainThenSoftware) {
  struct Case {
    std::string name;
    std::function<void()> script;
    bool hardware;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"high", [&] { add(); }, true, {"ENCODER: hardware MFT active (64x48@30fps, sync)"}},
      {"async", [&] { add()->asynchronous = true; }, true,
       {"ENCODER: hardware MFT active (64x48@30fps, async)"}},
      {"main", [&] { add()->refused_profile = 100; }, true,
       {"ENCODER hw: High profile esuat (init: profile (0xC00D36B4)) -> incerc Main",
        "ENCODER: hardware MFT active (64x48@30fps, sync)"}},
      {"none", [] {}, false,
       {"ENCODER hw: High profile esuat (init: No hardware H.264 encoder found (0xFFFFFFFF)) -> "
        "incerc Main",
        "ENCODER: hardware FAILED: init: No hardware H.264 encoder found (0xFFFFFFFF) -> software "
        "openh264 (64x48@30fps)",
        "SW: preset software fps=20 kbps=6000", "SW: 64x48 (native) threads=2"}},
  };
  for (const Case& c : cases) {
    mf_.transforms.clear();
    log_.clear();
    c.script();
    VideoEncoder encoder = make();
    EXPECT_EQ(encoder.on_hardware(), c.hardware) << c.name;
    std::vector<std::string> lines;
    for (const auto& line : log_.lines()) {
      for (std::string_view part : {"High profile", "hardware MFT", "hardware FAILED", "SW:"}) {
        if (line.find(part) != std::string::npos) lines.push_back(line);
      }
    }
    EXPECT_EQ(lines, c.lines) << c.name;
    if (c.name == "main") {
      EXPECT_EQ(mf_.transforms[0]->output_types.at(0).at(MfTypeKey::mpeg2_profile), 77U);
    }
    auto out = encode(encoder);
    ASSERT_TRUE(out.has_value()) << c.name;
    EXPECT_EQ(*out, c.hardware ? hardware_bytes : software_bytes) << c.name;
  }
}

TEST_F(VideoEncoderTest, NeitherEncoderMeansNoVideoEncoder) {
  openh264_.create_code = 3;
  auto encoder = create();
  ASSERT_FALSE(encoder.has_value());
  EXPECT_THAT(encoder.error().text(), HasSubstr("openh264 init (64x48 20fps): "));
}

TEST_F(VideoEncoderTest, FpsZeroIsOneOnBothPaths) {
  auto t = add();
  VideoEncoder hardware = make(0);
  EXPECT_THAT(log_.lines(), Contains("ENCODER: hardware MFT active (64x48@1fps, sync)"));
  EXPECT_EQ(t->output_types.at(0).at(MfTypeKey::frame_rate), std::uint64_t{1} << 32 | 1);
  EXPECT_EQ(t->inputs.at(1).time, 10'000'000);

  mf_.transforms.clear();
  log_.clear();
  VideoEncoder software = make(0);
  EXPECT_THAT(log_.lines(), IsSupersetOf({HasSubstr("-> software openh264 (64x48@1fps)"),
                                          HasSubstr("SW: preset software fps=1 kbps=6000")}));
}

TEST_F(VideoEncoderTest, ThirtyFailedFramesSwitchToSoftwareForTheFrameAtHand) {
  auto t = add();
  VideoEncoder encoder = make();
  t->failures["ProcessInput"] = kRefused;
  log_.clear();
  for (int frame = 0; frame < 29; ++frame) {
    auto out = encode(encoder);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->empty());
  }
  EXPECT_THAT(lines_with(log_.lines(), "tranzitorie"),
              ElementsAre("ENCODER hw: eroare tranzitorie #1 (HW encode frame 0: fake failure "
                          "(0xC00D36B5)) - skip frame",
                          "ENCODER hw: eroare tranzitorie #2 (HW encode frame 1: fake failure "
                          "(0xC00D36B5)) - skip frame",
                          "ENCODER hw: eroare tranzitorie #3 (HW encode frame 2: fake failure "
                          "(0xC00D36B5)) - skip frame"));
  EXPECT_TRUE(encoder.on_hardware());
  openh264_.instance.calls.clear();
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, software_bytes);
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_THAT(log_.lines(), Contains("ENCODER: 30 erori hardware consecutive (HW encode frame 29: "
                                     "fake failure (0xC00D36B5)) -> switch software"));
  // The software encoder starts with a key frame; the transform is released.
  EXPECT_THAT(openh264_.instance.calls, Contains("ForceIntraFrame(true)"));
  EXPECT_EQ(t->live_objects, 0);
}

TEST_F(VideoEncoderTest, ASuccessfulFrameStartsTheFailureCountAgain) {
  auto t = add();
  VideoEncoder encoder = make();
  log_.clear();
  for (int run : {3, 29}) {
    t->failures["ProcessInput"] = kRefused;
    for (int i = 0; i < run; ++i) ASSERT_TRUE(encode(encoder).has_value());
    t->failures.clear();
    auto out = encode(encoder);
    ASSERT_TRUE(out.has_value());
    // The first output at all is the key frame asked for at creation.
    EXPECT_EQ(*out, run == 3 ? hardware_bytes : t->default_output);
  }
  EXPECT_TRUE(encoder.on_hardware());
  const auto transient = lines_with(log_.lines(), "tranzitorie");
  ASSERT_EQ(transient.size(), 6U);
  EXPECT_THAT(transient[3], HasSubstr("#1 (HW encode frame 4:"));
}

TEST_F(VideoEncoderTest, HardwareThatNeverProducesSwitchesOnTheTenthCall) {
  auto t = add();
  VideoEncoder encoder = make();
  t->silent = true;
  for (int call = 1; call < 10; ++call) {
    auto out = encode(encoder);
    ASSERT_TRUE(out.has_value() && out->empty());
    EXPECT_TRUE(encoder.on_hardware());
  }
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, software_bytes);
  EXPECT_THAT(log_.lines(), Contains("ENCODER: hardware nu produce output -> switch software"));

  // Output once, and silence afterwards is no reason to switch.
  mf_.transforms.clear();
  auto once = add();
  VideoEncoder other = make();
  ASSERT_EQ(*encode(other), hardware_bytes);
  once->silent = true;
  for (int call = 0; call < 30; ++call) ASSERT_TRUE(encode(other).has_value());
  EXPECT_TRUE(other.on_hardware());
}

TEST_F(VideoEncoderTest, RetryScheduleFromCreationUntilGivingUp) {
  VideoEncoder encoder = make();  // no hardware at all
  EXPECT_EQ(mf_.startups, 2);     // High, then Main
  EXPECT_EQ(retries(encoder, 1000), (std::vector<int>{60, 120, 180, 480}));
  EXPECT_EQ(mf_.startups, 2 + 4 * 2);
  EXPECT_EQ(lines_with(log_.lines(), "give up").size(), 1U);
  EXPECT_THAT(log_.lines(), Contains("ENCODER: give up hardware, ramanem pe software"));
  EXPECT_FALSE(encoder.on_hardware());
}

TEST_F(VideoEncoderTest, RetriesBackToHardwareAndAfterAFallBackStartOver) {
  VideoEncoder encoder = make();
  // Two failed retries, then the hardware appears but stays silent: a
  // retry without output counts as failed, and the frame is the software's.
  EXPECT_EQ(retries(encoder, 120), (std::vector<int>{60, 120}));
  auto t = add();
  t->silent = true;
  clock_.advance(60s);
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, software_bytes);
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_EQ(t->live_objects, 0);

  // The fourth try (300 s later) works: back on hardware, its first output
  // the key frame the new transform was asked for when it was made.
  t->silent = false;
  log_.clear();
  EXPECT_EQ(retries(encoder, 299), std::vector<int>{});
  clock_.advance(1s);
  out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, hardware_bytes);
  EXPECT_TRUE(encoder.on_hardware());
  EXPECT_EQ(openh264_.destroyed, 1);
  EXPECT_THAT(log_.lines(), IsSupersetOf({"ENCODER hw: ForceKeyFrame cerut (ICodecAPI)",
                                          "ENCODER: revenit pe hardware"}));
  EXPECT_TRUE(t->inputs.back().discontinuity);
  ASSERT_TRUE(encode(encoder).has_value());
  EXPECT_FALSE(t->inputs.back().discontinuity);

  // A later fall-back plans four retries again on the same schedule.
  t->failures["ProcessInput"] = kRefused;
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(encode(encoder).has_value());
  ASSERT_FALSE(encoder.on_hardware());
  mf_.startup_hr = kRefused;
  EXPECT_EQ(retries(encoder, 600), (std::vector<int>{60, 120, 180, 480}));
  EXPECT_THAT(log_.lines(), Contains("ENCODER: give up hardware, ramanem pe software"));
}

TEST_F(VideoEncoderTest, SoftwareThatCannotBeCreatedKeepsTheHardware) {
  auto t = add();
  VideoEncoder encoder = make();
  t->failures["ProcessInput"] = kRefused;
  openh264_.create_code = 5;
  for (int i = 0; i < 29; ++i) ASSERT_TRUE(encode(encoder).has_value());
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto out = encode(encoder);
    ASSERT_FALSE(out.has_value());
    EXPECT_THAT(out.error().text(), HasSubstr("openh264 init (64x48 20fps)"));
    EXPECT_TRUE(encoder.on_hardware());
  }
  openh264_.create_code = 0;
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, software_bytes);
  EXPECT_THAT(log_.lines(), Contains(HasSubstr("ENCODER: 32 erori hardware consecutive")));
}

TEST_F(VideoEncoderTest, WrongLengthIsRefusedAndCountsNoFrame) {
  auto t = add();
  VideoEncoder encoder = make();
  auto out = encoder.encode(std::vector<std::uint8_t>(12287));
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().text(), "frame size mismatch: got 12287 bytes, encoder is 64x48 = 12288 bytes");
  t->failures["ProcessInput"] = kRefused;
  log_.clear();
  ASSERT_TRUE(encode(encoder).has_value());
  EXPECT_THAT(log_.lines(), Contains(HasSubstr("#1 (HW encode frame 0:")));
}

TEST_F(VideoEncoderTest, ForceKeyFrameGoesToTheActiveEncoder) {
  VideoEncoder software = make();
  ASSERT_TRUE(encode(software).has_value());
  openh264_.instance.calls.clear();
  software.force_key_frame();
  EXPECT_THAT(openh264_.instance.calls, ElementsAre("ForceIntraFrame(true)"));

  auto t = add();
  VideoEncoder hardware = make();
  log_.clear();
  clock_.advance(1s);  // past the request made at creation, so its line shows
  hardware.force_key_frame();
  ASSERT_TRUE(encode(hardware).has_value());
  EXPECT_THAT(log_.lines(), Contains("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)"));
  EXPECT_TRUE(t->inputs.back().discontinuity);
  EXPECT_THAT(openh264_.instance.calls, Not(Contains("EncodeFrame")));
}

// --- what reaches the GUI -------------------------------------------------

TEST_F(VideoEncoderTest, OutputCollectedBeforeAFailedHardwareCallIsNotLost) {
  auto t = add();
  VideoEncoder encoder = make();
  ASSERT_EQ(*encode(encoder), hardware_bytes);
  t->outputs = {testing::FakeOutput{0, {{0, 0, 0, 1, 0x41, 0x07}}}, testing::FakeOutput{kRefused, {}}};
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, (EncodedFrame{0, 0, 0, 1, 0x41, 0x07}));
  EXPECT_THAT(log_.lines(), Contains(HasSubstr("eroare tranzitorie #1")));
}

TEST_F(VideoEncoderTest, LateAsynchronousOutputIsCollectedAndNothingBeforeAForcedKeyFrameGoesOut) {
  auto t = add();
  t->asynchronous = true;
  t->output_latency = 20ms;  // the warm-up takes the validation frames' output
  VideoEncoder encoder = make();
  ASSERT_TRUE(encode(encoder)->empty());
  clock_.advance(20ms);
  EXPECT_EQ(*encoder.collect_pending_output(), hardware_bytes);
  EXPECT_TRUE(encoder.collect_pending_output()->empty());

  ASSERT_TRUE(encode(encoder)->empty());  // a P-frame on its way
  encoder.force_key_frame();              // ... made useless by a loss
  ASSERT_TRUE(encode(encoder)->empty());
  clock_.advance(20ms);
  // Both arrive in one collection: only the key frame goes out.
  EXPECT_EQ(*encoder.collect_pending_output(), hardware_bytes);
  EXPECT_TRUE(t->inputs.back().discontinuity);
}

TEST_F(VideoEncoderTest, AnAsynchronousRetryThatAnswersWithinTheWaitGoesBackToHardware) {
  VideoEncoder encoder = make();  // software: no hardware yet
  auto t = add();
  t->asynchronous = true;
  t->output_latency = 40ms;
  clock_.advance(60s);
  auto out = encode(encoder);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, hardware_bytes);  // the new transform's key frame, a call late
  EXPECT_TRUE(encoder.on_hardware());
  EXPECT_THAT(log_.lines(), Contains("ENCODER: revenit pe hardware"));
}

TEST_F(VideoEncoderTest, ScreensBeyondTheSoftwareLimitAreScaledDownOnBothEncoders) {
  frame_.assign(std::size_t{5120} * 1440 * 4, 90);
  auto software = VideoEncoder::create(5120, 1440, 30, 6000, log_, clock_, mf_, openh264_, 2);
  ASSERT_TRUE(software.has_value());
  EXPECT_THAT(log_.lines(), Contains("ENCODER: ecran 5120x1440 peste limita encoderului -> scalat la 3840x1080"));
  EXPECT_THAT(log_.lines(), Contains("SW: 3840x1080 (native) threads=2"));
  ASSERT_TRUE(encode(*software).has_value());
  EXPECT_EQ(openh264_.instance.init_params.back().iPicWidth, 3840);
  EXPECT_EQ(openh264_.instance.init_params.back().iPicHeight, 1080);

  auto t = add();
  auto hardware = VideoEncoder::create(5120, 1440, 30, 6000, log_, clock_, mf_, openh264_, 2);
  ASSERT_TRUE(hardware.has_value() && hardware->on_hardware());
  EXPECT_EQ(t->output_types.at(0).at(MfTypeKey::frame_size), std::uint64_t{3840} << 32 | 1080);
  ASSERT_TRUE(encode(*hardware).has_value());
  EXPECT_EQ(t->inputs.back().bytes, std::size_t{3840} * 1080 * 3 / 2);
}

}  // namespace
}  // namespace halvorine
