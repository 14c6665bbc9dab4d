#include "encoder/color_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "encoder/conversion_kernels.h"
#include "encoder/parallel_pool.h"

namespace halvorine::conversion {
// Readable parameter names in test output.
inline void PrintTo(Level level, std::ostream* out) { *out << level_name(level); }
}  // namespace halvorine::conversion

namespace halvorine {
namespace {

using conversion::Level;
using conversion::RowKernels;

// The formulas written out independently of the product's kernels.
int ref_y(int b, int g, int r) { return ((16 * b + 157 * g + 47 * r) >> 8) + 16; }
int ref_u(int b, int g, int r) { return ((112 * b - 87 * g - 26 * r) >> 8) + 128; }
int ref_v(int b, int g, int r) { return ((112 * r - 102 * g - 10 * b) >> 8) + 128; }

struct Planes {
  std::vector<std::uint8_t> y, u, v;
};

// Reference I420 of a frame: odd sizes converted as if the last column and
// row were repeated.
Planes reference_i420(const std::vector<std::uint8_t>& bgra, std::uint32_t w, std::uint32_t h) {
  const std::uint32_t pw = w + (w & 1), ph = h + (h & 1);
  Planes out{std::vector<std::uint8_t>(std::size_t{pw} * ph),
             std::vector<std::uint8_t>(std::size_t{pw / 2} * (ph / 2)),
             std::vector<std::uint8_t>(std::size_t{pw / 2} * (ph / 2))};
  for (std::uint32_t y = 0; y < ph; ++y) {
    for (std::uint32_t x = 0; x < pw; ++x) {
      const std::uint8_t* p = &bgra[(std::size_t{std::min(y, h - 1)} * w + std::min(x, w - 1)) * 4];
      out.y[std::size_t{y} * pw + x] = static_cast<std::uint8_t>(ref_y(p[0], p[1], p[2]));
      if (x % 2 == 0 && y % 2 == 0) {
        out.u[std::size_t{y / 2} * (pw / 2) + x / 2] =
            static_cast<std::uint8_t>(ref_u(p[0], p[1], p[2]));
        out.v[std::size_t{y / 2} * (pw / 2) + x / 2] =
            static_cast<std::uint8_t>(ref_v(p[0], p[1], p[2]));
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> random_frame(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bgra(std::size_t{w} * h * 4);
  for (auto& byte : bgra) byte = static_cast<std::uint8_t>(rng());
  // Sprinkle the extremes, where lane overflows would show.
  for (std::size_t i = 0; i < bgra.size(); i += 13) bgra[i] = (i / 13) % 2 ? 255 : 0;
  return bgra;
}

Planes convert_i420(const RowKernels& kernels, const std::vector<std::uint8_t>& bgra,
                    std::uint32_t w, std::uint32_t h) {
  Planes out{std::vector<std::uint8_t>(i420_luma_size(w, h), 0xAB),
             std::vector<std::uint8_t>(i420_chroma_size(w, h), 0xAB),
             std::vector<std::uint8_t>(i420_chroma_size(w, h), 0xAB)};
  conversion::bgra_to_i420(kernels, bgra, w, h, out.y, out.u, out.v);
  return out;
}

std::vector<std::uint8_t> convert_nv12(const RowKernels& kernels,
                                       const std::vector<std::uint8_t>& bgra, std::uint32_t w,
                                       std::uint32_t h, ParallelPool& pool) {
  std::vector<std::uint8_t> out(nv12_size(w, h), 0xAB);
  conversion::bgra_to_nv12(kernels, bgra, w, h, out, pool);
  return out;
}

// NV12 built from I420 planes.
std::vector<std::uint8_t> interleave(const Planes& p) {
  std::vector<std::uint8_t> out = p.y;
  for (std::size_t i = 0; i < p.u.size(); ++i) {
    out.push_back(p.u[i]);
    out.push_back(p.v[i]);
  }
  return out;
}

class ConversionLevelTest : public ::testing::TestWithParam<Level> {
 protected:
  void SetUp() override {
    kernels_ = conversion::kernels_for(GetParam());
    if (kernels_ == nullptr) {
      GTEST_SKIP() << "this processor has no " << conversion::level_name(GetParam());
    }
  }
  const RowKernels& kernels() const { return *kernels_; }

  // Converts a random w x h frame both ways and compares with the reference.
  void expect_random_frame_matches_reference(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::vector<std::uint8_t> bgra = random_frame(w, h, seed);
    const Planes expected = reference_i420(bgra, w, h);
    const Planes i420 = convert_i420(kernels(), bgra, w, h);
    ASSERT_EQ(i420.y, expected.y);
    ASSERT_EQ(i420.u, expected.u);
    ASSERT_EQ(i420.v, expected.v);
    ASSERT_EQ(convert_nv12(kernels(), bgra, w, h, pool_), interleave(expected));
  }

  ParallelPool pool_{2};

 private:
  const RowKernels* kernels_ = nullptr;
};

struct Colour {
  const char* name;
  std::uint8_t b, g, r;
  std::uint8_t y, u, v;
};

constexpr std::array kColours{
    Colour{"black", 0, 0, 0, 16, 128, 128},  Colour{"white", 255, 255, 255, 235, 127, 128},
    Colour{"red", 0, 0, 255, 62, 102, 239},  Colour{"green", 0, 255, 0, 172, 41, 26},
    Colour{"blue", 255, 0, 0, 31, 239, 118}, Colour{"grey", 128, 128, 128, 126, 127, 128},
};

TEST_P(ConversionLevelTest, KnownColoursInBothLayouts) {
  // 40×2 reaches the vector loops of every level and a scalar tail.
  constexpr std::uint32_t w = 40, h = 2;
  for (const Colour& c : kColours) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bgra;
    for (std::uint32_t i = 0; i < w * h; ++i) bgra.insert(bgra.end(), {c.b, c.g, c.r, 255});
    const Planes i420 = convert_i420(kernels(), bgra, w, h);
    EXPECT_EQ(i420.y, std::vector<std::uint8_t>(w * h, c.y));
    EXPECT_EQ(i420.u, std::vector<std::uint8_t>(w / 2, c.u));
    EXPECT_EQ(i420.v, std::vector<std::uint8_t>(w / 2, c.v));
    EXPECT_EQ(convert_nv12(kernels(), bgra, w, h, pool_), interleave(i420));
  }
}

TEST_P(ConversionLevelTest, AlphaIsIgnored) {
  constexpr std::uint32_t w = 70, h = 6;
  std::vector<std::uint8_t> bgra = random_frame(w, h, 7);
  std::vector<std::uint8_t> opaque = bgra;
  for (std::size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
  for (std::size_t i = 3; i < bgra.size(); i += 4) bgra[i] = static_cast<std::uint8_t>(i * 37);
  const Planes a = convert_i420(kernels(), bgra, w, h);
  const Planes b = convert_i420(kernels(), opaque, w, h);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.u, b.u);
  EXPECT_EQ(a.v, b.v);
  EXPECT_EQ(convert_nv12(kernels(), bgra, w, h, pool_),
            convert_nv12(kernels(), opaque, w, h, pool_));
}

TEST_P(ConversionLevelTest, ChromaIsPointSampledFromTopLeftPixel) {
  // Top-left red, the other three blue: the block gets red's chroma and
  // four independent luma values.
  const std::vector<std::uint8_t> bgra{0,   0, 255, 255, 255, 0, 0, 255,
                                       255, 0, 0,   255, 255, 0, 0, 255};
  const Planes i420 = convert_i420(kernels(), bgra, 2, 2);
  EXPECT_EQ(i420.y, (std::vector<std::uint8_t>{62, 31, 31, 31}));
  EXPECT_EQ(i420.u, std::vector<std::uint8_t>{102});
  EXPECT_EQ(i420.v, std::vector<std::uint8_t>{239});
  EXPECT_EQ(convert_nv12(kernels(), bgra, 2, 2, pool_),
            (std::vector<std::uint8_t>{62, 31, 31, 31, 102, 239}));
}

TEST_P(ConversionLevelTest, EveryChannelValueAndColourGridMatchFormulas) {
  // Each channel through all 256 values with the others at 0 and 255, then
  // a 18×18×18 grid of colours; one pixel per block so every pixel also
  // yields chroma.
  std::vector<std::array<std::uint8_t, 3>> colours;
  for (int v = 0; v < 256; ++v) {
    for (std::uint8_t other : {0, 255}) {
      const auto c = static_cast<std::uint8_t>(v);
      colours.push_back({c, other, other});
      colours.push_back({other, c, other});
      colours.push_back({other, other, c});
    }
  }
  for (int b = 0; b < 256; b += 15)
    for (int g = 0; g < 256; g += 15)
      for (int r = 0; r < 256; r += 15)
        colours.push_back({static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g),
                           static_cast<std::uint8_t>(r)});
  const auto w = static_cast<std::uint32_t>(colours.size() * 2);
  std::vector<std::uint8_t> bgra;
  for (int row = 0; row < 2; ++row)
    for (const auto& c : colours)
      for (int dup = 0; dup < 2; ++dup) bgra.insert(bgra.end(), {c[0], c[1], c[2], 0});
  const Planes out = convert_i420(kernels(), bgra, w, 2);
  for (std::size_t i = 0; i < colours.size(); ++i) {
    const auto& c = colours[i];
    ASSERT_EQ(out.y[2 * i], ref_y(c[0], c[1], c[2])) << i;
    ASSERT_EQ(out.u[i], ref_u(c[0], c[1], c[2])) << i;
    ASSERT_EQ(out.v[i], ref_v(c[0], c[1], c[2])) << i;
  }
}

TEST_P(ConversionLevelTest, RandomFramesOfManySizesMatchReference) {
  // Widths around the 16- and 32-pixel steps (and the 64-pixel steps of
  // chroma rows), odd ones, and real screens.
  const std::vector<std::uint32_t> widths{1,  2,  3,  5,   14,  15,  16,  17,  31,  32,  33,   34,
                                          47, 63, 64, 65,  66,  95,  96,  97,  127, 128, 130,
                                          159, 160, 161, 1365};
  const std::vector<std::uint32_t> heights{1, 2, 3, 4, 7, 10};
  std::uint32_t seed = 1;
  for (std::uint32_t w : widths) {
    for (std::uint32_t h : heights) {
      ASSERT_NO_FATAL_FAILURE(expect_random_frame_matches_reference(w, h, seed++));
    }
  }
}

TEST_P(ConversionLevelTest, FourKClassWidthsMatchReference) {
  // Rows this wide may take a different store path; odd widths give rows
  // that start on every alignment.
  std::uint32_t seed = 500;
  for (std::uint32_t w : {3199U, 3200U, 3201U, 3233U, 3840U}) {
    for (std::uint32_t h : {1U, 2U, 5U}) {
      ASSERT_NO_FATAL_FAILURE(expect_random_frame_matches_reference(w, h, seed++));
    }
  }
}

TEST_P(ConversionLevelTest, FullHdFrameMatchesReference) {
  const std::vector<std::uint8_t> bgra = random_frame(1920, 1080, 99);
  const Planes expected = reference_i420(bgra, 1920, 1080);
  const Planes i420 = convert_i420(kernels(), bgra, 1920, 1080);
  EXPECT_TRUE(i420.y == expected.y && i420.u == expected.u && i420.v == expected.v);
  EXPECT_TRUE(convert_nv12(kernels(), bgra, 1920, 1080, pool_) == interleave(expected));
}

// Planes of an earlier frame, brought up to date with only the changed
// rectangles, equal the planes of the new frame converted whole: edges, odd
// sizes, unaligned and overlapping rectangles, ones reaching outside.
TEST_P(ConversionLevelTest, ChangedRectanglesBringEarlierPlanesUpToDate) {
  struct Case {
    std::uint32_t w, h;
    std::vector<Rect> changed;
  };
  const std::vector<Case> cases{
      {64, 48, {{10, 20, 30, 40}}},
      {65, 47, {{63, 45, 65, 47}, {0, 0, 1, 1}}},
      {97, 33, {{3, 5, 4, 6}, {2, 4, 60, 5}, {-8, 30, 200, 90}}},
      {1920, 1080, {{640, 500, 1288, 540}}},
      {31, 17, {{0, 0, 31, 17}}},
  };
  std::uint32_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const std::vector<std::uint8_t> before = random_frame(c.w, c.h, seed++);
    std::vector<std::uint8_t> after = before;
    const std::vector<std::uint8_t> fresh = random_frame(c.w, c.h, seed++);
    for (const Rect& r : c.changed) {
      for (std::int32_t y = std::max(r.top, 0); y < std::min<std::int32_t>(r.bottom, c.h); ++y) {
        for (std::int32_t x = std::max(r.left, 0); x < std::min<std::int32_t>(r.right, c.w); ++x) {
          const std::size_t at = (std::size_t(y) * c.w + x) * 4;
          std::copy_n(fresh.begin() + at, 4, after.begin() + at);
        }
      }
    }
    Planes planes = convert_i420(kernels(), before, c.w, c.h);
    conversion::bgra_to_i420(kernels(), after, c.w, c.h, c.changed, planes.y, planes.u, planes.v);
    const Planes expected = convert_i420(kernels(), after, c.w, c.h);
    EXPECT_EQ(planes.y, expected.y);
    EXPECT_EQ(planes.u, expected.u);
    EXPECT_EQ(planes.v, expected.v);
    std::vector<std::uint8_t> nv12 = convert_nv12(kernels(), before, c.w, c.h, pool_);
    conversion::bgra_to_nv12(kernels(), after, c.w, c.h, c.changed, nv12, pool_);
    EXPECT_EQ(nv12, interleave(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ConversionLevelTest,
                         ::testing::Values(Level::scalar, Level::sse2, Level::avx2),
                         [](const auto& info) {
                           return std::string(conversion::level_name(info.param));
                         });

TEST(ConversionTest, DispatchPicksTheBestLevelThisProcessorHas) {
  const Level best = conversion::best_level();
  ASSERT_NE(conversion::kernels_for(best), nullptr);
  if (conversion::kernels_for(Level::avx2)) {
    EXPECT_EQ(best, Level::avx2);
  } else if (conversion::kernels_for(Level::sse2)) {
    EXPECT_EQ(best, Level::sse2);
  }
  // The public converters agree with the reference.
  const std::vector<std::uint8_t> bgra = random_frame(66, 4, 5);
  const Planes expected = reference_i420(bgra, 66, 4);
  Planes out{std::vector<std::uint8_t>(66 * 4), std::vector<std::uint8_t>(33 * 2),
             std::vector<std::uint8_t>(33 * 2)};
  bgra_to_i420(bgra, 66, 4, out.y, out.u, out.v);
  EXPECT_EQ(out.y, expected.y);
  EXPECT_EQ(out.u, expected.u);
  EXPECT_EQ(out.v, expected.v);
  std::vector<std::uint8_t> nv12(nv12_size(66, 4));
  bgra_to_nv12(bgra, 66, 4, nv12);
  EXPECT_EQ(nv12, interleave(expected));
}

TEST(ConversionTest, OddSizesConvertAtTheNextEvenSize) {
  EXPECT_EQ(i420_luma_size(1365, 767), 1366U * 768U);
  EXPECT_EQ(i420_chroma_size(1365, 767), 683U * 384U);
  EXPECT_EQ(nv12_size(1, 1), 6U);
  // 3×3: the padding column and row repeat the last ones; the chroma of the
  // last block column comes from the pixel at x = 2.
  const std::vector<std::uint8_t> bgra = random_frame(3, 3, 11);
  Planes out{std::vector<std::uint8_t>(16), std::vector<std::uint8_t>(4),
             std::vector<std::uint8_t>(4)};
  bgra_to_i420(bgra, 3, 3, out.y, out.u, out.v);
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(out.y[y * 4 + 3], out.y[y * 4 + 2]);
  }
  for (int x = 0; x < 4; ++x) EXPECT_EQ(out.y[12 + x], out.y[8 + x]);
  const std::uint8_t* p = &bgra[2 * 4];
  EXPECT_EQ(out.u[1], ref_u(p[0], p[1], p[2]));
  EXPECT_EQ(out.v[1], ref_v(p[0], p[1], p[2]));
}

TEST(ConversionTest, BuffersTooSmallOrEmptyFramesWriteNothing) {
  const std::vector<std::uint8_t> bgra = random_frame(8, 4, 3);
  std::vector<std::uint8_t> y(32, 0xAB), u(8, 0xAB), v(8, 0xAB), nv12(48, 0xAB);
  std::vector<std::uint8_t> short_y(31, 0xAB);
  bgra_to_i420(bgra, 8, 4, short_y, u, v);
  bgra_to_i420(std::span(bgra).first(bgra.size() - 1), 8, 4, y, u, v);
  bgra_to_i420(bgra, 0, 4, y, u, v);
  bgra_to_i420(bgra, 8, 0, y, u, v);
  bgra_to_nv12(bgra, 8, 4, std::span(nv12).first(47));
  bgra_to_nv12(bgra, 0, 0, nv12);
  // A size whose byte count overflows is refused too.
  bgra_to_i420(bgra, 0xFFFFFFFFU, 0xFFFFFFFFU, y, u, v);
  for (const auto* plane : {&y, &u, &v, &nv12, &short_y}) {
    EXPECT_EQ(*plane, std::vector<std::uint8_t>(plane->size(), 0xAB));
  }
}

TEST(ConversionTest, Nv12IsTheSameWhateverThePoolSize) {
  const std::vector<std::uint8_t> bgra = random_frame(130, 101, 21);
  const Planes expected = reference_i420(bgra, 130, 101);
  for (unsigned threads : {1U, 2U, 3U, 5U}) {
    ParallelPool pool(threads);
    std::vector<std::uint8_t> nv12(nv12_size(130, 101));
    for (int repeat = 0; repeat < 20; ++repeat) {
      bgra_to_nv12(bgra, 130, 101, nv12, pool);
      ASSERT_EQ(nv12, interleave(expected)) << threads << " threads";
    }
  }
}

}  // namespace
}  // namespace halvorine
