#include "encoder/output_ceiling.h"

namespace halvorine {
namespace {

constexpr std::chrono::seconds kWindow{1};

}  // namespace

OutputCeiling::OutputCeiling(std::uint64_t bits_per_second)
    : ceiling_(bits_per_second), ring_(32) {}

void OutputCeiling::expire(Time now) {
  while (count_ != 0 && now - ring_[oldest_].at >= kWindow) {
    in_window_ -= ring_[oldest_].bits;
    oldest_ = (oldest_ + 1) % ring_.size();
    --count_;
  }
  if (expected_ && now - expected_->at >= kWindow) expected_.reset();
}

bool OutputCeiling::admits(Time now) {
  expire(now);
  return in_window_ == 0 || in_window_ + (expected_ ? expected_->bits : 0) <= ceiling_;
}

void OutputCeiling::count(std::size_t bytes, bool key_frame, Time now) {
  expire(now);
  if (bytes == 0) return;
  const Output output{now, std::uint64_t{bytes} * 8};
  if (!key_frame) expected_ = output;
  if (count_ == ring_.size()) {
    // Unrolled into a larger ring, oldest first.
    std::vector<Output> larger(ring_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) larger[i] = ring_[(oldest_ + i) % ring_.size()];
    ring_ = std::move(larger);
    oldest_ = 0;
  }
  ring_[(oldest_ + count_) % ring_.size()] = output;
  ++count_;
  in_window_ += output.bits;
}

}  // namespace halvorine
