#include "capture/gdi_capture.h"

#include <bit>
#include <cstring>

namespace halvorine {
namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

std::uint64_t load_little_endian(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

}  // namespace

bool capture_virtual_screen_into(CapturePlatform& platform, VirtualScreenImage& image) {
  const ScreenMetrics metrics = platform.screen_metrics();
  const std::int32_t width = metrics.virtual_width > 0 ? metrics.virtual_width : metrics.screen_width;
  const std::int32_t height = metrics.virtual_height > 0 ? metrics.virtual_height : metrics.screen_height;
  if (width <= 0 || height <= 0) return false;
  if (!platform.capture_region(metrics.virtual_x, metrics.virtual_y, width, height, image.pixels)) {
    return false;
  }
  image.width = static_cast<std::uint32_t>(width);
  image.height = static_cast<std::uint32_t>(height);
  return true;
}

std::optional<VirtualScreenImage> capture_virtual_screen(CapturePlatform& platform) {
  VirtualScreenImage image;
  if (!capture_virtual_screen_into(platform, image)) return std::nullopt;
  return image;
}

std::uint64_t gdi_frame_hash(std::span<const std::uint8_t> bytes) {
  std::uint64_t hash = kFnvOffset;
  const std::size_t whole = bytes.size() / 8 * 8;
  const std::uint8_t* data = bytes.data();
  for (std::size_t at = 0; at < whole; at += 8) {
    hash = (hash ^ load_little_endian(data + at)) * kFnvPrime;
  }
  for (std::size_t at = whole; at < bytes.size(); ++at) hash = (hash ^ data[at]) * kFnvPrime;
  return hash;
}

std::vector<std::uint8_t> rotate_to_native(std::span<const std::uint8_t> pixels, std::uint32_t width,
                                           std::uint32_t height, std::uint32_t rotation) {
  std::vector<std::uint8_t> out(pixels.size(), 0);
  if (pixels.size() < std::size_t{width} * height * 4) return out;
  // Destination stride in pixels: the native width.
  const bool quarter_turn = rotation == kRotation90 || rotation == kRotation270;
  const std::size_t out_width = quarter_turn ? height : width;
  for (std::uint32_t row = 0; row < height; ++row) {
    const std::uint8_t* source = pixels.data() + std::size_t{row} * width * 4;
    for (std::uint32_t column = 0; column < width; ++column, source += 4) {
      std::size_t out_column = 0;
      std::size_t out_row = 0;
      switch (rotation) {
        case kRotation90:  // a quarter turn counter-clockwise
          out_column = row;
          out_row = width - 1 - column;
          break;
        case kRotation180:
          out_column = width - 1 - column;
          out_row = height - 1 - row;
          break;
        case kRotation270:  // a quarter turn clockwise
          out_column = height - 1 - row;
          out_row = column;
          break;
        default:
          out_column = column;
          out_row = row;
          break;
      }
      std::memcpy(out.data() + (out_row * out_width + out_column) * 4, source, 4);
    }
  }
  return out;
}

}  // namespace halvorine
