#include "capture/pointer_shape.h"

#include <algorithm>
#include <cstddef>

namespace halvorine {
namespace {

void put_pixel(std::vector<std::uint8_t>& pixels, std::size_t at, std::uint8_t b, std::uint8_t g,
               std::uint8_t r, std::uint8_t a) {
  pixels[at] = b;
  pixels[at + 1] = g;
  pixels[at + 2] = r;
  pixels[at + 3] = a;
}

std::uint8_t unpremultiply(std::uint8_t channel, std::uint8_t alpha) {
  const unsigned value = (channel * 255u + alpha / 2u) / alpha;
  return static_cast<std::uint8_t>(std::min(value, 255u));
}

void convert_monochrome(std::span<const std::uint8_t> bytes, std::uint64_t pitch, std::uint32_t width,
                        std::uint32_t height, std::vector<std::uint8_t>& out) {
  // The XOR mask follows the AND mask, `height` rows further on.
  const std::uint64_t xor_offset = height * pitch;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint64_t and_index = y * pitch + x / 8;
      if (and_index >= bytes.size()) continue;
      const unsigned bit = 7 - x % 8;
      if ((bytes[and_index] >> bit) & 1u) continue;  // screen shows through
      const std::uint64_t xor_index = and_index + xor_offset;
      const bool white = xor_index < bytes.size() && ((bytes[xor_index] >> bit) & 1u);
      const std::uint8_t level = white ? 255 : 0;
      put_pixel(out, (std::size_t{y} * width + x) * 4, level, level, level, 255);
    }
  }
}

void convert_color(std::span<const std::uint8_t> bytes, std::uint64_t pitch, std::uint32_t width,
                   std::uint32_t height, bool masked, std::vector<std::uint8_t>& out) {
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint64_t index = y * pitch + std::uint64_t{x} * 4;
      if (index + 3 >= bytes.size()) continue;
      const std::uint8_t b = bytes[index];
      const std::uint8_t g = bytes[index + 1];
      const std::uint8_t r = bytes[index + 2];
      const std::uint8_t fourth = bytes[index + 3];
      const std::size_t at = (std::size_t{y} * width + x) * 4;
      if (masked) {
        // A non-zero mask byte marks an XOR pixel, which an image cannot show.
        if (fourth == 0) put_pixel(out, at, b, g, r, 255);
      } else if (fourth == 255) {
        put_pixel(out, at, b, g, r, 255);
      } else if (fourth != 0) {
        put_pixel(out, at, unpremultiply(b, fourth), unpremultiply(g, fourth), unpremultiply(r, fourth),
                  fourth);
      }
    }
  }
}

}  // namespace

CursorShape convert_pointer_shape(std::span<const std::uint8_t> bytes, const PointerShapeInfo& info,
                                  std::uint32_t serial) {
  CursorShape shape;
  shape.serial = serial;
  const std::uint32_t rows = info.type == kPointerShapeMonochrome ? info.height / 2 : info.height;
  // The record keeps 16-bit sizes; the pixels follow the sizes it states.
  shape.width = static_cast<std::uint16_t>(info.width);
  shape.height = static_cast<std::uint16_t>(rows);
  shape.hotspot_x = static_cast<std::uint16_t>(std::max(info.hotspot.x, 0));
  shape.hotspot_y = static_cast<std::uint16_t>(std::max(info.hotspot.y, 0));

  const bool known = info.type == kPointerShapeMonochrome || info.type == kPointerShapeColor ||
                     info.type == kPointerShapeMaskedColor;
  if (!known) return shape;
  shape.pixels.assign(std::size_t{shape.width} * shape.height * 4, 0);
  if (info.type == kPointerShapeMonochrome) {
    convert_monochrome(bytes, info.pitch, shape.width, shape.height, shape.pixels);
  } else {
    convert_color(bytes, info.pitch, shape.width, shape.height, info.type == kPointerShapeMaskedColor,
                  shape.pixels);
  }
  return shape;
}

}  // namespace halvorine
