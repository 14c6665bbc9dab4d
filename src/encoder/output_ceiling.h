// A ceiling on an encoder's output over any second, time counted in frames
// at the encoder's frame rate. A frame is let through while the last
// second's output, plus one frame as large as the last one that was not a
// requested key frame, stays within the ceiling: the frames of a screen
// that changes as a whole are alike, while a key frame is followed by small
// ones. Whatever it holds back shows in the next frame that goes through.
// After a second without output a frame always goes through, so a frame
// larger than the ceiling slows the stream to one a second but never stops
// it. Requested key frames are not asked about; they count all the same.
//
// Threading: one thread (the encoder's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvorine {

class OutputCeiling {
 public:
  // `fps` 0 counts as 1.
  OutputCeiling(std::uint64_t bits_per_second, std::uint32_t fps);

  // Whether the frame at hand may be encoded.
  bool admits() const;
  // The frame at hand is done: `bytes` of output (0 when it was held back or
  // the encoder wrote nothing), `key_frame` when a key frame was requested.
  void count(std::size_t bytes, bool key_frame);

 private:
  std::uint64_t ceiling_;
  std::vector<std::uint64_t> previous_;  // bits of each of the fps - 1 frames before
  std::size_t oldest_ = 0;
  std::uint64_t in_window_ = 0;  // their sum
  std::uint64_t expected_ = 0;   // bits of the last frame that was not a key frame
};

}  // namespace halvorine
