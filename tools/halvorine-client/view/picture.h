// A decoded picture on its way from the decoder to the window.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

namespace halvorine::client {

enum class PixelFormat {
  i420,  // planes Y, U, V; chroma halved both ways
  nv12,  // planes Y, interleaved UV
  bgra,  // one plane, 4 bytes a pixel (B, G, R, unused)
};

// YUV pictures are BT.709 limited range, as our stream is tagged.
struct Picture {
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::i420;
  std::array<const std::uint8_t*, 3> planes{};
  std::array<int, 3> strides{};
  // Keeps the planes alive; pictures are shared, never copied.
  std::shared_ptr<const void> owner;
  // When the record that completed it had arrived, and when it was decoded.
  std::chrono::steady_clock::time_point arrival;
  std::chrono::steady_clock::time_point decoded;
};

}  // namespace halvorine::client
