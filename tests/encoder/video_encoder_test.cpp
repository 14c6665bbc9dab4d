// VideoEncoder's policy over counting encoders and a fake clock: the choice
// between hardware and software, the retry schedule, and what reaches the
// GUI (checked by decoding it: continuity_error).
#include "encoder/video_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counting_encoders.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::continuity_error;

std::vector<std::string> lines_with(const std::vector<std::string>& lines, std::string_view part) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.find(part) != std::string::npos) found.push_back(line);
  }
  return found;
}

class VideoEncoderTest : public ::testing::Test {
 protected:
  VideoEncoder make(std::uint32_t fps = 30) {
    auto made = VideoEncoder::create(
        std::make_unique<testing::CountingFactory>(script_, EncoderRequest{64, 48, fps, 6000}), log_, clock_);
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
  }
  // Encodes one frame; what passed is added to the GUI's stream.
  EncodeResult encode(VideoEncoder& encoder) {
    EncodeResult out = encoder.encode(frame_);
    gui_.insert(gui_.end(), out->begin(), out->end());
    return out;
  }
  // One frame per second until `seconds` have passed; the seconds at which
  // the hardware was tried again.
  std::vector<int> retries(VideoEncoder& encoder, int seconds) {
    std::vector<int> at;
    for (int s = 1; s <= seconds; ++s) {
      clock_.advance(1s);
      const auto before = script_.made.size();
      EXPECT_TRUE(encode(encoder).has_value());
      if (script_.made.size() > before && script_.made[before] == "hardware 100") at.push_back(s);
    }
    return at;
  }

  testing::EncoderScript script_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
  std::vector<std::uint8_t> frame_ = std::vector<std::uint8_t>(64 * 48 * 4, 30);
  std::vector<std::uint8_t> gui_;
};

TEST_F(VideoEncoderTest, CreationPrefersHighThenMainThenSoftware) {
  struct Case {
    const char* name;
    bool high_fails, hardware_fails, software_fails;
    std::vector<std::string> made;
    std::vector<std::string> lines;
  };
  const std::string high = "ENCODER hw: High profile esuat (no hardware (0xC00D36B5)) -> incerc Main";
  const std::vector<Case> cases = {
      {"high", false, false, false, {"hardware 100"}, {"ENCODER: hardware MFT active (64x48@30fps, sync)"}},
      {"main", true, false, false, {"hardware 100", "hardware 77"},
       {high, "ENCODER: hardware MFT active (64x48@30fps, sync)"}},
      {"software", false, true, false, {"hardware 100", "hardware 77", "software"},
       {high, "ENCODER: hardware FAILED: no hardware (0xC00D36B5) -> software openh264 (64x48@30fps)"}},
      {"neither", false, true, true, {"hardware 100", "hardware 77", "software"},
       {high, "ENCODER: hardware FAILED: no hardware (0xC00D36B5) -> software openh264 (64x48@30fps)"}},
  };
  for (const Case& c : cases) {
    script_ = {.hardware_fails = c.hardware_fails, .high_profile_fails = c.high_fails,
               .software_fails = c.software_fails};
    log_.clear();
    auto made = VideoEncoder::create(
        std::make_unique<testing::CountingFactory>(script_, EncoderRequest{64, 48, 30, 6000}), log_, clock_);
    EXPECT_EQ(script_.made, c.made) << c.name;
    EXPECT_EQ(log_.lines(), c.lines) << c.name;
    ASSERT_EQ(made.has_value(), !c.software_fails) << c.name;
    if (!made) continue;
    EXPECT_EQ(made->on_hardware(), !c.hardware_fails) << c.name;
    // The loop feeds each encoder at the rate it was made with.
    EXPECT_EQ(made->fps(), c.hardware_fails ? 20U : 30U) << c.name;
    EXPECT_EQ(continuity_error(*made->encode(frame_)), "") << c.name;
  }
}

