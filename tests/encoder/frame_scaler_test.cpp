#include "encoder/frame_scaler.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "encoder/color_conversion.h"
#include "encoder/parallel_pool.h"

namespace halvorine {
namespace {

TEST(FrameScalerTest, FitWithinKeepsTheAspectRatioAtEvenSizes) {
  for (auto [source, expected] : {std::pair{FrameSize{5120, 1440}, FrameSize{3840, 1080}},
                                  {{1440, 5120}, {1080, 3840}}, {{3840, 2160}, {3840, 2160}},
                                  {{1919, 1081}, {1919, 1081}}, {{7680, 4320}, {3840, 2160}},
                                  {{3841, 2160}, {3840, 2158}}, {{100000, 10}, {3840, 2}}}) {
    EXPECT_EQ(fit_within(source, 3840, 2160), expected) << source.width << "x" << source.height;
  }
}

std::vector<std::uint8_t> noise(FrameSize size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bgra(std::size_t{size.width} * size.height * 4);
  for (auto& b : bgra) b = static_cast<std::uint8_t>(rng());
  return bgra;
}

// Each output pixel is the average of the source area it covers (computed
// here in floating point), within rounding; the converters scale exactly as
// converting the scaled picture would.
TEST(FrameScalerTest, AveragesTheAreaEachPixelCoversInsideTheConversionPass) {
  for (auto [from, to] : {std::pair{FrameSize{40, 12}, FrameSize{30, 8}}, {{7, 5}, {4, 2}}, {{16, 9}, {16, 4}}}) {
    const std::vector<std::uint8_t> bgra = noise(from, from.width);
    const FrameScaler scaler(from, to);
    std::vector<std::uint8_t> scaled(std::size_t{to.width} * to.height * 4);
    std::vector<std::uint16_t> scratch(scaler.accumulator_size());
    const double sx = double(from.width) / to.width, sy = double(from.height) / to.height;
    for (std::uint32_t y = 0; y < to.height; ++y) {
      scaler.scale_row(bgra.data(), y, &scaled[std::size_t{y} * to.width * 4], scratch);
      for (std::uint32_t x = 0; x < to.width; ++x) {
        for (int c = 0; c < 4; ++c) {
          double sum = 0;
          for (std::uint32_t j = 0; j < from.height; ++j) {
            for (std::uint32_t i = 0; i < from.width; ++i) {
              const double cover = std::max(0.0, std::min(i + 1.0, (x + 1) * sx) - std::max(double(i), x * sx)) *
                                   std::max(0.0, std::min(j + 1.0, (y + 1) * sy) - std::max(double(j), y * sy));
              sum += cover * bgra[(std::size_t{j} * from.width + i) * 4 + c];
            }
          }
          EXPECT_NEAR(scaled[(std::size_t{y} * to.width + x) * 4 + c], sum / (sx * sy), 1.5);
        }
      }
    }
    if (to.width % 2 != 0 || to.height % 2 != 0) continue;
    std::vector<std::uint8_t> expected(nv12_size(to.width, to.height)), actual(expected.size());
    ParallelPool pool(3);
    bgra_to_nv12(scaled, to.width, to.height, expected, pool);
    bgra_to_nv12(scaler, bgra, actual, pool);
    EXPECT_EQ(actual, expected);
    std::vector<std::uint8_t> y(i420_luma_size(to.width, to.height)), u(i420_chroma_size(to.width, to.height)),
        v(u.size());
    bgra_to_i420(scaler, bgra, y, u, v);
    EXPECT_TRUE(std::equal(y.begin(), y.end(), expected.begin()));  // the same luma plane
  }
}

}  // namespace
}  // namespace halvorine
