// The one interface of an H.264 encoder: the hardware encoder, the software
// encoder and the VideoEncoder that chooses between them (a decorator over
// the other two) all take BGRA frames and hand out Annex-B bytes this way.
//
// Threading: each encoder is used on one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/error.h"
#include "common/rect.h"
#include "encoder/encoded_frame.h"
#include "encoder/frame_scaler.h"

namespace halvorine {

// What one call produced: its output and its error together. Output the
// encoder had already handed over when something failed is valid stream data
// and stays in `output`. Reads like a Result: *r and r-> are the output
// (present also after a failure), r.error() the failure.
struct EncodeResult {
  EncodedFrame output;
  std::optional<Error> failure;
  // The encoder's stream changed under it (a new output type): what follows
  // may depend on a picture that never came out.
  bool broken = false;

  static EncodeResult failed(Error error, EncodedFrame output = {}) {
    return {std::move(output), std::move(error), false};
  }

  bool has_value() const { return !failure.has_value(); }
  explicit operator bool() const { return has_value(); }
  EncodedFrame& operator*() { return output; }
  const EncodedFrame& operator*() const { return output; }
  EncodedFrame* operator->() { return &output; }
  const EncodedFrame* operator->() const { return &output; }
  const Error& error() const { return *failure; }
};

class H264Encoder {
 public:
  virtual ~H264Encoder() = default;

  // `bgra`: tightly packed top-down BGRA of the frame size the encoder was
  // made for (the VideoEncoder checks it; the others trust their caller).
  // The output may be empty or hold several access units.
  virtual EncodeResult encode(std::span<const std::uint8_t> bgra) = 0;

  // The same for a frame that differs from the one this encoder was last
  // given only inside `changed` (rectangles of the frame): an encoder that
  // keeps its converted planes converts those alone, so a key press costs
  // what it changed. Whatever an encoder does not take from such a frame (a
  // frame held back) it still converts with the next one.
  virtual EncodeResult encode_changed(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) {
    (void)changed;
    return encode(bgra);
  }

  // Output ready without a new frame: late output of an asynchronous
  // transform, or pictures a transform's pipeline still holds (pushed out).
  virtual EncodeResult collect_pending_output() = 0;

  // The next picture is a key frame.
  virtual void force_key_frame() = 0;

  // The SPS and PPS (Annex-B) the encoder published outside its output,
  // such as in its output type; empty when it has none.
  virtual EncodedFrame parameter_sets() = 0;

  // The encoded picture's size and the frame rate the encoder was made with.
  virtual FrameSize size() const = 0;
  virtual std::uint32_t fps() const = 0;
};

}  // namespace halvorine
