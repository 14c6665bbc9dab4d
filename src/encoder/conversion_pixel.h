// The colour matrix for one pixel, shared by the scalar kernels and the
// vector kernels' row tails.
//
// Internal linkage on purpose: this header is also compiled with -mavx2, and a
// shared inline definition could let the linker keep the AVX2 copy for callers
// on processors without AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvorine::conversion {
namespace {

// Arithmetic right shift of a negative int is floor division (C++20 defines it).
inline std::uint8_t luma_of(const std::uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return static_cast<std::uint8_t>(((16 * b + 157 * g + 47 * r) >> 8) + 16);
}
inline std::uint8_t u_of(const std::uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return static_cast<std::uint8_t>(((112 * b - 87 * g - 26 * r) >> 8) + 128);
}
inline std::uint8_t v_of(const std::uint8_t* p) {
  const int b = p[0], g = p[1], r = p[2];
  return static_cast<std::uint8_t>(((112 * r - 102 * g - 10 * b) >> 8) + 128);
}

// Tails of a row from pixel `from` on.
inline void luma_tail(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t from,
                      std::uint32_t width) {
  for (std::uint32_t x = from; x < width; ++x) y[x] = luma_of(bgra + 4 * std::size_t{x});
}
// `from` is even.
inline void luma_chroma_planar_tail(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                                    std::uint8_t* v, std::uint32_t from, std::uint32_t width) {
  for (std::uint32_t x = from; x < width; ++x) {
    const std::uint8_t* p = bgra + 4 * std::size_t{x};
    y[x] = luma_of(p);
    if ((x & 1U) == 0) {
      u[x / 2] = u_of(p);
      v[x / 2] = v_of(p);
    }
  }
}
inline void luma_chroma_interleaved_tail(const std::uint8_t* bgra, std::uint8_t* y,
                                         std::uint8_t* uv, std::uint32_t from,
                                         std::uint32_t width) {
  for (std::uint32_t x = from; x < width; ++x) {
    const std::uint8_t* p = bgra + 4 * std::size_t{x};
    y[x] = luma_of(p);
    if ((x & 1U) == 0) {
      uv[x] = u_of(p);
      uv[x + 1] = v_of(p);
    }
  }
}

}  // namespace
}  // namespace halvorine::conversion
