#include "encoder/frame_scaler.h"

#include <algorithm>
#include <cstddef>

namespace halvorine {
namespace {

// Row weights sum to 256, so a weighted sum of 8-bit samples fits 16 bits;
// column weights sum to 1 << 14, so the second sum fits 32 bits.
constexpr std::uint32_t kRowWeightTotal = 1U << 8;
constexpr std::uint32_t kColumnWeightTotal = 1U << 14;
constexpr unsigned kResultShift = 8 + 14;

std::uint32_t even_at_least_2(std::uint64_t n) {
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(n & ~std::uint64_t{1}, 2));
}

}  // namespace

FrameSize fit_within(FrameSize source, std::uint32_t max_long, std::uint32_t max_short) {
  const bool landscape = source.width >= source.height;
  const std::uint64_t max_width = landscape ? max_long : max_short;
  const std::uint64_t max_height = landscape ? max_short : max_long;
  if (source.width <= max_width && source.height <= max_height) return source;
  if (source.width == 0 || source.height == 0) return source;
  // The smaller of the two ratios, compared without rounding:
  // max_width / width against max_height / height.
  if (max_width * source.height <= max_height * source.width) {
    return {even_at_least_2(max_width), even_at_least_2(max_width * source.height / source.width)};
  }
  return {even_at_least_2(max_height * source.width / source.height), even_at_least_2(max_height)};
}

std::vector<FrameScaler::Taps> FrameScaler::taps_for(std::uint32_t from, std::uint32_t to,
                                                     std::uint32_t total,
                                                     std::vector<std::uint16_t>& weights) {
  // In units of 1 / (from · to): output pixel i covers [i · from, (i + 1) · from)
  // and source pixel j covers [j · to, (j + 1) · to).
  std::vector<Taps> taps(to);
  for (std::uint32_t i = 0; i < to; ++i) {
    const std::uint64_t begin = std::uint64_t{i} * from;
    const std::uint64_t end = begin + from;
    const auto first = static_cast<std::uint32_t>(begin / to);
    const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>((end - 1) / to, from - 1));
    Taps& t = taps[i];
    t.first = first;
    t.count = last - first + 1;
    t.weights = static_cast<std::uint32_t>(weights.size());
    std::int32_t sum = 0;
    std::size_t heaviest = t.weights;
    for (std::uint32_t j = first; j <= last; ++j) {
      const std::uint64_t lo = std::max<std::uint64_t>(begin, std::uint64_t{j} * to);
      const std::uint64_t hi = std::min<std::uint64_t>(end, std::uint64_t{j + 1} * to);
      const auto weight = static_cast<std::uint16_t>(((hi - lo) * total + from / 2) / from);
      weights.push_back(weight);
      if (weight > weights[heaviest]) heaviest = weights.size() - 1;
      sum += weight;
    }
    // Rounding is settled on the heaviest tap, so every pixel's weights sum
    // to exactly `total` and a flat area stays exactly flat.
    weights[heaviest] = static_cast<std::uint16_t>(std::int32_t{weights[heaviest]} +
                                                   static_cast<std::int32_t>(total) - sum);
  }
  return taps;
}

FrameScaler::FrameScaler(FrameSize source, FrameSize target) : source_(source), target_(target) {
  columns_ = taps_for(source.width, target.width, kColumnWeightTotal, column_weights_);
  rows_ = taps_for(source.height, target.height, kRowWeightTotal, row_weights_);
}

void FrameScaler::scale_row(const std::uint8_t* bgra, std::uint32_t row, std::uint8_t* out,
                            std::vector<std::uint16_t>& accumulator) const {
  const std::size_t samples = std::size_t{source_.width} * 4;
  if (accumulator.size() < samples) accumulator.resize(samples);
  std::uint16_t* acc = accumulator.data();

  // Vertically: the weighted sum of the source rows this output row covers.
  const Taps& vertical = rows_[row];
  const std::uint16_t* row_weight = row_weights_.data() + vertical.weights;
  const std::uint8_t* src = bgra + std::size_t{vertical.first} * samples;
  const auto w0 = row_weight[0];
  for (std::size_t i = 0; i < samples; ++i) acc[i] = static_cast<std::uint16_t>(src[i] * w0);
  for (std::uint32_t k = 1; k < vertical.count; ++k) {
    src += samples;
    const auto w = row_weight[k];
    for (std::size_t i = 0; i < samples; ++i) acc[i] = static_cast<std::uint16_t>(acc[i] + src[i] * w);
  }

  // Horizontally, per channel.
  for (std::uint32_t x = 0; x < target_.width; ++x) {
    const Taps& horizontal = columns_[x];
    const std::uint16_t* column_weight = column_weights_.data() + horizontal.weights;
    const std::uint16_t* in = acc + std::size_t{horizontal.first} * 4;
    std::uint32_t b = 0, g = 0, r = 0, a = 0;
    for (std::uint32_t k = 0; k < horizontal.count; ++k, in += 4) {
      const std::uint32_t w = column_weight[k];
      b += in[0] * w;
      g += in[1] * w;
      r += in[2] * w;
      a += in[3] * w;
    }
    constexpr std::uint32_t half = 1U << (kResultShift - 1);
    out[4 * x + 0] = static_cast<std::uint8_t>((b + half) >> kResultShift);
    out[4 * x + 1] = static_cast<std::uint8_t>((g + half) >> kResultShift);
    out[4 * x + 2] = static_cast<std::uint8_t>((r + half) >> kResultShift);
    out[4 * x + 3] = static_cast<std::uint8_t>((a + half) >> kResultShift);
  }
}

}  // namespace halvorine
