// GDI captures of the screen and the pure pieces of the GDI-only mode.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/capture_platform.h"

namespace halvorine {

struct VirtualScreenImage {
  std::vector<std::uint8_t> pixels;  // width × height × 4, BGRA, top-down
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The whole virtual screen; nullopt on any failure.
std::optional<VirtualScreenImage> capture_virtual_screen(CapturePlatform& platform);
// The same into `image`, reusing its buffer; false on any failure (the
// content of `image` is then unspecified).
bool capture_virtual_screen_into(CapturePlatform& platform, VirtualScreenImage& image);

// The GDI-only change hash: FNV-1a over little-endian 64-bit words, then over
// the remaining bytes one at a time.
std::uint64_t gdi_frame_hash(std::span<const std::uint8_t> bytes);

// Turns an image captured in the desktop's orientation (width × height) into
// the output's native one for DXGI rotation 2, 3 or 4. The result has the
// same byte count; its size is height × width for 2 and 4.
std::vector<std::uint8_t> rotate_to_native(std::span<const std::uint8_t> pixels, std::uint32_t width,
                                           std::uint32_t height, std::uint32_t rotation);

}  // namespace halvorine