TEST_F(VideoEncoderTest, FailuresSwitchOnTheThirtiethAndAreLoggedOncePerError) {
  VideoEncoder encoder = make();
  auto wrong = encoder.encode(std::vector<std::uint8_t>(12287));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().text(), "frame size mismatch: got 12287 bytes, encoder is 64x48 = 12288 bytes");
  ASSERT_FALSE(encode(encoder)->empty());

  // A run of three, broken by a success, then a run the software cannot end.
  script_.failing = true;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(encode(encoder)->empty());
  script_.failing = false;
  EXPECT_FALSE(encode(encoder)->empty());  // a key frame: a failed call may have lost a picture
  script_.failing = true;
  script_.software_fails = true;
  for (int i = 0; i < 29; ++i) EXPECT_TRUE(encode(encoder).has_value());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(encode(encoder).has_value());
  EXPECT_TRUE(encoder.on_hardware());
  script_.software_fails = false;
  clock_.advance(1s);
  EXPECT_FALSE(encode(encoder)->empty());
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_EQ(encoder.fps(), 20U);
  EXPECT_EQ(script_.alive, 1);

  const auto lines = log_.lines();
  const std::string refused = " fake failure (0xC00D36B5)) - skip frame";
  EXPECT_THAT(lines_with(lines, "tranzitorie"),
              ElementsAre("ENCODER hw: eroare tranzitorie #1 (HW encode frame 1:" + refused,
                          "ENCODER hw: eroare tranzitorie #2 (HW encode frame 2:" + refused,
                          "ENCODER hw: eroare tranzitorie #3 (HW encode frame 3:" + refused,
                          "ENCODER hw: eroare tranzitorie #1 (HW encode frame 5:" + refused,
                          "ENCODER hw: eroare tranzitorie #2 (HW encode frame 6:" + refused,
                          "ENCODER hw: eroare tranzitorie #3 (HW encode frame 7:" + refused));
  // Once for the error, not once per frame; again a second later.
  EXPECT_THAT(lines_with(lines, "erori hardware"),
              ElementsAre("ENCODER: 30 erori hardware consecutive (HW encode frame 34: fake failure "
                          "(0xC00D36B5)) -> switch software",
                          "ENCODER: 33 erori hardware consecutive (HW encode frame 37: fake failure "
                          "(0xC00D36B5)) -> switch software"));
  EXPECT_EQ(continuity_error(gui_), "");
}

TEST_F(VideoEncoderTest, SilenceIsJudgedByWhatReachesTheGui) {
  struct Case {
    const char* name;
    std::function<void()> script;
    bool switches;
  };
  const std::vector<Case> cases = {
      {"silent", [&] { script_.silent = true; }, true},
      // Output only collected between frames counts too.
      {"late", [&] { script_.answers_late = true; }, false},
      // Pictures that never open the gate (key frames ignored, the first one
      // missed, a rebuilt one too) are no output.
      {"only P-frames",
       [&] {
         script_.ignores_key_frames = true;
         script_.openings_ignored = true;
       },
       true},
  };
  for (const Case& c : cases) {
    script_ = {};
    log_.clear();
    c.script();
    VideoEncoder encoder = make();
    for (int call = 0; call < 20; ++call) {
      if (call < 10) {
        ASSERT_TRUE(encoder.on_hardware()) << c.name << call;
      }
      ASSERT_TRUE(encoder.encode(frame_).has_value());
      (void)encoder.collect_pending_output();
    }
    EXPECT_EQ(encoder.on_hardware(), !c.switches) << c.name;
    EXPECT_EQ(lines_with(log_.lines(), "-> switch software").size(), c.switches ? 1U : 0U) << c.name;
  }
  // Output once: later silence is no reason to switch.
  script_ = {};
  VideoEncoder encoder = make();
  ASSERT_FALSE(encoder.encode(frame_)->empty());
  script_.silent = true;
  for (int call = 0; call < 30; ++call) ASSERT_TRUE(encoder.encode(frame_).has_value());
  EXPECT_TRUE(encoder.on_hardware());
}

