// A ceiling on an encoder's output over the last second of the caller's
// clock. A frame is let through while the output of the last second, plus one
// frame as large as the last one in that second that was not a requested key
// frame, stays within the ceiling: the frames of a screen that changes as a
// whole are alike, while a key frame is followed by small ones. Whatever it
// holds back shows in the next frame that goes through. After a second
// without output a frame always goes through, so a frame larger than the
// ceiling slows the stream to one a second but never stops it. Requested key
// frames are not asked about; they count, and leave the window, like any
// output: a still screen's periodic refreshes never hold a later change back
// for longer than they fill the second.
//
// Threading: one thread (the encoder's).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace halvorine {

class OutputCeiling {
 public:
  using Time = std::chrono::steady_clock::time_point;

  explicit OutputCeiling(std::uint64_t bits_per_second);

  // Whether a frame at `now` may be encoded.
  bool admits(Time now);
  // The frame at `now` is done: `bytes` of output (0 when it was held back or
  // the encoder wrote nothing), `key_frame` when a key frame was requested.
  void count(std::size_t bytes, bool key_frame, Time now);

 private:
  struct Output {
    Time at;
    std::uint64_t bits;
  };
  void expire(Time now);

  std::uint64_t ceiling_;
  // The outputs of the last second, oldest first, in a ring that grows only
  // when a second holds more of them than ever before.
  std::vector<Output> ring_;
  std::size_t oldest_ = 0;
  std::size_t count_ = 0;
  std::uint64_t in_window_ = 0;    // their bits
  std::optional<Output> expected_;  // the last output that was not a key frame
};

}  // namespace halvorine
