// BGRA → YUV 4:2:0 conversion for both encoders.
//
// Both layouts use one integer colour matrix (BT.709 coefficients, limited
// range) and point-sampled chroma (each 2×2 block takes U and V from its
// top-left pixel), so a stream switched between the encoders keeps its colours:
//   Y = ((16·B + 157·G + 47·R) >> 8) + 16
//   U = ((112·B − 87·G − 26·R) >> 8) + 128
//   V = ((112·R − 102·G − 10·B) >> 8) + 128      (>> is floor division by 256)
//
// Source: tightly packed top-down BGRA, 4 × width × height bytes, alpha ignored.
//
// Odd sizes: a frame of odd width or height is converted as if its last
// column and/or row were repeated once, so the planes always have the even
// "padded" size below (the same as the plain size for even frames). Nothing
// of the picture is lost and H.264 4:2:0 can carry the result (it cannot
// carry an odd size).
//
// Buffers smaller than the geometry needs make a conversion write nothing at
// all (callers size them with the helpers below; they never do otherwise).
// Neither converter allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/rect.h"

namespace halvorine {

class FrameScaler;
class ParallelPool;

// The even size a dimension is converted to.
constexpr std::uint32_t padded_to_even(std::uint32_t n) { return n + (n & 1U); }

// I420: luma plane of padded width × padded height bytes (stride padded width),
// U and V planes of (padded width / 2) × (padded height / 2) bytes each.
constexpr std::size_t i420_luma_size(std::uint32_t width, std::uint32_t height) {
  return std::size_t{padded_to_even(width)} * padded_to_even(height);
}
constexpr std::size_t i420_chroma_size(std::uint32_t width, std::uint32_t height) {
  return std::size_t{padded_to_even(width) / 2} * (padded_to_even(height) / 2);
}
// NV12: the luma plane as above followed by interleaved U, V rows of padded
// width bytes (U at even offsets, V at odd ones), one per row pair.
constexpr std::size_t nv12_size(std::uint32_t width, std::uint32_t height) {
  return i420_luma_size(width, height) + i420_luma_size(width, height) / 2;
}

// Fills the three I420 planes in one sequential pass on the calling thread.
// Does nothing when width or height is 0.
void bgra_to_i420(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v);

// Fills the whole NV12 buffer. Row pairs are converted in parallel on `pool`
// (the calling thread helps); returns when all of them are done.
void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> nv12, ParallelPool& pool);
// The same on the process-wide pool (ParallelPool::shared()).
void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> nv12);

// The same, converting only the 2×2 blocks that `changed` (rectangles of the
// frame, clipped to it) touches: the rest of the planes keep what an earlier
// conversion of the same size wrote there. A screen where a key press changed
// a few thousand pixels costs a few rows, not a frame.
void bgra_to_i420(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<const Rect> changed, std::span<std::uint8_t> y, std::span<std::uint8_t> u,
                  std::span<std::uint8_t> v);
void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<const Rect> changed, std::span<std::uint8_t> nv12);

// The same conversions of a picture of scaler.source() size, scaled down to
// scaler.target() (even, smaller in neither dimension than 2) in the same
// pass: planes and buffers are sized for the target. Each thread keeps one
// row of scratch, allocated on its first use.
void bgra_to_i420(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v);
void bgra_to_nv12(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> nv12, ParallelPool& pool);
void bgra_to_nv12(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> nv12);

}  // namespace halvorine
