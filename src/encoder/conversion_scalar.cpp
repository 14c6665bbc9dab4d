// Reference kernels: the formulas pixel by pixel.
#include "encoder/conversion_kernels.h"
#include "encoder/conversion_pixel.h"

namespace halvorine::conversion {
namespace {

void luma_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint32_t width) {
  luma_tail(bgra, y, 0, width);
}

void luma_chroma_planar_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* u,
                            std::uint8_t* v, std::uint32_t width) {
  luma_chroma_planar_tail(bgra, y, u, v, 0, width);
}

void luma_chroma_interleaved_row(const std::uint8_t* bgra, std::uint8_t* y, std::uint8_t* uv,
                                 std::uint32_t width) {
  luma_chroma_interleaved_tail(bgra, y, uv, 0, width);
}

constexpr RowKernels kScalar{luma_row, luma_chroma_planar_row, luma_chroma_interleaved_row};

}  // namespace

const RowKernels& scalar_kernels() { return kScalar; }

}  // namespace halvorine::conversion
