#include "view/yuv_to_bgra.h"

#include <algorithm>

namespace halvorine::client {
namespace {

// BT.709 limited range, 8-bit fixed point (x256): R = 1.164 (Y-16) + 1.793 (V-128),
// G = 1.164 (Y-16) - 0.213 (U-128) - 0.533 (V-128), B = 1.164 (Y-16) + 2.112 (U-128).
constexpr int kY = 298, kRv = 459, kGu = 55, kGv = 136, kBu = 541;

inline std::uint8_t clamp8(int value) { return static_cast<std::uint8_t>(std::clamp(value >> 8, 0, 255)); }

// One row; u and v advance every second pixel with `chroma_step` bytes apart.
void convert_row(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int chroma_step, int width,
                 std::uint8_t* out) {
  for (int x = 0; x < width; x += 2) {
    const int d = u[0] - 128, e = v[0] - 128;
    const int r = kRv * e + 128, g = -kGu * d - kGv * e + 128, b = kBu * d + 128;
    for (int i = 0; i < 2 && x + i < width; ++i) {
      const int c = kY * (y[x + i] - 16);
      out[0] = clamp8(c + b);
      out[1] = clamp8(c + g);
      out[2] = clamp8(c + r);
      out[3] = 255;
      out += 4;
    }
    u += chroma_step;
    v += chroma_step;
  }
}

}  // namespace

Picture BgraPictures::convert(const Picture& yuv) {
  const std::size_t size = static_cast<std::size_t>(yuv.width) * yuv.height * 4;
  std::shared_ptr<std::vector<std::uint8_t>> buffer;
  for (auto& candidate : buffers_) {
    if (candidate.use_count() == 1) {  // nobody shows it any more
      buffer = candidate;
      break;
    }
  }
  if (!buffer) {
    buffer = std::make_shared<std::vector<std::uint8_t>>();
    if (buffers_.size() < 4) buffers_.push_back(buffer);
  }
  buffer->resize(size);
  std::uint8_t* out = buffer->data();
  const bool nv12 = yuv.format == PixelFormat::nv12;
  for (int row = 0; row < yuv.height; ++row) {
    const std::uint8_t* y = yuv.planes[0] + static_cast<std::ptrdiff_t>(row) * yuv.strides[0];
    const std::uint8_t* u = yuv.planes[1] + static_cast<std::ptrdiff_t>(row / 2) * yuv.strides[1];
    const std::uint8_t* v = nv12 ? u + 1 : yuv.planes[2] + static_cast<std::ptrdiff_t>(row / 2) * yuv.strides[2];
    convert_row(y, u, v, nv12 ? 2 : 1, yuv.width, out + static_cast<std::size_t>(row) * yuv.width * 4);
  }
  Picture bgra;
  bgra.width = yuv.width;
  bgra.height = yuv.height;
  bgra.format = PixelFormat::bgra;
  bgra.planes[0] = buffer->data();
  bgra.strides[0] = yuv.width * 4;
  bgra.owner = std::move(buffer);
  return bgra;
}

}  // namespace halvorine::client
