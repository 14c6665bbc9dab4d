// Deterministic desktop-like BGRA test pictures: a wallpaper gradient, a
// taskbar, overlapping windows with title bars, rows of glyph-like text and
// coloured icons. Shared by the encoder tests, the test-frame writer and the
// benchmarks.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvorine::testing {

class DesktopPainter {
 public:
  DesktopPainter(std::span<std::uint8_t> bgra, std::uint32_t width, std::uint32_t height)
      : bgra_(bgra), width_(width), height_(height) {
    std::uint32_t state = 0x9E3779B9U;
    for (auto& glyph : glyphs_) {
      for (auto& row : glyph) {
        state = next(state);
        row = static_cast<std::uint8_t>(state >> 24) & 0x1F;
      }
    }
  }

  // The whole desktop. `scroll` moves the text inside the windows and the
  // wallpaper, so two values differ in nearly every pixel.
  void paint(std::uint32_t scroll = 0) {
    for (std::uint32_t y = 0; y < height_; ++y) {
      for (std::uint32_t x = 0; x < width_; ++x) {
        const std::uint32_t t = (x + 2 * (y + scroll)) % 1024;
        put(x, y, static_cast<std::uint8_t>(90 + t / 8), static_cast<std::uint8_t>(60 + t / 16),
            static_cast<std::uint8_t>(30 + t / 32));
      }
    }
    fill(0, height_ - std::min(height_, 40U), width_, 40, 32, 32, 40);  // taskbar
    for (std::uint32_t i = 0; i < 8; ++i) {                             // icons on the left
      fill(16, 16 + i * 72, 48, 48, static_cast<std::uint8_t>(40 * i), 160,
           static_cast<std::uint8_t>(255 - 30 * i));
    }
    window(width_ / 10, height_ / 8, width_ / 2, height_ / 2, scroll, 1);
    window(width_ / 3, height_ / 3, width_ / 2, height_ / 2, scroll, 7);
  }

  // A few words typed into the front window: a small region that differs
  // from frame to frame.
  void type_line(std::uint32_t frame) {
    const std::uint32_t x0 = width_ / 3 + 12;
    const std::uint32_t y0 = height_ / 3 + 40;
    const std::uint32_t chars = std::min<std::uint32_t>(40, width_ / 16);
    fill(x0, y0, chars * 7, 12, 255, 255, 255);
    text(x0, y0 + 1, chars, frame * 31 + 5);
  }

 private:
  static std::uint32_t next(std::uint32_t s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }

  void put(std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    if (x >= width_ || y >= height_) return;
    std::uint8_t* p = bgra_.data() + (std::size_t{y} * width_ + x) * 4;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 255;
  }

  void fill(std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, std::uint8_t r,
            std::uint8_t g, std::uint8_t b) {
    for (std::uint32_t y = y0; y < y0 + h && y < height_; ++y) {
      for (std::uint32_t x = x0; x < x0 + w && x < width_; ++x) put(x, y, r, g, b);
    }
  }

  // `count` glyphs of 5×7 dots in 7-pixel cells, dark grey with lighter
  // edges as anti-aliased text has.
  void text(std::uint32_t x0, std::uint32_t y0, std::uint32_t count, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761U + 1;
    for (std::uint32_t c = 0; c < count; ++c) {
      state = next(state);
      if ((state & 7) == 0) continue;  // a space
      const auto& glyph = glyphs_[(state >> 8) % glyphs_.size()];
      for (std::uint32_t gy = 0; gy < 7; ++gy) {
        for (std::uint32_t gx = 0; gx < 5; ++gx) {
          if (glyph[gy] & (1U << gx)) {
            put(x0 + c * 7 + gx, y0 + gy + 2, 30, 30, 36);
            put(x0 + c * 7 + gx + 1, y0 + gy + 2, 150, 150, 160);
          }
        }
      }
    }
  }

  void window(std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
              std::uint32_t scroll, std::uint32_t seed) {
    if (w < 64 || h < 64 || x0 == 0 || y0 == 0) return;  // no room on tiny pictures
    fill(x0 - 1, y0 - 1, w + 2, h + 2, 90, 90, 90);      // border
    fill(x0, y0, w, 28, 0, 84, 166);                     // title bar
    fill(x0 + 8, y0 + 8, w / 3, 12, 230, 235, 245);      // title
    fill(x0, y0 + 28, w, h - 28, 255, 255, 255);         // client area
    const std::uint32_t lines = (h - 40) / 14;
    for (std::uint32_t line = 0; line < lines; ++line) {
      text(x0 + 12, y0 + 34 + line * 14, (w - 24) / 7, seed * 1000 + line + scroll);
    }
  }

  std::span<std::uint8_t> bgra_;
  std::uint32_t width_;
  std::uint32_t height_;
  std::array<std::array<std::uint8_t, 7>, 64> glyphs_{};
};

}  // namespace halvorine::testing
