// AVX2 kernels, 32 pixels per step (64 on I420 chroma rows), with 16-bit
// lanes: the weighted sums are formed from bytes by pmaddubsw, and each result
// is the high byte of its 16-bit sum. This file alone is compiled with AVX2
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

// Luma of 8 pixels, one per 32-bit lane, minus 126, times 256 (the low 8
// bits hold the remainder). The pixel bytes are made signed (x − 128) so
// that the weights can sit in pmaddubsw's unsigned operand, where 157 fits:
// the pairs 16·B′+157·G′ and 47·R′+0·A′ stay within ±173·128, and pmaddwd
// adds them. The bias 128·(16+157+47) = 110·256 is a whole multiple of 256,
// so the floor division is unchanged: Y = (S′ >> 8) + 110 + 16.
inline __m256i luma8_biased(__m256i p) {
  const __m256i weights = _mm256_set1_epi32(0x002F9D10);  // bytes 16, 157, 47, 0
  const __m256i signed_pixels = _mm256_xor_si256(p, _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_madd_epi16(_mm256_maddubs_epi16(weights, signed_pixels), _mm256_set1_epi16(1));
}

// U and V of 8 pixels, as signed 16-bit lanes U, V per 32-bit lane, before
// the +128 and the division by 256. pmaddubsw forms 112B−87G | 112R for the
// first and −10B−102G | −26R for the second; swapping the second's halves
// lines the partial sums up for one vertical add. Every partial and total
// lies within ±113·255, so nothing saturates.
inline __m256i chroma_words(__m256i p) {
  const __m256i first = _mm256_maddubs_epi16(p, coefficients(112, -87, 112, 0));
  const __m256i second = _mm256_maddubs_epi16(p, coefficients(-10, -102, -26, 0));
  const __m256i swap = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,  //
                                        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  return _mm256_add_epi16(first, _mm256_shuffle_epi8(second, swap));
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
  // Sums within ±28160 pack to signed 16-bit lanes without saturating; per
  // 128-bit lane the packs leave 4-byte groups in the order
  // p0.lo p1.lo p2.lo p3.lo p0.hi p1.hi p2.hi p3.hi.
  const __m256i low = _mm256_srai_epi16(
      _mm256_packs_epi32(luma8_biased(b.p0), luma8_biased(b.p1)), 8);
  const __m256i high = _mm256_srai_epi16(
      _mm256_packs_epi32(luma8_biased(b.p2), luma8_biased(b.p3)), 8);
  const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(low, high),
                                                    _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  return _mm256_add_epi8(bytes, _mm256_set1_epi8(126));
}

// The high byte of a 16-bit sum is the sum divided by 256, rounded down;
// adding 128 to it flips its top bit.
inline __m256i to_chroma_bytes(__m256i bytes) {
  return _mm256_xor_si256(bytes, _mm256_set1_epi8(static_cast<char>(0x80)));
}

// U, V of the block's 16 even pixels interleaved (U0 V0 U1 V1 ...).
inline __m256i chroma_interleaved16(const Block& b) {
  // Per 128-bit lane, the first register holds samples {0,1,4,5} (low lane)
  // or {2,3,6,7} (high lane), the second the same plus 8.
  const __m256i first = chroma_words(even_pixels(b.p0, b.p1));
  const __m256i second = chroma_words(even_pixels(b.p2, b.p3));
  constexpr char z = -1;
  const __m256i high_to_low =
      _mm256_setr_epi8(1, 3, 5, 7, 9, 11, 13, 15, z, z, z, z, z, z, z, z,  //
                       1, 3, 5, 7, 9, 11, 13, 15, z, z, z, z, z, z, z, z);
  const __m256i high_to_high =
      _mm256_setr_epi8(z, z, z, z, z, z, z, z, 1, 3, 5, 7, 9, 11, 13, 15,  //
                       z, z, z, z, z, z, z, z, 1, 3, 5, 7, 9, 11, 13, 15);
  // Per lane 4-byte groups of sample pairs: {0,1} {4,5} {8,9} {12,13} low,
  // {2,3} {6,7} {10,11} {14,15} high.
  const __m256i bytes = _mm256_or_si256(_mm256_shuffle_epi8(first, high_to_low),
                                        _mm256_shuffle_epi8(second, high_to_high));
  return to_chroma_bytes(
      _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// U and V of the block's 16 even pixels, per 128-bit lane: U in bytes
// 0..7, V in bytes 8..15, each as sample pairs {0,1} {4,5} {8,9} {12,13}
// (low lane) or {2,3} {6,7} {10,11} {14,15} (high lane). Not yet offset by
// 128.
inline __m256i chroma_pairs16(const Block& b) {
  const __m256i first = chroma_words(even_pixels(b.p0, b.p1));
  const __m256i second = chroma_words(even_pixels(b.p2, b.p3));
  constexpr char z = -1;
  const __m256i first_split =
      _mm256_setr_epi8(1, 5, 9, 13, z, z, z, z, 3, 7, 11, 15, z, z, z, z,  //
                       1, 5, 9, 13, z, z, z, z, 3, 7, 11, 15, z, z, z, z);
  const __m256i second_split =
      _mm256_setr_epi8(z, z, z, z, 1, 5, 9, 13, z, z, z, z, 3, 7, 11, 15,  //
                       z, z, z, z, 1, 5, 9, 13, z, z, z, z, 3, 7, 11, 15);
  return _mm256_or_si256(_mm256_shuffle_epi8(first, first_split),
                         _mm256_shuffle_epi8(second, second_split));
}

// U of one block's 16 even pixels in the low 128 bits, V in the high ones.
inline __m256i chroma_planar16(const Block& b) {
  __m256i bytes = _mm256_permute4x64_epi64(chroma_pairs16(b), _MM_SHUFFLE(3, 1, 2, 0));
  bytes = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                              0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15));
  return to_chroma_bytes(bytes);
}

// U (then V) of two consecutive blocks' 32 even pixels. Bringing the two
// lanes of each block together lets one word interleave restore the sample
// order, which is cheaper than fixing each block alone.
struct Planar32 {
  __m256i u, v;
};
inline Planar32 chroma_planar32(const Block& a, const Block& b) {
  const __m256i pa = chroma_pairs16(a);
  const __m256i pb = chroma_pairs16(b);
  const __m256i low_lanes = _mm256_permute2x128_si256(pa, pb, 0x20);
  const __m256i high_lanes = _mm256_permute2x128_si256(pa, pb, 0x31);
  return {to_chroma_bytes(_mm256_unpacklo_epi16(low_lanes, high_lanes)),
          to_chroma_bytes(_mm256_unpackhi_epi16(low_lanes, high_lanes))};
}

// Stores of 32 bytes: plain, or non-temporal (two 16-byte halves, which
// need only 16-byte alignment). Rows this wide belong to 4K-class frames,
// whose source and planes together exceed the last-level cache: the planes
// would be evicted before the encoder reads them anyway, and streaming
// them saves reading every destination line first (about a fifth faster at
// 3840 × 2160 here). Narrower frames keep their planes in cache for the
// encoder. The row ends with an sfence so that the planes are ordered
// before whatever hands them to another thread.
struct PlainStore {
  static void put(std::uint8_t* p, __m256i x) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x);
  }
};
struct StreamStore {
  static void put(std::uint8_t* p, __m256i x) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(x));
    _mm_stream_si128(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(x, 1));
  }
};

