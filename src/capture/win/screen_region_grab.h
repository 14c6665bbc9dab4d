// GDI copy of one rectangle of the screen, in the frame layout the capture
// code uses everywhere: B, G, R, A bytes, rows top-down, stride width * 4.
#pragma once

#include <cstdint>
#include <vector>

namespace halvorine {

// Copies the screen rectangle at (x, y) of width x height with BitBlt and
// reads it back with GetDIBits into `pixels`, resized to width * height * 4
// (its capacity is reused). False when the size is not positive, the screen
// DC cannot be had, the copy fails (a desktop switch, a locked screen) or
// GetDIBits reads back fewer lines than the height; `pixels` then holds
// nothing useful. Every GDI object is released on every path.
bool grab_screen_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                        std::vector<std::uint8_t>& pixels);

}  // namespace halvorine
