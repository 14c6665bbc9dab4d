// Counting stand-ins for what the VideoEncoder is built from: a factory that
// makes encoders as a script says and lists what it made, and encoders that
// answer each frame with one picture (TestPictures), a key frame when due.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder_factory.h"
#include "support/h264_stream.h"

namespace halvorine::testing {

inline constexpr std::int32_t kRefused = static_cast<std::int32_t>(0xC00D36B5);

// What the encoders do (a test may change it at any time) and what happened.
struct EncoderScript {
  bool hardware_fails = false, high_profile_fails = false, software_fails = false;
  // Hardware: every call fails; answers nothing; key frames only as the
  // first picture; SPS/PPS only from parameter_sets(); answers only out of
  // collect; the next call loses its picture and fails; collecting fails
  // (losing what waited); the opening picture is not used.
  bool failing = false, silent = false, ignores_key_frames = false, sets_outside = false;
  bool answers_late = false, fail_once = false, collect_fails = false, openings_ignored = false;
  std::vector<std::string> made;  // "hardware 100", "software", ... (failures too)
  int alive = 0;
  bool last_opening = false;  // the last hardware encoder opened on a frame
};

class CountingEncoder final : public H264Encoder {
 public:
  CountingEncoder(EncoderScript& script, bool hardware, bool opening, std::uint32_t fps)
      : script_(script), hardware_(hardware), fps_(fps) {
    ++script_.alive;
    // Its first picture is a key frame: shown at once when it opens on a
    // frame, else validation took it and creation asked for another.
    if (opening && !(hardware && script.openings_ignored)) {
      late_ = make(true);
    } else if (hardware) {
      (void)pictures_.next(true);
      key_due_ = !script.ignores_key_frames;
    }
  }
  ~CountingEncoder() override { --script_.alive; }

  EncodeResult encode(std::span<const std::uint8_t>) override {
    const bool hw = hardware_;
    if (hw && script_.failing) return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    const Bytes picture = hw && script_.silent ? Bytes{} : make(key_due_);
    if (hw && std::exchange(script_.fail_once, false)) return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    late_.insert(late_.end(), picture.begin(), picture.end());
    return hw && script_.answers_late ? EncodeResult{} : collect_pending_output();
  }
  EncodeResult collect_pending_output() override {
    if (script_.collect_fails) {
      late_.clear();
      return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    }
    return {std::exchange(late_, {})};
  }
  void force_key_frame() override { key_due_ = key_due_ || !(hardware_ && script_.ignores_key_frames); }
  EncodedFrame parameter_sets() override {
    if (!(hardware_ && script_.sets_outside)) return {};
    Bytes sets = TestPictures::sps();
    for (const std::uint8_t b : TestPictures::pps()) sets.push_back(b);
    return sets;
  }
  FrameSize size() const override { return {64, 48}; }
  std::uint32_t fps() const override { return fps_; }

 private:
  Bytes make(bool key) {
    key_due_ = false;
    return pictures_.next(key, !(hardware_ && script_.sets_outside));
  }

  EncoderScript& script_;
  bool hardware_;
  std::uint32_t fps_;
  TestPictures pictures_;
  bool key_due_ = true;
  EncodedFrame late_;  // made, not yet handed out
};

class CountingFactory final : public EncoderFactory {
 public:
  CountingFactory(EncoderScript& script, EncoderRequest request) : script_(script), request_(request) {}

  const EncoderRequest& request() const override { return request_; }
  Result<std::unique_ptr<H264Encoder>> create_hardware(std::uint32_t profile, std::span<const std::uint8_t> opening,
                                                       bool) override {
    script_.made.push_back("hardware " + std::to_string(profile));
    if (script_.hardware_fails || (profile == 100 && script_.high_profile_fails)) {
      return std::unexpected(Error::hresult(kRefused, "no hardware"));
    }
    script_.last_opening = !opening.empty();
    return std::make_unique<CountingEncoder>(script_, true, !opening.empty(), std::max(request_.fps, 1U));
  }
  Result<std::unique_ptr<H264Encoder>> create_software() override {
    script_.made.push_back("software");
    if (script_.software_fails) return std::unexpected(Error::message("openh264 init (64x48 20fps): fake"));
    return std::make_unique<CountingEncoder>(script_, false, false, std::min(std::max(request_.fps, 1U), 20U));
  }

 private:
  EncoderScript& script_;
  EncoderRequest request_;
};

}  // namespace halvorine::testing
