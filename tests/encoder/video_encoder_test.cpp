// VideoEncoder's policy over counting encoders and a fake clock: the choice
// between hardware and software, the retry schedule, and what reaches the
// GUI (checked by decoding it: continuity_error).
#include "encoder/video_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/h264_stream.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::Bytes;
using testing::continuity_error;

Error refused() { return Error::hresult(static_cast<std::int32_t>(0xC00D36B5), "fake failure"); }

// What the encoders do (a test may change it at any time) and what happened.
struct Script {
  bool hardware_fails = false, high_profile_fails = false, software_fails = false;
  bool media_foundation_missing = false;
  // Hardware: every call fails; answers nothing; key frames only as its
  // first picture; SPS/PPS only from parameter_sets(); answers only when
  // collected; the next call loses its picture and fails; collecting fails,
  // losing what waited; an opening picture is not used.
  bool failing = false, silent = false, ignores_key_frames = false, sets_outside = false;
  bool answers_late = false, fail_once = false, collect_fails = false, openings_ignored = false;
  std::vector<std::string> made;  // "hardware 100", "hardware 77 on a frame", "software" (failures too)
  int alive = 0;
};

// Answers each frame with one picture (TestPictures), a key frame when due.
class CountingEncoder final : public H264Encoder {
 public:
  CountingEncoder(Script& script, bool hardware, bool opening, std::uint32_t fps)
      : script_(script), hardware_(hardware), fps_(fps) {
    ++script_.alive;
    // Its first picture is a key frame: out at once when it opens on a
    // frame, else validation took it and creation asked for another.
    if (opening && !hw(script.openings_ignored)) {
      late_ = make(true);
    } else if (hardware) {
      (void)pictures_.next(true);
      key_due_ = !script.ignores_key_frames;
    }
  }
  ~CountingEncoder() override { --script_.alive; }

  EncodeResult encode(std::span<const std::uint8_t>) override {
    if (hw(script_.failing)) return EncodeResult::failed(refused());
    const Bytes picture = hw(script_.silent) ? Bytes{} : make(key_due_);
    if (hw(std::exchange(script_.fail_once, false))) return EncodeResult::failed(refused());
    late_.insert(late_.end(), picture.begin(), picture.end());
    return hw(script_.answers_late) ? EncodeResult{} : collect_pending_output();
  }
  EncodeResult collect_pending_output() override {
    if (!script_.collect_fails) return {std::exchange(late_, {})};
    late_.clear();
    return EncodeResult::failed(refused());
  }
  void force_key_frame() override { key_due_ = key_due_ || !hw(script_.ignores_key_frames); }
  EncodedFrame parameter_sets() override { return hw(script_.sets_outside) ? testing::TestPictures::sets() : Bytes{}; }
  FrameSize size() const override { return {64, 48}; }
  std::uint32_t fps() const override { return fps_; }

 private:
  bool hw(bool flag) const { return hardware_ && flag; }
  Bytes make(bool key) {
    key_due_ = false;
    return pictures_.next(key, !hw(script_.sets_outside));
  }

  Script& script_;
  bool hardware_;
  std::uint32_t fps_;
  testing::TestPictures pictures_;
  bool key_due_ = true;
  EncodedFrame late_;  // made, not yet handed out
};

class CountingFactory final : public EncoderFactory {
 public:
  CountingFactory(Script& script, EncoderRequest request) : script_(script), request_(request) {}
  const EncoderRequest& request() const override { return request_; }
  Result<std::unique_ptr<H264Encoder>> create_hardware(std::uint32_t profile, std::span<const std::uint8_t> opening,
                                                       bool) override {
    script_.made.push_back("hardware " + std::to_string(profile) + (opening.empty() ? "" : " on a frame"));
    if (script_.hardware_fails || (profile == 100 && script_.high_profile_fails)) {
      return std::unexpected(Error::hresult(static_cast<std::int32_t>(0xC00D36B5), "no hardware"));
    }
    return std::make_unique<CountingEncoder>(script_, true, !opening.empty(), std::max(request_.fps, 1U));
  }
  std::optional<Error> hardware_missing() const override {
    if (!script_.media_foundation_missing) return std::nullopt;
    return Error::message("mfplat.dll: not found (os error 126)");
  }
  Result<std::unique_ptr<H264Encoder>> create_software() override {
    script_.made.push_back("software");
    if (script_.software_fails) return std::unexpected(Error::message("openh264 init (64x48 20fps): fake"));
    return std::make_unique<CountingEncoder>(script_, false, false, std::min(std::max(request_.fps, 1U), 20U));
  }

 private:
  Script& script_;
  EncoderRequest request_;
};

