#include "encoder/frame_scaler.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HALVORINE_SCALER_SSE2 1
#endif

namespace halvorine {
namespace {

// Row weights sum to 128, so a weighted sum of 8-bit samples fits a signed
// 16-bit lane; column weights sum to 1 << 14 (a signed 16-bit weight too),
// so the second sum fits 32 bits. Columns come in pairs of taps, the unit of
// a 16-bit multiply-add.
constexpr std::uint32_t kRowWeightTotal = 1U << 7;
constexpr std::uint32_t kColumnWeightTotal = 1U << 14;
constexpr unsigned kResultShift = 7 + 14;

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

FrameScaler::Taps FrameScaler::taps_for(std::uint32_t from, std::uint32_t to, std::uint32_t total,
                                        std::uint32_t multiple) {
  // In units of 1 / (from · to): output pixel i covers [i · from, (i + 1) · from)
  // and source pixel j covers [j · to, (j + 1) · to).
  const auto span = [&](std::uint32_t i) {
    const std::uint64_t begin = std::uint64_t{i} * from;
    const auto first = static_cast<std::uint32_t>(begin / to);
    const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>((begin + from - 1) / to, from - 1));
    return std::pair{first, last};
  };
  Taps taps;
  for (std::uint32_t i = 0; i < to; ++i) {
    const auto [first, last] = span(i);
    taps.count = std::max(taps.count, last - first + 1);
  }
  taps.count = std::min((taps.count + multiple - 1) / multiple * multiple, from);
  taps.first.resize(to);
  taps.weights.assign(std::size_t{to} * taps.count, 0);
  for (std::uint32_t i = 0; i < to; ++i) {
    const auto [first, last] = span(i);
    // Near the end the window starts earlier, so it stays inside the source.
    const std::uint32_t window = std::min(first, from - taps.count);
    taps.first[i] = window;
    std::uint16_t* weights = &taps.weights[std::size_t{i} * taps.count];
    const std::uint64_t begin = std::uint64_t{i} * from;
    const std::uint64_t end = begin + from;
    std::int32_t sum = 0;
    std::uint32_t heaviest = first - window;
    for (std::uint32_t j = first; j <= last; ++j) {
      const std::uint64_t lo = std::max<std::uint64_t>(begin, std::uint64_t{j} * to);
      const std::uint64_t hi = std::min<std::uint64_t>(end, std::uint64_t{j + 1} * to);
      const auto weight = static_cast<std::uint16_t>(((hi - lo) * total + from / 2) / from);
      weights[j - window] = weight;
      if (weight > weights[heaviest]) heaviest = j - window;
      sum += weight;
    }
    // Rounding is settled on the heaviest tap, so every pixel's weights sum
    // to exactly `total` and a flat area stays exactly flat.
    weights[heaviest] =
        static_cast<std::uint16_t>(std::int32_t{weights[heaviest]} + static_cast<std::int32_t>(total) - sum);
  }
  return taps;
}

FrameScaler::FrameScaler(FrameSize source, FrameSize target)
    : source_(source),
      target_(target),
      columns_(taps_for(source.width, target.width, kColumnWeightTotal, 2)),
      rows_(taps_for(source.height, target.height, kRowWeightTotal, 1)) {}

void FrameScaler::scale_row(const std::uint8_t* bgra, std::uint32_t row, std::uint8_t* out,
                            std::span<std::uint16_t> accumulator) const {
  const std::size_t samples = accumulator_size();
  if (accumulator.size() < samples) return;
  std::uint16_t* acc = accumulator.data();

  // Vertically: the weighted sum of the source rows this output row covers.
  const std::uint16_t* row_weight = &rows_.weights[std::size_t{row} * rows_.count];
  const std::uint8_t* src = bgra + std::size_t{rows_.first[row]} * samples;
  const std::uint16_t w0 = row_weight[0];
  for (std::size_t i = 0; i < samples; ++i) acc[i] = static_cast<std::uint16_t>(src[i] * w0);
  for (std::uint32_t k = 1; k < rows_.count; ++k) {
    src += samples;
    const std::uint16_t w = row_weight[k];
    if (w == 0) continue;
    for (std::size_t i = 0; i < samples; ++i) acc[i] = static_cast<std::uint16_t>(acc[i] + src[i] * w);
  }

  // Horizontally, the four channels of a pixel together.
  const std::uint32_t taps = columns_.count;
  constexpr std::uint32_t half = 1U << (kResultShift - 1);
#if HALVORINE_SCALER_SSE2
  if (taps % 2 == 0) {
    const __m128i rounding = _mm_set1_epi32(static_cast<int>(half));
    const std::uint32_t width = target_.width;
    const std::uint16_t* column_weights = columns_.weights.data();
    const std::uint32_t* firsts = columns_.first.data();
    // Two pixels' channels side by side (B0 B1 G0 G1 ...) against their two
    // weights, summed per channel in one multiply-add.
    const auto pair = [&](const std::uint16_t* in, const std::uint16_t* weight) {
      const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
      const __m128i paired = _mm_unpacklo_epi16(pixels, _mm_srli_si128(pixels, 8));
      std::int32_t both;
      std::memcpy(&both, weight, 4);
      return _mm_madd_epi16(paired, _mm_set1_epi32(both));
    };
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint16_t* column_weight = column_weights + std::size_t{x} * taps;
      const std::uint16_t* in = acc + std::size_t{firsts[x]} * 4;
      __m128i sum = pair(in, column_weight);
      for (std::uint32_t k = 2; k < taps; k += 2) sum = _mm_add_epi32(sum, pair(in + 4 * k, column_weight + k));
      sum = _mm_srli_epi32(_mm_add_epi32(sum, rounding), kResultShift);
      const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(sum, sum), sum);
      const auto pixel = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
      std::memcpy(out + 4 * std::size_t{x}, &pixel, 4);
    }
    return;
  }
#endif
  for (std::uint32_t x = 0; x < target_.width; ++x) {
    const std::uint16_t* column_weight = &columns_.weights[std::size_t{x} * taps];
    const std::uint16_t* in = acc + std::size_t{columns_.first[x]} * 4;
    std::uint32_t sum[4] = {0, 0, 0, 0};
    for (std::uint32_t k = 0; k < taps; ++k, in += 4) {
      const std::uint32_t w = column_weight[k];
      for (int c = 0; c < 4; ++c) sum[c] += in[c] * w;
    }
    for (int c = 0; c < 4; ++c) out[4 * x + c] = static_cast<std::uint8_t>((sum[c] + half) >> kResultShift);
  }
}

}  // namespace halvorine
