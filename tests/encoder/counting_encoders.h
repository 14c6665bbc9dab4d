// Counting stand-ins for the encoders the VideoEncoder is built from: a
// factory that makes them as a script says and counts what it made, and
// encoders that answer each frame with one picture in H.264 syntax
// (TestPictures), a key frame when one is due.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder_factory.h"
#include "support/h264_stream.h"

namespace halvorine::testing {

inline constexpr std::int32_t kRefused = static_cast<std::int32_t>(0xC00D36B5);

// What the encoders do (changed by a test at any time) and what happened.
struct EncoderScript {
  // --- factory
  bool hardware_fails = false;     // create_hardware fails for every profile
  bool high_profile_fails = false;
  bool software_fails = false;
  // --- hardware encoders
  bool failing = false;             // every call fails
  bool silent = false;              // answers nothing
  bool ignores_key_frames = false;  // a key frame only as its first picture
  bool sets_outside = false;        // SPS/PPS only through parameter_sets()
  bool answers_late = false;        // answers come out of collect only
  bool fail_once = false;           // the next call takes the frame and fails (its picture lost)
  int fail_on_frame = -1;           // for a test's own loop
  bool collect_fails = false;       // collecting fails, losing what was waiting
  bool openings_ignored = false;    // no opening picture: the first key frame went to validation
  // --- record
  std::vector<std::string> made;    // "hardware 100", "software", ... (failures too)
  int alive = 0;
  int key_frames_asked = 0;         // of any encoder
  int hardware_encodes = 0;
  int software_encodes = 0;
  bool last_opening = false;        // the last hardware encoder opened on a frame
};

class CountingEncoder final : public H264Encoder {
 public:
  CountingEncoder(EncoderScript& script, bool hardware, bool opening, std::uint32_t fps)
      : script_(script), hardware_(hardware), fps_(fps) {
    ++script_.alive;
    // A new encoder's first picture is a key frame: with an opening it is
    // shown at once; otherwise validation took it and creation asked again.
    if (opening && !(hardware && script.openings_ignored)) {
      held_ = make(true);
    } else if (hardware) {
      (void)pictures_.next(true);
      key_due_ = !script.ignores_key_frames;
    }
  }
  ~CountingEncoder() override { --script_.alive; }

  EncodeResult encode(std::span<const std::uint8_t>) override {
    ++(hardware_ ? script_.hardware_encodes : script_.software_encodes);
    if (hardware_ && script_.failing) return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    if (hardware_ && std::exchange(script_.fail_once, false)) {
      (void)make(key_due_);
      return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    }
    if (hardware_ && script_.silent) return {};
    if (!hardware_ || !script_.answers_late) {
      EncodedFrame out = take_held();
      const Bytes picture = make(key_due_);
      out.insert(out.end(), picture.begin(), picture.end());
      return {std::move(out)};
    }
    late_.push_back(make(key_due_));
    return {};
  }
  EncodeResult collect_pending_output() override {
    if (script_.collect_fails) {
      late_.clear();
      return EncodeResult::failed(Error::hresult(kRefused, "fake failure"));
    }
    EncodedFrame out = take_held();
    for (const Bytes& picture : late_) out.insert(out.end(), picture.begin(), picture.end());
    late_.clear();
    return {std::move(out)};
  }
  void force_key_frame() override {
    ++script_.key_frames_asked;
    if (!(hardware_ && script_.ignores_key_frames)) key_due_ = true;
  }
  EncodedFrame parameter_sets() override {
    if (!(hardware_ && script_.sets_outside)) return {};
    Bytes sets = TestPictures::sps();
    const Bytes pps = TestPictures::pps();
    sets.insert(sets.end(), pps.begin(), pps.end());
    return sets;
  }
  FrameSize size() const override { return {64, 48}; }
  std::uint32_t fps() const override { return fps_; }

 private:
  Bytes make(bool key) {
    key_due_ = false;
    return pictures_.next(key, !(hardware_ && script_.sets_outside));
  }
  EncodedFrame take_held() { return std::exchange(held_, {}); }

  EncoderScript& script_;
  bool hardware_;
  std::uint32_t fps_;
  TestPictures pictures_;
  bool key_due_ = true;
  EncodedFrame held_;
  std::deque<Bytes> late_;
};

class CountingFactory final : public EncoderFactory {
 public:
  CountingFactory(EncoderScript& script, EncoderRequest request) : script_(script), request_(request) {}

  const EncoderRequest& request() const override { return request_; }
  Result<std::unique_ptr<H264Encoder>> create_hardware(std::uint32_t profile,
                                                       std::span<const std::uint8_t> opening, bool) override {
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