class VideoEncoderTest : public ::testing::Test {
 protected:
  Result<VideoEncoder> create() {
    return VideoEncoder::create(std::make_unique<CountingFactory>(script_, EncoderRequest{64, 48, 30, 6000}), log_,
                                clock_);
  }
  VideoEncoder make() {
    auto made = create();
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
  }
  // Encodes one frame; what passed is added to the GUI's stream.
  EncodeResult encode(VideoEncoder& encoder) {
    EncodeResult out = encoder.encode(frame_);
    gui_.insert(gui_.end(), out->begin(), out->end());
    return out;
  }
  // One frame per second for `seconds`; the seconds at which the hardware was tried again.
  std::vector<int> retries(VideoEncoder& encoder, int seconds) {
    std::vector<int> at;
    for (int s = 1; s <= seconds; ++s) {
      clock_.advance(1s);
      const auto before = script_.made.size();
      EXPECT_TRUE(encode(encoder).has_value());
      if (script_.made.size() > before && script_.made[before].starts_with("hardware 100")) at.push_back(s);
    }
    return at;
  }

  Script script_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
  std::vector<std::uint8_t> frame_ = std::vector<std::uint8_t>(64 * 48 * 4, 30);
  std::vector<std::uint8_t> gui_;
};

TEST_F(VideoEncoderTest, CreationPrefersHighThenMainThenSoftware) {
  struct Case {
    bool high_fails, hardware_fails, software_fails, missing;
    std::vector<std::string> made, lines;
  };
  const std::string high = "ENCODER hw: High profile esuat (no hardware (0xC00D36B5)) -> incerc Main";
  const std::string active = "ENCODER: hardware MFT active (64x48@30fps, sync)";
  const std::string software = "ENCODER: hardware FAILED: no hardware (0xC00D36B5) -> software openh264 (64x48@30fps)";
  const std::string missing =
      "ENCODER: Media Foundation lipseste (mfplat.dll: not found (os error 126)) -> software openh264";
  const std::vector<Case> cases = {
      {false, false, false, false, {"hardware 100"}, {active}},
      {true, false, false, false, {"hardware 100", "hardware 77"}, {high, active}},
      {false, true, false, false, {"hardware 100", "hardware 77", "software"}, {high, software}},
      {false, true, true, false, {"hardware 100", "hardware 77", "software"}, {high, software}},
      // Nothing to retry later: one line, and no hardware tried in two minutes.
      {false, true, false, true, {"software"}, {missing}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    script_ = {.hardware_fails = c.hardware_fails,
               .high_profile_fails = c.high_fails,
               .software_fails = c.software_fails,
               .media_foundation_missing = c.missing};
    log_.clear();
    auto made = create();
    EXPECT_EQ(script_.made, c.made);
    EXPECT_EQ(log_.lines(), c.lines);
    ASSERT_EQ(made.has_value(), !c.software_fails);
    if (!made) continue;
    EXPECT_EQ(made->on_hardware(), !c.hardware_fails);
    // The loop feeds each encoder at the rate it was made with.
    EXPECT_EQ(made->fps(), c.hardware_fails ? 20U : 30U);
    EXPECT_EQ(continuity_error(*made->encode(frame_)), "");
    if (c.missing) {
      EXPECT_EQ(retries(*made, 120), std::vector<int>{});
      EXPECT_EQ(log_.lines(), c.lines);
    }
  }
}

TEST_F(VideoEncoderTest, FailuresSwitchOnTheThirtiethAndAreLoggedOncePerError) {
  VideoEncoder encoder = make();
  auto wrong = encoder.encode(std::vector<std::uint8_t>(12287));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().text(), "frame size mismatch: got 12287 bytes, encoder is 64x48 = 12288 bytes");
  ASSERT_FALSE(encode(encoder)->empty());
  // Output once: later silence is no reason to switch.
  script_.silent = true;
  for (int i = 0; i < 30; ++i) encode(encoder);
  ASSERT_TRUE(encoder.on_hardware());
  script_.silent = false;

  // A run of three, broken by a success, then a run the software cannot end.
  script_.failing = true;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(encode(encoder)->empty());
  script_.failing = false;
  EXPECT_FALSE(encode(encoder)->empty());
  script_.failing = script_.software_fails = true;
  for (int i = 0; i < 29; ++i) EXPECT_TRUE(encode(encoder).has_value());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(encode(encoder).has_value());
  EXPECT_TRUE(encoder.on_hardware());
  script_.software_fails = false;
  clock_.advance(1s);
  EXPECT_FALSE(encode(encoder)->empty());
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_EQ(script_.alive, 1);

  std::vector<std::string> transient;  // three logged in each run
  for (const int frame : {31, 32, 33, 35, 36, 37}) {
    transient.push_back("ENCODER hw: eroare tranzitorie #" + std::to_string(transient.size() % 3 + 1) +
                        " (HW encode frame " + std::to_string(frame) + ": fake failure (0xC00D36B5)) - skip frame");
  }
  EXPECT_EQ(log_.lines_with("tranzitorie"), transient);
  // Once for the error, not once per frame; again a second later.
  const std::string failed = " erori hardware consecutive (HW encode frame ";
  const std::string end = ": fake failure (0xC00D36B5)) -> switch software";
  EXPECT_THAT(log_.lines_with("erori hardware"),
              ElementsAre("ENCODER: 30" + failed + "64" + end, "ENCODER: 33" + failed + "67" + end));
  EXPECT_EQ(continuity_error(gui_), "");
}