constexpr std::uint32_t kStreamWidth = 3200;
inline bool aligned16(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 15U) == 0; }

// The loops count in chroma samples j (pixel 2j) so that every address is
// a base plus a scaled index: no per-step pointer arithmetic. Each returns
// the samples it covered.
template <class Store>
std::size_t luma_steps(const std::uint8_t* bgra, std::uint8_t* y, std::size_t steps) {
  std::size_t j = 0;
  for (; j < steps; j += 16) Store::put(y + 2 * j, luma32(Block(bgra + 8 * j)));
  return j;
}

void luma_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t width) {
  const std::size_t steps = width / 32 * 16;
  std::size_t j;
  if (width >= kStreamWidth && aligned16(y)) {
    j = luma_steps<StreamStore>(bgra, y, steps);
    _mm_sfence();
  } else {
    j = luma_steps<PlainStore>(bgra, y, steps);
  }
  luma_tail(bgra, y, static_cast<std::uint32_t>(2 * j), width);
}

template <class Store>
std::size_t planar_steps(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                         std::uint8_t* v, std::size_t steps) {
  std::size_t j = 0;
  for (; j + 32 <= steps; j += 32) {
    const Block a(bgra + 8 * j);
    const Block b(bgra + 8 * j + 128);
    Store::put(y + 2 * j, luma32(a));
    Store::put(y + 2 * j + 32, luma32(b));
    const Planar32 chroma = chroma_planar32(a, b);
    Store::put(u + j, chroma.u);
    Store::put(v + j, chroma.v);
  }
  return j;
}

void luma_chroma_planar_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                            std::uint8_t* v, std::uint32_t width) {
  const std::size_t steps = width / 32 * 16;
  std::size_t j;
  if (width >= kStreamWidth && aligned16(y) && aligned16(u) && aligned16(v)) {
    j = planar_steps<StreamStore>(bgra, y, u, v, steps);
    _mm_sfence();
  } else {
    j = planar_steps<PlainStore>(bgra, y, u, v, steps);
  }
  if (j < steps) {
    const Block block(bgra + 8 * j);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + 2 * j), luma32(block));
    const __m256i chroma = chroma_planar16(block);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + j), _mm256_castsi256_si128(chroma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j), _mm256_extracti128_si256(chroma, 1));
    j += 16;
  }
  luma_chroma_planar_tail(bgra, y, u, v, static_cast<std::uint32_t>(2 * j), width);
}

template <class Store>
std::size_t interleaved_steps(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                              std::size_t steps) {
  std::size_t j = 0;
  for (; j < steps; j += 16) {
    const Block block(bgra + 8 * j);
    Store::put(y + 2 * j, luma32(block));
    Store::put(uv + 2 * j, chroma_interleaved16(block));
  }
  return j;
}

void luma_chroma_interleaved_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                                 std::uint32_t width) {
  const std::size_t steps = width / 32 * 16;
  std::size_t j;
  if (width >= kStreamWidth && aligned16(y) && aligned16(uv)) {
    j = interleaved_steps<StreamStore>(bgra, y, uv, steps);
    _mm_sfence();
  } else {
    j = interleaved_steps<PlainStore>(bgra, y, uv, steps);
  }
  luma_chroma_interleaved_tail(bgra, y, uv, static_cast<std::uint32_t>(2 * j), width);
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
