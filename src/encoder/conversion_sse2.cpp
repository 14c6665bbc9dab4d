// SSE2 kernels (the x86-64 baseline), 16 pixels per step.
//
// Each pixel's bytes are split into two 16-bit pairs (B,R) and (G,A) so that
// one pmaddwd per pair computes a coefficient-weighted sum per pixel in a
// 32-bit lane: luma sums reach 220·255, chroma sums stay within ±113·255, so
// the shifted results pack losslessly down to bytes. Chroma is computed for
// the even pixels only.
#include "encoder/conversion_kernels.h"

#if defined(__SSE2__) || defined(_M_X64)

#include <emmintrin.h>

#include "encoder/conversion_pixel.h"

namespace halvorine::conversion {
namespace {

constexpr int pair(int low, int high) {
  return static_cast<int>((static_cast<unsigned>(high) << 16) |
                          (static_cast<unsigned>(low) & 0xFFFFU));
}

struct Pixels {
  __m128i br;  // 16-bit lanes: B, R of each pixel
  __m128i ga;  // 16-bit lanes: G, A of each pixel
};

inline Pixels split(__m128i p) {
  return {_mm_and_si128(p, _mm_set1_epi32(0x00FF00FF)), _mm_srli_epi16(p, 8)};
}

// (16·B + 157·G + 47·R) >> 8 of four pixels, as 32-bit lanes.
inline __m128i luma4(const Pixels& p) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p.br, _mm_set1_epi32(pair(16, 47))),
                                    _mm_madd_epi16(p.ga, _mm_set1_epi32(pair(157, 0))));
  return _mm_srli_epi32(sum, 8);
}

inline __m128i u4(const Pixels& p) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p.br, _mm_set1_epi32(pair(112, -26))),
                                    _mm_madd_epi16(p.ga, _mm_set1_epi32(pair(-87, 0))));
  return _mm_srai_epi32(sum, 8);
}

inline __m128i v4(const Pixels& p) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p.br, _mm_set1_epi32(pair(-10, 112))),
                                    _mm_madd_epi16(p.ga, _mm_set1_epi32(pair(-102, 0))));
  return _mm_srai_epi32(sum, 8);
}

// Pixels 0 and 2 of a, then 0 and 2 of b.
inline __m128i even_pixels(__m128i a, __m128i b) {
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Four registers of pixels; named members (not an array) so they stay in
// registers.
struct Block {
  __m128i p0, p1, p2, p3;
  explicit Block(const std::uint8_t* bgra)
      : p0(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra))),
        p1(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra + 16))),
        p2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra + 32))),
        p3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra + 48))) {}
};

inline __m128i luma16(const Block& b) {
  const __m128i low = _mm_packs_epi32(luma4(split(b.p0)), luma4(split(b.p1)));
  const __m128i high = _mm_packs_epi32(luma4(split(b.p2)), luma4(split(b.p3)));
  return _mm_add_epi8(_mm_packus_epi16(low, high), _mm_set1_epi8(16));
}

// U of the block's 8 even pixels in bytes 0..7, V in bytes 8..15.
inline __m128i chroma8(const Block& b) {
  const Pixels first = split(even_pixels(b.p0, b.p1));
  const Pixels second = split(even_pixels(b.p2, b.p3));
  const __m128i u = _mm_packs_epi32(u4(first), u4(second));
  const __m128i v = _mm_packs_epi32(v4(first), v4(second));
  // Signed results −113..111 plus 128: flip the top bit.
  return _mm_xor_si128(_mm_packs_epi16(u, v), _mm_set1_epi8(static_cast<char>(0x80)));
}

void luma_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), luma16(Block(bgra + 4 * std::size_t{x})));
  }
  luma_tail(bgra, y, x, width);
}

void luma_chroma_planar_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                            std::uint8_t* v, std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const Block block(bgra + 4 * std::size_t{x});
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), luma16(block));
    const __m128i chroma = chroma8(block);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), chroma);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_srli_si128(chroma, 8));
  }
  luma_chroma_planar_tail(bgra, y, u, v, x, width);
}

void luma_chroma_interleaved_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                                 std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const Block block(bgra + 4 * std::size_t{x});
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), luma16(block));
    const __m128i chroma = chroma8(block);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x),
                     _mm_unpacklo_epi8(chroma, _mm_srli_si128(chroma, 8)));
  }
  luma_chroma_interleaved_tail(bgra, y, uv, x, width);
}

constexpr RowKernels kSse2{luma_row, luma_chroma_planar_row, luma_chroma_interleaved_row};

}  // namespace

const RowKernels* sse2_kernels() { return &kSse2; }

}  // namespace halvorine::conversion

#else

namespace halvorine::conversion {
const RowKernels* sse2_kernels() { return nullptr; }
}  // namespace halvorine::conversion

#endif
