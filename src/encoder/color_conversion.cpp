#include "encoder/color_conversion.h"

#include <cstring>
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "encoder/conversion_kernels.h"
#include "encoder/cpu_features.h"
#include "encoder/frame_scaler.h"
#include "encoder/parallel_pool.h"

namespace halvorine::conversion {
namespace {

// 4 × width × height without overflow; 0 when it does not fit in size_t.
std::size_t source_size(std::uint32_t width, std::uint32_t height) {
  const std::size_t pixels_max = std::numeric_limits<std::size_t>::max() / 4;
  if (height != 0 && width > pixels_max / height) return 0;
  return std::size_t{width} * height * 4;
}

bool geometry_fits(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height) {
  const std::size_t needed = source_size(width, height);
  return needed != 0 && bgra.size() >= needed;
}

// Odd width: the padding column repeats the last pixel's luma (its chroma
// sample already comes from that pixel, the top-left of its block).
inline void pad_luma_row(std::uint8_t* y, std::uint32_t width) {
  if (width & 1U) y[width] = y[width - 1];
}

}  // namespace

namespace {

// A rectangle grown to whole 2×2 blocks (chroma samples come from each
// block's top-left pixel) and limited to the padded picture.
struct Blocks {
  std::uint32_t left, top, right, bottom;
};

std::optional<Blocks> to_blocks(const Rect& rect, std::uint32_t width, std::uint32_t height) {
  const std::int64_t left = std::max<std::int64_t>(rect.left, 0);
  const std::int64_t top = std::max<std::int64_t>(rect.top, 0);
  const std::int64_t right = std::min<std::int64_t>(rect.right, width);
  const std::int64_t bottom = std::min<std::int64_t>(rect.bottom, height);
  if (left >= right || top >= bottom) return std::nullopt;
  return Blocks{static_cast<std::uint32_t>(left) & ~1U, static_cast<std::uint32_t>(top) & ~1U,
                padded_to_even(static_cast<std::uint32_t>(right)),
                padded_to_even(static_cast<std::uint32_t>(bottom))};
}

// Rows [2k, 2k + 2) of `blocks`: luma, one chroma row, the padding. `chroma`
// gets `put` applied for the row pair's chroma samples.
template <typename FirstRow>
inline void convert_row_pair(const RowKernels& kernels, const std::uint8_t* bgra, std::uint32_t width,
                             std::uint32_t height, const Blocks& blocks, std::uint32_t row,
                             std::uint8_t* luma, std::size_t stride, FirstRow first_row) {
  const std::size_t src_stride = std::size_t{width} * 4;
  const std::uint32_t pixels = std::min(blocks.right, width) - blocks.left;
  const std::uint8_t* src = bgra + row * src_stride + std::size_t{blocks.left} * 4;
  std::uint8_t* y0 = luma + row * stride;
  first_row(src, y0 + blocks.left, pixels);
  const bool pads = blocks.right > width;  // odd width: this region holds the padding column
  if (pads) pad_luma_row(y0, width);
  std::uint8_t* y1 = y0 + stride;
  if (row + 1 < height) {
    kernels.luma(src + src_stride, y1 + blocks.left, pixels);
    if (pads) pad_luma_row(y1, width);
  } else {
    // Odd height: repeat the last row.
    std::memcpy(y1 + blocks.left, y0 + blocks.left, blocks.right - blocks.left);
  }
}

bool i420_fits(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
               std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  return width != 0 && height != 0 && geometry_fits(bgra, width, height) &&
         y.size() >= i420_luma_size(width, height) && u.size() >= i420_chroma_size(width, height) &&
         v.size() >= i420_chroma_size(width, height);
}

bool nv12_fits(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
               std::span<std::uint8_t> nv12) {
  return width != 0 && height != 0 && geometry_fits(bgra, width, height) &&
         nv12.size() >= nv12_size(width, height);
}

void convert_i420(const RowKernels& kernels, std::span<const std::uint8_t> bgra, std::uint32_t width,
                  std::uint32_t height, const Blocks& blocks, std::span<std::uint8_t> y,
                  std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  const std::size_t y_stride = padded_to_even(width);
  const std::size_t c_stride = y_stride / 2;
  for (std::uint32_t row = blocks.top; row < blocks.bottom; row += 2) {
    const std::size_t chroma = (row / 2) * c_stride + blocks.left / 2;
    convert_row_pair(kernels, bgra.data(), width, height, blocks, row, y.data(), y_stride,
                     [&](const std::uint8_t* src, std::uint8_t* y0, std::uint32_t pixels) {
                       kernels.luma_chroma_planar(src, y0, u.data() + chroma, v.data() + chroma, pixels);
                     });
  }
}

void convert_nv12(const RowKernels& kernels, std::span<const std::uint8_t> bgra, std::uint32_t width,
                  std::uint32_t height, const Blocks& blocks, std::span<std::uint8_t> nv12,
                  ParallelPool& pool) {
  const std::size_t stride = padded_to_even(width);  // luma and interleaved chroma alike
  std::uint8_t* luma = nv12.data();
  std::uint8_t* chroma = luma + i420_luma_size(width, height);
  // Item k: luma rows top + 2k and top + 2k + 1 and their chroma row. Items
  // write disjoint parts of the buffer. Nothing in them can throw, so the
  // loop cannot fail.
  (void)pool.run((blocks.bottom - blocks.top) / 2, [&](std::size_t begin, std::size_t end) noexcept {
    for (std::size_t k = begin; k < end; ++k) {
      const auto row = static_cast<std::uint32_t>(blocks.top + 2 * k);
      std::uint8_t* uv = chroma + (row / 2) * stride + blocks.left;
      convert_row_pair(kernels, bgra.data(), width, height, blocks, row, luma, stride,
                       [&](const std::uint8_t* src, std::uint8_t* y0, std::uint32_t pixels) {
                         kernels.luma_chroma_interleaved(src, y0, uv, pixels);
                       });
    }
  });
}

Blocks whole(std::uint32_t width, std::uint32_t height) {
  return Blocks{0, 0, padded_to_even(width), padded_to_even(height)};
}

}  // namespace

void bgra_to_i420(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<std::uint8_t> y,
                  std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  if (!i420_fits(bgra, width, height, y, u, v)) return;
  convert_i420(kernels, bgra, width, height, whole(width, height), y, u, v);
}

void bgra_to_i420(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<const Rect> changed,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  if (!i420_fits(bgra, width, height, y, u, v)) return;
  for (const Rect& rect : changed) {
    if (auto blocks = to_blocks(rect, width, height)) convert_i420(kernels, bgra, width, height, *blocks, y, u, v);
  }
}

void bgra_to_nv12(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<std::uint8_t> nv12,
                  ParallelPool& pool) {
  if (!nv12_fits(bgra, width, height, nv12)) return;
  convert_nv12(kernels, bgra, width, height, whole(width, height), nv12, pool);
}

void bgra_to_nv12(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<const Rect> changed,
                  std::span<std::uint8_t> nv12, ParallelPool& pool) {
  if (!nv12_fits(bgra, width, height, nv12)) return;
  for (const Rect& rect : changed) {
    if (auto blocks = to_blocks(rect, width, height)) convert_nv12(kernels, bgra, width, height, *blocks, nv12, pool);
  }
}

namespace {

// One pool thread's scratch for scaled conversion: the scaler's accumulator
// and the two scaled BGRA rows of a row pair.
struct ScaledRows {
  std::vector<std::uint16_t> accumulator;
  std::vector<std::uint8_t> rows;
};

// The calling thread's scratch, one entry per pool slot, sized here, before
// any loop starts: nothing is allocated inside a pool job (a failed
// allocation there would have no one to go to), and after the first frame
// nothing is allocated at all.
std::span<ScaledRows> scaled_scratch(const FrameScaler& scaler, unsigned slots) {
  thread_local std::vector<ScaledRows> scratch;
  if (scratch.size() < slots) scratch.resize(slots);
  const std::size_t row_bytes = std::size_t{scaler.target().width} * 4;
  for (ScaledRows& rows : std::span(scratch).first(slots)) {
    if (rows.accumulator.size() < scaler.accumulator_size()) rows.accumulator.resize(scaler.accumulator_size());
    if (rows.rows.size() < 2 * row_bytes) rows.rows.resize(2 * row_bytes);
  }
  return std::span(scratch).first(slots);
}

bool scaled_geometry_fits(const FrameScaler& scaler, std::span<const std::uint8_t> bgra) {
  const FrameSize source = scaler.source();
  const FrameSize target = scaler.target();
  return target.width >= 2 && target.height >= 2 && target.width % 2 == 0 && target.height % 2 == 0 &&
         target.width <= source.width && target.height <= source.height &&
         geometry_fits(bgra, source.width, source.height);
}

}  // namespace

void bgra_to_i420(const RowKernels& kernels, const FrameScaler& scaler,
                  std::span<const std::uint8_t> bgra, std::span<std::uint8_t> y,
                  std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  if (!scaled_geometry_fits(scaler, bgra)) return;
  const FrameSize target = scaler.target();
  if (y.size() < i420_luma_size(target.width, target.height) ||
      u.size() < i420_chroma_size(target.width, target.height) ||
      v.size() < i420_chroma_size(target.width, target.height)) {
    return;
  }
  const std::size_t row_bytes = std::size_t{target.width} * 4;
  ScaledRows& scratch = scaled_scratch(scaler, 1)[0];
  std::uint8_t* first = scratch.rows.data();
  std::uint8_t* second = first + row_bytes;
  const std::size_t c_stride = target.width / 2;
  for (std::uint32_t row = 0; row < target.height; row += 2) {
    scaler.scale_row(bgra.data(), row, first, scratch.accumulator);
    scaler.scale_row(bgra.data(), row + 1, second, scratch.accumulator);
    std::uint8_t* y0 = y.data() + std::size_t{row} * target.width;
    kernels.luma_chroma_planar(first, y0, u.data() + (row / 2) * c_stride, v.data() + (row / 2) * c_stride,
                               target.width);
    kernels.luma(second, y0 + target.width, target.width);
  }
}

void bgra_to_nv12(const RowKernels& kernels, const FrameScaler& scaler,
                  std::span<const std::uint8_t> bgra, std::span<std::uint8_t> nv12,
                  ParallelPool& pool) {
  if (!scaled_geometry_fits(scaler, bgra)) return;
  const FrameSize target = scaler.target();
  if (nv12.size() < nv12_size(target.width, target.height)) return;
  const std::size_t stride = target.width;
  std::uint8_t* luma = nv12.data();
  std::uint8_t* chroma = luma + i420_luma_size(target.width, target.height);
  const std::size_t row_bytes = stride * 4;
  const std::span<ScaledRows> scratch = scaled_scratch(scaler, pool.thread_count());
  // Nothing in the rows can throw, so the loop cannot fail.
  (void)pool.run(target.height / 2, [&](std::size_t begin, std::size_t end, unsigned slot) noexcept {
    ScaledRows& rows = scratch[slot];
    std::uint8_t* first = rows.rows.data();
    std::uint8_t* second = first + row_bytes;
    for (std::size_t k = begin; k < end; ++k) {
      const auto row = static_cast<std::uint32_t>(2 * k);
      scaler.scale_row(bgra.data(), row, first, rows.accumulator);
      scaler.scale_row(bgra.data(), row + 1, second, rows.accumulator);
      std::uint8_t* y0 = luma + row * stride;
      kernels.luma_chroma_interleaved(first, y0, chroma + k * stride, target.width);
      kernels.luma(second, y0 + stride, target.width);
    }
  });
}

std::string_view level_name(Level level) {
  switch (level) {
    case Level::scalar:
      return "scalar";
    case Level::sse2:
      return "sse2";
    case Level::avx2:
      return "avx2";
  }
  return "?";
}

const RowKernels* kernels_for(Level level) {
  switch (level) {
    case Level::scalar:
      return &scalar_kernels();
    case Level::sse2:
      return sse2_kernels();
    case Level::avx2:
      return cpu_has_avx2() ? avx2_kernels() : nullptr;
  }
  return nullptr;
}

Level best_level() {
  static const Level best = [] {
    if (kernels_for(Level::avx2)) return Level::avx2;
    if (kernels_for(Level::sse2)) return Level::sse2;
    return Level::scalar;
  }();
  return best;
}

namespace {

const RowKernels& best_kernels() {
  static const RowKernels& kernels = *kernels_for(best_level());
  return kernels;
}

}  // namespace
}  // namespace halvorine::conversion

