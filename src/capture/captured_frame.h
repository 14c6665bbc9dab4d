// The records screen capture hands out: one captured image with its changed
// regions and the pointer state that came with it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/rect.h"

namespace halvorine {

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

// One captured image. `pixels` is the duplicator's own image of the screen,
// width × height × 4 bytes, B, G, R, A, rows top-down without gaps (the fourth
// byte means nothing), valid until the duplicator's next capture or its end:
// the duplicator keeps it and brings only the changed rectangles up to date,
// so a capture costs what changed. It is empty in a pointer-only update,
// which carries no dirty rectangles either. A frame with pixels carries at
// least one rectangle, each inside the image.
struct CapturedFrame {
  std::span<const std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<Rect> dirty_rects;
  Point cursor_pos;
  bool cursor_visible = false;
  std::optional<CursorShape> cursor_shape;  // only when a new shape came with this frame
};

}  // namespace halvorine
