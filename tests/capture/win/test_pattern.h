// The pattern the Windows capture tests paint and look for: 16 x 16 blocks,
// each of its own colour, so a shifted, cropped or channel-swapped capture
// never matches by accident. `variant` changes every block's colour.
#pragma once

#include <cstdint>

#include "common/win/win_sdk.h"

namespace halvorine::testing {

constexpr int kPatternBlock = 16;

inline COLORREF pattern_colour(int x, int y, int variant = 0) {
  const int column = x / kPatternBlock;
  const int row = y / kPatternBlock;
  return RGB((column * 37 + 20 + variant * 71) & 0xFF, (row * 53 + 90 + variant * 29) & 0xFF,
             ((column + row) * 29 + 160 + variant * 13) & 0xFF);
}

// Fills a width x height area of `dc` at (0, 0) with the pattern.
inline void paint_pattern(HDC dc, int width, int height, int variant = 0) {
  for (int top = 0; top < height; top += kPatternBlock) {
    for (int left = 0; left < width; left += kPatternBlock) {
      const RECT block{left, top, left + kPatternBlock, top + kPatternBlock};
      HBRUSH brush = CreateSolidBrush(pattern_colour(left, top, variant));
      FillRect(dc, &block, brush);
      DeleteObject(brush);
    }
  }
}

}  // namespace halvorine::testing