namespace halvorine {

void bgra_to_i420(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  conversion::bgra_to_i420(conversion::best_kernels(), bgra, width, height, y, u, v);
}

void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> nv12, ParallelPool& pool) {
  conversion::bgra_to_nv12(conversion::best_kernels(), bgra, width, height, nv12, pool);
}

void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<std::uint8_t> nv12) {
  bgra_to_nv12(bgra, width, height, nv12, ParallelPool::shared());
}

void bgra_to_i420(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<const Rect> changed, std::span<std::uint8_t> y, std::span<std::uint8_t> u,
                  std::span<std::uint8_t> v) {
  conversion::bgra_to_i420(conversion::best_kernels(), bgra, width, height, changed, y, u, v);
}

void bgra_to_nv12(std::span<const std::uint8_t> bgra, std::uint32_t width, std::uint32_t height,
                  std::span<const Rect> changed, std::span<std::uint8_t> nv12) {
  conversion::bgra_to_nv12(conversion::best_kernels(), bgra, width, height, changed, nv12,
                           ParallelPool::shared());
}

void bgra_to_i420(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v) {
  conversion::bgra_to_i420(conversion::best_kernels(), scaler, bgra, y, u, v);
}

void bgra_to_nv12(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> nv12, ParallelPool& pool) {
  conversion::bgra_to_nv12(conversion::best_kernels(), scaler, bgra, nv12, pool);
}

void bgra_to_nv12(const FrameScaler& scaler, std::span<const std::uint8_t> bgra,
                  std::span<std::uint8_t> nv12) {
  bgra_to_nv12(scaler, bgra, nv12, ParallelPool::shared());
}

}  // namespace halvorine
