#include "encoder/frame_scaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "encoder/color_conversion.h"
#include "encoder/parallel_pool.h"

namespace halvorine {
namespace {

TEST(FrameScalerTest, FitWithinKeepsTheAspectRatioAtEvenSizes) {
  struct Case {
    FrameSize source, expected;
  };
  for (const Case& c : {Case{{5120, 1440}, {3840, 1080}}, Case{{1440, 5120}, {1080, 3840}},
                        Case{{3840, 2160}, {3840, 2160}}, Case{{1919, 1081}, {1919, 1081}},
                        Case{{7680, 4320}, {3840, 2160}}, Case{{3841, 2160}, {3840, 2158}},
                        Case{{2160, 3841}, {2158, 3840}}, Case{{100000, 10}, {3840, 2}}}) {
    const FrameSize fitted = fit_within(c.source, 3840, 2160);
    EXPECT_EQ(fitted, c.expected) << c.source.width << "x" << c.source.height;
  }
}

// The average of the source area each output pixel covers, in floating point.
double area_average(const std::vector<std::uint8_t>& bgra, FrameSize from, FrameSize to, std::uint32_t x,
                    std::uint32_t y, int channel) {
  const double sx = double(from.width) / to.width, sy = double(from.height) / to.height;
  double sum = 0;
  for (std::uint32_t j = 0; j < from.height; ++j) {
    const double cover_y = std::max(0.0, std::min(j + 1.0, (y + 1) * sy) - std::max(double(j), y * sy));
    for (std::uint32_t i = 0; cover_y > 0 && i < from.width; ++i) {
      const double cover_x = std::max(0.0, std::min(i + 1.0, (x + 1) * sx) - std::max(double(i), x * sx));
      sum += cover_x * cover_y * bgra[(std::size_t{j} * from.width + i) * 4 + channel];
    }
  }
  return sum / (sx * sy);
}

TEST(FrameScalerTest, EachOutputPixelIsTheAverageOfTheAreaItCovers) {
  std::mt19937 rng(7);
  for (auto [from, to] : {std::pair{FrameSize{40, 12}, FrameSize{30, 8}}, std::pair{FrameSize{7, 5}, FrameSize{4, 2}},
                          std::pair{FrameSize{16, 9}, FrameSize{16, 4}}}) {
    std::vector<std::uint8_t> bgra(std::size_t{from.width} * from.height * 4);
    for (auto& b : bgra) b = static_cast<std::uint8_t>(rng());
    const FrameScaler scaler(from, to);
    std::vector<std::uint16_t> scratch;
    std::vector<std::uint8_t> row(std::size_t{to.width} * 4);
    for (std::uint32_t y = 0; y < to.height; ++y) {
      scaler.scale_row(bgra.data(), y, row.data(), scratch);
      for (std::uint32_t x = 0; x < to.width; ++x) {
        for (int c = 0; c < 4; ++c) {
          EXPECT_NEAR(row[x * 4 + c], area_average(bgra, from, to, x, y, c), 1.5) << x << "," << y;
        }
      }
    }
    // A flat picture stays exactly flat.
    std::fill(bgra.begin(), bgra.end(), 201);
    scaler.scale_row(bgra.data(), to.height - 1, row.data(), scratch);
    for (std::uint8_t v : row) ASSERT_EQ(v, 201);
  }
}

TEST(FrameScalerTest, ScaledConversionsEqualConvertingTheScaledPicture) {
  const FrameSize from{50, 30}, to{40, 24};
  std::mt19937 rng(3);
  std::vector<std::uint8_t> bgra(std::size_t{from.width} * from.height * 4);
  for (auto& b : bgra) b = static_cast<std::uint8_t>(rng());
  const FrameScaler scaler(from, to);
  std::vector<std::uint8_t> scaled(std::size_t{to.width} * to.height * 4);
  std::vector<std::uint16_t> scratch;
  for (std::uint32_t y = 0; y < to.height; ++y) scaler.scale_row(bgra.data(), y, &scaled[y * to.width * 4], scratch);

  std::vector<std::uint8_t> y1(i420_luma_size(40, 24)), u1(i420_chroma_size(40, 24)), v1(u1.size());
  std::vector<std::uint8_t> y2(y1.size()), u2(u1.size()), v2(u1.size());
  bgra_to_i420(scaled, to.width, to.height, y1, u1, v1);
  bgra_to_i420(scaler, bgra, y2, u2, v2);
  EXPECT_EQ(y1, y2);
  EXPECT_EQ(u1, u2);
  EXPECT_EQ(v1, v2);

  std::vector<std::uint8_t> nv1(nv12_size(40, 24)), nv2(nv1.size());
  ParallelPool pool(3);
  bgra_to_nv12(scaled, to.width, to.height, nv1, pool);
  bgra_to_nv12(scaler, bgra, nv2, pool);
  EXPECT_EQ(nv1, nv2);
}

}  // namespace
}  // namespace halvorine
