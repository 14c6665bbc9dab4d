#include "encoder/output_ceiling.h"

#include <algorithm>

namespace halvorine {

OutputCeiling::OutputCeiling(std::uint64_t bits_per_second, std::uint32_t fps)
    : ceiling_(bits_per_second), previous_(std::max<std::uint32_t>(fps, 1) - 1, 0) {}

bool OutputCeiling::admits() const {
  return in_window_ == 0 || in_window_ + expected_ <= ceiling_;
}

void OutputCeiling::count(std::size_t bytes, bool key_frame) {
  const std::uint64_t bits = std::uint64_t{bytes} * 8;
  if (!key_frame && bits != 0) expected_ = bits;
  if (previous_.empty()) return;  // one frame a second: nothing before it counts
  in_window_ = in_window_ - previous_[oldest_] + bits;
  previous_[oldest_] = bits;
  oldest_ = (oldest_ + 1) % previous_.size();
}

}  // namespace halvorine
