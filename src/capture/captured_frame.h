// The records screen capture hands out: one captured image with its changed
// regions and the pointer state that came with it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace halvorine {

// Left, top, right, bottom; right and bottom exclusive. The layout of a Win32
// RECT, so the Windows backend passes arrays of it to DXGI as they are.
struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The layout of a Win32 POINT.
struct Point {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// A pointer image as B, G, R, A bytes with straight alpha, stride width × 4.
// `pixels` is empty for a shape type the duplicator cannot convert.
struct CursorShape {
  std::uint32_t serial = 0;  // the duplicator's shape counter for this shape
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t hotspot_x = 0;
  std::uint16_t hotspot_y = 0;
  std::vector<std::uint8_t> pixels;
  friend bool operator==(const CursorShape&, const CursorShape&) = default;
};

// One captured image, owned by whoever receives it. `pixels` holds
// width × height × 4 bytes, B, G, R, A, rows top-down without gaps (the fourth
// byte means nothing); it is empty in a pointer-only update, which carries no
// dirty rectangles either. A frame with pixels carries at least one rectangle,
// each inside the image.
struct CapturedFrame {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<Rect> dirty_rects;
  Point cursor_pos;
  bool cursor_visible = false;
  std::optional<CursorShape> cursor_shape;  // only when a new shape came with this frame
};

}  // namespace halvorine
