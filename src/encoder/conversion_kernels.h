// Row kernels behind the colour converters, one set per instruction-set level.
// The converters pick the best level the processor has once; tests and
// benchmarks can drive every level directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/rect.h"

namespace halvorine {

class FrameScaler;
class ParallelPool;

namespace conversion {

// One source row of `width` ≥ 1 pixels. Luma is written for every pixel;
// chroma, where asked for, for every even pixel ((width + 1) / 2 samples).
struct RowKernels {
  void (*luma)(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t width);
  void (*luma_chroma_planar)(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                             std::uint8_t* v, std::uint32_t width);
  // U, V interleaved: U of pixel x at uv[x], V at uv[x + 1] (x even).
  void (*luma_chroma_interleaved)(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                                  std::uint32_t width);
};

enum class Level { scalar, sse2, avx2 };

std::string_view level_name(Level level);
// Null when this processor (or this build) lacks the level.
const RowKernels* kernels_for(Level level);
// The best available level, decided on the first call.
Level best_level();

const RowKernels& scalar_kernels();
const RowKernels* sse2_kernels();  // null when not built for this target
const RowKernels* avx2_kernels();  // null when not built for this target

// The converters of color_conversion.h with an explicit kernel set.
void bgra_to_i420(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<std::uint8_t> y,
                  std::span<std::uint8_t> u, std::span<std::uint8_t> v);
void bgra_to_nv12(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<std::uint8_t> nv12,
                  ParallelPool& pool);
void bgra_to_i420(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<const Rect> changed,
                  std::span<std::uint8_t> y, std::span<std::uint8_t> u, std::span<std::uint8_t> v);
void bgra_to_nv12(const RowKernels& kernels, std::span<const std::uint8_t> bgra,
                  std::uint32_t width, std::uint32_t height, std::span<const Rect> changed,
                  std::span<std::uint8_t> nv12, ParallelPool& pool);
void bgra_to_i420(const RowKernels& kernels, const FrameScaler& scaler,
                  std::span<const std::uint8_t> bgra, std::span<std::uint8_t> y,
                  std::span<std::uint8_t> u, std::span<std::uint8_t> v);
void bgra_to_nv12(const RowKernels& kernels, const FrameScaler& scaler,
                  std::span<const std::uint8_t> bgra, std::span<std::uint8_t> nv12,
                  ParallelPool& pool);

}  // namespace conversion
}  // namespace halvorine
