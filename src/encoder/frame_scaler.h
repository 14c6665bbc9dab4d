// Downscaling of BGRA pictures by area averaging (a box filter), one output
// row at a time, so that the colour converters scale inside their own pass
// instead of making an extra full-frame copy. Used only for screens larger
// than an encoder accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halvorine {

struct FrameSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

// `source` itself when it fits within max_long × max_short in either
// orientation; otherwise the largest even size that fits with the source's
// aspect ratio (rounded down; at least 2 × 2). 5120 × 1440 within 3840 × 2160
// gives 3840 × 1080.
FrameSize fit_within(FrameSize source, std::uint32_t max_long, std::uint32_t max_short);

class FrameScaler {
 public:
  // `target` is at most `source` in each dimension, and not empty.
  FrameScaler(FrameSize source, FrameSize target);

  FrameSize source() const { return source_; }
  FrameSize target() const { return target_; }

  // The entries scale_row's accumulator needs.
  std::size_t accumulator_size() const { return std::size_t{source_.width} * 4; }

  // Writes output row `row` (< target height) of the scaled picture of `bgra`
  // (tightly packed, source size) to `out` (target width × 4 bytes; alpha is
  // averaged too). `accumulator` is the calling thread's scratch of
  // accumulator_size() entries, sized beforehand (a smaller one writes
  // nothing): the call allocates nothing.
  void scale_row(const std::uint8_t* bgra, std::uint32_t row, std::uint8_t* out,
                 std::span<std::uint16_t> accumulator) const;

 private:
  // The source pixels each output pixel averages along one axis: the same
  // number for all (`count`, unused ones weighing 0, so the loops have a
  // fixed length the compiler can vectorise), from `first[i]`, with weights
  // `weights[i * count + k]` summing to a fixed total.
  struct Taps {
    std::uint32_t count = 0;
    std::vector<std::uint32_t> first;
    std::vector<std::uint16_t> weights;
  };
  // `count` is rounded up to a multiple of `multiple` (within `from`).
  static Taps taps_for(std::uint32_t from, std::uint32_t to, std::uint32_t total, std::uint32_t multiple);

  FrameSize source_;
  FrameSize target_;
  Taps columns_;  // weights sum to 1 << 14
  Taps rows_;     // weights sum to 1 << 7
};

}  // namespace halvorine
