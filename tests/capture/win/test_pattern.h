// The pattern the Windows capture tests paint and look for: 16 x 16 blocks,
// each of its own colour, so a shifted, cropped or channel-swapped capture
// never matches by accident. `variant` changes every block's colour. And a
// window that shows it.
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

// A borderless topmost window over `area` showing the pattern, painted again
// whenever the window system asks. Messages go through the creating thread.
class PatternWindow {
 public:
  explicit PatternWindow(RECT area) : width_(area.right - area.left), height_(area.bottom - area.top) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &PatternWindow::procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"HalvorinePatternWindow";
    RegisterClassW(&window_class);  // fails harmlessly when already registered
    window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, window_class.lpszClassName, L"pattern", WS_POPUP,
                              area.left, area.top, width_, height_, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window_ == nullptr) return;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ShowWindow(window_, SW_SHOWNORMAL);
    repaint(0);
  }
  ~PatternWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  PatternWindow(const PatternWindow&) = delete;
  PatternWindow& operator=(const PatternWindow&) = delete;

  explicit operator bool() const { return window_ != nullptr; }
  HWND handle() const { return window_; }

  // Shows `variant` now: painted, the window system let settle (queued paints
  // and moves of a new window), painted again.
  void repaint(int variant) {
    variant_ = variant;
    for (int pass = 0; pass < 2; ++pass) {
      InvalidateRect(window_, nullptr, FALSE);
      UpdateWindow(window_);
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
  }

 private:
  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    const auto* self = reinterpret_cast<const PatternWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_ERASEBKGND) return 1;  // the pattern covers everything
    if (message != WM_PAINT || self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    PAINTSTRUCT paint;
    paint_pattern(BeginPaint(window, &paint), self->width_, self->height_, self->variant_);
    EndPaint(window, &paint);
    GdiFlush();
    return 0;
  }

  int width_;
  int height_;
  int variant_ = 0;
  HWND window_ = nullptr;
};

}  // namespace halvorine::testing