TEST_F(VideoEncoderTest, RetryScheduleBackToHardwareAndAgain) {
  script_.hardware_fails = true;
  VideoEncoder encoder = make();
  EXPECT_EQ(retries(encoder, 1000), (std::vector<int>{60, 120, 180, 480}));
  EXPECT_THAT(log_.lines_with("give up"), ElementsAre("ENCODER: give up hardware, ramanem pe software"));

  // After a fall-back at run time: four retries again; a silent new
  // transform is a failed retry, the frame still the software's.
  script_.hardware_fails = false;
  encoder = make();
  script_.failing = true;
  for (int i = 0; i < 30; ++i) encode(encoder);
  ASSERT_FALSE(encoder.on_hardware());
  script_.failing = false;
  script_.silent = script_.ignores_key_frames = script_.openings_ignored = true;
  EXPECT_EQ(retries(encoder, 120), (std::vector<int>{60, 120}));
  EXPECT_FALSE(encoder.on_hardware());
  EXPECT_EQ(script_.alive, 1);
  // The third works: back on hardware, opening on the frame at hand.
  script_.silent = script_.ignores_key_frames = script_.openings_ignored = false;
  script_.made.clear();
  EXPECT_EQ(retries(encoder, 60), (std::vector<int>{60}));
  EXPECT_TRUE(encoder.on_hardware());
  EXPECT_THAT(script_.made, ElementsAre("hardware 100 on a frame"));
  EXPECT_THAT(log_.lines_with("revenit"), ElementsAre("ENCODER: revenit pe hardware"));
  EXPECT_EQ(continuity_error(gui_), "");
}

// A GUI joins at frame 5 (a key frame is asked for); each frame is followed
// by a collection. Whatever the hardware does, the GUI's stream decodes from
// there; the hardware is judged silent by what reaches the GUI, rebuilt when
// a key frame does not come, and left when the rebuilt one gives none either.
TEST_F(VideoEncoderTest, KeyFramesReachTheGuiWhateverTheHardwareDoes) {
  struct Case {
    Script script;                  // from frame 0
    std::chrono::milliseconds every = 200ms;  // between frames
    int fail_at = -1;               // this frame's call loses its picture and fails
    int collect_fails_at = -1;      // this frame's collection fails
    std::vector<std::string> made;  // after creation
    std::vector<std::string> lines;
  };
  const std::string rebuild = "ENCODER: cadru cheie cerut fara raspuns (1000 ms, 6 cadre) -> refac encoderul hardware";
  const std::vector<Case> cases = {
      {{}},
      {{.silent = true}, 33ms, -1, -1, {"software"}, {"ENCODER: hardware nu produce output -> switch software"}},
      {{.sets_outside = true}},
      {{}, 200ms, 10},
      {{.answers_late = true}, 200ms, -1, 10},
      {{.ignores_key_frames = true}, 200ms, -1, -1, {"hardware 100 on a frame"}, {rebuild}},
      // The rebuilt one makes only P-frames: no output, as 10 calls show.
      {{.ignores_key_frames = true, .openings_ignored = true}, 33ms, -1, -1, {"hardware 100 on a frame", "software"},
       {"ENCODER: cadru cheie cerut fara raspuns (1023 ms, 32 cadre) -> refac encoderul hardware",
        "ENCODER: nici encoderul hardware refacut nu da cadru cheie -> switch software"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    script_ = {};
    VideoEncoder encoder = make();
    script_ = c.script;
    script_.alive = 1;
    log_.clear();
    std::vector<std::string> errors;
    for (int frame = 0; frame < 60; ++frame) {
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
      clock_.advance(c.every);
    }
    EXPECT_EQ(continuity_error(gui_), "");
    EXPECT_EQ(script_.made, c.made);
    EXPECT_EQ(script_.alive, 1);
    EXPECT_EQ(log_.lines_with("ENCODER: "), c.lines);
    const std::string collect_failure = "HW collect output: fake failure (0xC00D36B5)";
    EXPECT_EQ(errors, std::vector<std::string>(c.collect_fails_at < 0 ? 0 : 1, collect_failure));
  }
}

}  // namespace
}  // namespace halvorine
