// Screen geometry shared by capture (changed regions) and encoding (what to
// convert again).
#pragma once

#include <cstdint>

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

}  // namespace halvorine
