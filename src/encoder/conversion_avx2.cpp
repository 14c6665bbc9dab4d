// AVX2 kernels, 32 pixels per step, with 16-bit lanes: the weighted sums are
// formed from bytes by pmaddubsw. This file alone is compiled with AVX2
// enabled and is only called after the processor was found to support it, so
// it includes nothing that could leave shared (inline) AVX2 code behind for
// other callers.
#include "encoder/conversion_kernels.h"

#if defined(HALVORINE_CONVERSION_AVX2)

#include <immintrin.h>

#include "encoder/conversion_pixel.h"

namespace halvorine::conversion {
namespace {

// Coefficients as signed bytes, repeated for every pixel (4 bytes each).
inline __m256i coefficients(int c0, int c1, int c2, int c3) {
  return _mm256_set1_epi32(static_cast<int>(
      (static_cast<unsigned>(c3 & 0xFF) << 24) | (static_cast<unsigned>(c2 & 0xFF) << 16) |
      (static_cast<unsigned>(c1 & 0xFF) << 8) | static_cast<unsigned>(c0 & 0xFF)));
}

// Luma of 16 pixels (a, b) in 16-bit lanes, before the +16. 157 does not
// fit a signed byte, so each pixel B,G,R,A is rearranged to B,G,G,R and
// weighted 16,78 | 79,47 by pmaddubsw (each pair stays below 32768);
// pmaddwd adds the pairs and the sums (at most 56100) pack to unsigned
// 16-bit lanes. Per 128-bit lane the result holds a's pixels then b's.
inline __m256i luma16(__m256i a, __m256i b) {
  const __m256i bggr = _mm256_setr_epi8(0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14,  //
                                        0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14);
  const __m256i weights = coefficients(16, 78, 79, 47);
  const __m256i pa = _mm256_maddubs_epi16(_mm256_shuffle_epi8(a, bggr), weights);
  const __m256i pb = _mm256_maddubs_epi16(_mm256_shuffle_epi8(b, bggr), weights);
  const __m256i ones = _mm256_set1_epi16(1);
  return _mm256_srli_epi16(
      _mm256_packus_epi32(_mm256_madd_epi16(pa, ones), _mm256_madd_epi16(pb, ones)), 8);
}

// U or V (by the weights) of 8 pixels each of a and b, before the +128:
// pairs (B,G) and (R,A) weighted by pmaddubsw, added by phaddw. All sums
// lie within ±113·255, so the signed 16-bit lanes hold them exactly and the
// arithmetic shift is the floor division.
inline __m256i chroma16(__m256i a, __m256i b, __m256i weights) {
  return _mm256_srai_epi16(
      _mm256_hadd_epi16(_mm256_maddubs_epi16(a, weights), _mm256_maddubs_epi16(b, weights)), 8);
}

// Per 128-bit lane: pixels 0 and 2 of a, then 0 and 2 of b.
inline __m256i even_pixels(__m256i a, __m256i b) {
  return _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Four registers of pixels; named members (not an array) so they stay in
// registers.
struct Block {
  __m256i p0, p1, p2, p3;
  explicit Block(const std::uint8_t* bgra)
      : p0(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra))),
        p1(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 32))),
        p2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 64))),
        p3(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 96))) {}
};

inline __m256i luma32(const Block& b) {
  // Per 128-bit lane the packs leave 4-byte groups in the order
  // p0.lo p1.lo p2.lo p3.lo p0.hi p1.hi p2.hi p3.hi.
  const __m256i bytes =
      _mm256_permutevar8x32_epi32(_mm256_packus_epi16(luma16(b.p0, b.p1), luma16(b.p2, b.p3)),
                                  _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  return _mm256_add_epi8(bytes, _mm256_set1_epi8(16));
}

// U of the block's 16 even pixels in the low 128 bits, V in the high ones.
inline __m256i chroma16(const Block& b) {
  const __m256i first = even_pixels(b.p0, b.p1);
  const __m256i second = even_pixels(b.p2, b.p3);
  const __m256i u = chroma16(first, second, coefficients(112, -87, -26, 0));
  const __m256i v = chroma16(first, second, coefficients(-10, -102, 112, 0));
  // Per lane: U then V of samples {0,1,4,5,8,9,12,13} (low lane) and
  // {2,3,6,7,10,11,14,15} (high lane). Gather U in the low lane, V in the
  // high one, then restore the sample order pairwise.
  __m256i bytes = _mm256_packs_epi16(u, v);
  bytes = _mm256_permute4x64_epi64(bytes, _MM_SHUFFLE(3, 1, 2, 0));
  bytes = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                              0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15));
  // Signed results −113..111 plus 128: flip the top bit.
  return _mm256_xor_si256(bytes, _mm256_set1_epi8(static_cast<char>(0x80)));
}

void luma_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x),
                        luma32(Block(bgra + 4 * std::size_t{x})));
  }
  luma_tail(bgra, y, x, width);
}

void luma_chroma_planar_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                            std::uint8_t* v, std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const Block block(bgra + 4 * std::size_t{x});
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), luma32(block));
    const __m256i chroma = chroma16(block);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(chroma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2), _mm256_extracti128_si256(chroma, 1));
  }
  luma_chroma_planar_tail(bgra, y, u, v, x, width);
}

void luma_chroma_interleaved_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                                 std::uint32_t width) {
  std::uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const Block block(bgra + 4 * std::size_t{x});
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), luma32(block));
    const __m256i chroma = chroma16(block);
    const __m128i u = _mm256_castsi256_si128(chroma);
    const __m128i v = _mm256_extracti128_si256(chroma, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x), _mm_unpacklo_epi8(u, v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x + 16), _mm_unpackhi_epi8(u, v));
  }
  luma_chroma_interleaved_tail(bgra, y, uv, x, width);
}

constexpr RowKernels kAvx2{luma_row, luma_chroma_planar_row, luma_chroma_interleaved_row};

}  // namespace

const RowKernels* avx2_kernels() { return &kAvx2; }

}  // namespace halvorine::conversion

#else

namespace halvorine::conversion {
const RowKernels* avx2_kernels() { return nullptr; }
}  // namespace halvorine::conversion

#endif