TEST_F(VideoEncoderTest, RetryScheduleBackToHardwareAndAgain) {
  script_.hardware_fails = true;
  VideoEncoder encoder = make();
  EXPECT_EQ(retries(encoder, 1000), (std::vector<int>{60, 120, 180, 480}));
  EXPECT_THAT(lines_with(log_.lines(), "give up"), ElementsAre("ENCODER: give up hardware, ramanem pe software"));

  // After a fall-back at run time: four retries again; a silent new
  // transform is a failed retry, the frame still the software's.
  script_.hardware_fails = false;
  encoder = make();
  script_.failing = true;
  for (int i = 0; i < 30; ++i) encode(encoder);
  ASSERT_FALSE(encoder.on_hardware());
  script_.failing = false;
  script_.silent = true;
  script_.ignores_key_frames = true;
  script_.openings_ignored = true;
  EXPECT_EQ(retries(encoder, 120), (std::vector<int>{60, 120}));
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_EQ(script_.alive, 1);
  // The third works: back on hardware, starting on the frame at hand.
  script_.silent = script_.ignores_key_frames = script_.openings_ignored = false;
  log_.clear();
  EXPECT_EQ(retries(encoder, 60), (std::vector<int>{60}));
  EXPECT_TRUE(encoder.on_hardware());
  EXPECT_TRUE(script_.last_opening);
  EXPECT_THAT(log_.lines(), Contains("ENCODER: revenit pe hardware"));
  EXPECT_EQ(encoder.fps(), 30U);
  EXPECT_EQ(continuity_error(gui_), "");
}

// A GUI joins at frame 5 (a key frame is asked for); frames come every 200
// ms, each followed by a collection. Whatever the encoder does, the GUI's
// stream decodes from there.
TEST_F(VideoEncoderTest, KeyFramesReachTheGuiWhateverTheEncoderDoes) {
  struct Case {
    const char* name;
    std::function<void()> script;   // at frame 0
    int fail_at = -1;               // this frame's call loses its picture and fails
    int collect_fails_at = -1;      // this frame's collection fails
    std::vector<std::string> made;  // after creation
    std::vector<std::string> lines;
  };
  const std::string rebuild = "ENCODER: cadru cheie cerut fara raspuns (1000 ms, 6 cadre) -> refac encoderul hardware";
  const std::vector<Case> cases = {
      {"obedient", [] {}},
      {"parameter sets only outside the output", [&] { script_.sets_outside = true; }},
      {"a failed call", [] {}, 10},
      {"answers only collected, one collection fails", [&] { script_.answers_late = true; }, -1, 10},
      {"key-frame requests ignored", [&] { script_.ignores_key_frames = true; }, -1, -1, {"hardware 100"}, {rebuild}},
      {"ignored, and no opening either",
       [&] { script_.ignores_key_frames = script_.openings_ignored = true; }, -1, -1, {"hardware 100", "software"},
       {rebuild, "ENCODER: nici encoderul hardware refacut nu da cadru cheie -> switch software"}},
  };
  for (const Case& c : cases) {
    script_ = {};
    log_.clear();
    VideoEncoder encoder = make();
    script_.made.clear();
    c.script();
    std::vector<std::string> errors;
    for (int frame = 0; frame < 30; ++frame) {
      if (frame == 5) {
        encoder.force_key_frame();
        gui_.clear();
      }
      script_.fail_once = frame == c.fail_at;
      encode(encoder);
      script_.collect_fails = frame == c.collect_fails_at;
      auto late = encoder.collect_pending_output();
      if (!late) errors.push_back(late.error().text());
      gui_.insert(gui_.end(), late->begin(), late->end());
      clock_.advance(200ms);
    }
    EXPECT_EQ(continuity_error(gui_), "") << c.name;
    EXPECT_EQ(script_.made, c.made) << c.name;
    EXPECT_EQ(lines_with(log_.lines(), "cadru cheie"), c.lines) << c.name;
    EXPECT_EQ(errors, std::vector<std::string>(c.collect_fails_at < 0 ? 0 : 1,
                                               "HW collect output: fake failure (0xC00D36B5)"))
        << c.name;
  }
}

}  // namespace
}  // namespace halvorine
