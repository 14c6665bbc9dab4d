// Test peer for screen-capture tests under Wine: a borderless topmost window
// painted with the pattern of test_pattern.h, so a capture can be compared
// pixel by pixel with an independent grab of the X screen. Writes
// "ready X Y W H" to READY_FILE once the pattern is on screen.
// usage: pattern_window.exe READY_FILE X Y WIDTH HEIGHT [SECONDS]   (default 120)
#include <cstdio>
#include <cstdlib>

#include "common/win/win_sdk.h"
#include "test_pattern.h"

namespace {

int g_width = 0;
int g_height = 0;
bool g_painted = false;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      halvorine::testing::paint_pattern(dc, g_width, g_height);
      EndPaint(window, &paint);
      GdiFlush();
      g_painted = true;
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: pattern_window.exe READY_FILE X Y WIDTH HEIGHT [SECONDS]\n");
    return 2;
  }
  const int x = std::atoi(argv[2]);
  const int y = std::atoi(argv[3]);
  g_width = std::atoi(argv[4]);
  g_height = std::atoi(argv[5]);
  const int seconds = argc > 6 ? std::atoi(argv[6]) : 120;

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"HalvorinePatternWindow";
  if (RegisterClassW(&window_class) == 0) return 1;
  HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, window_class.lpszClassName, L"pattern",
                                WS_POPUP, x, y, g_width, g_height, nullptr, nullptr,
                                window_class.hInstance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  SetTimer(window, 1, static_cast<UINT>(seconds) * 1000, nullptr);

  // UpdateWindow has painted synchronously; the pattern is on screen now.
  if (!g_painted) return 1;
  std::FILE* ready = std::fopen(argv[1], "wb");  // no CR: the scripts match whole lines
  if (ready == nullptr) return 1;
  std::fprintf(ready, "ready %d %d %d %d\n", x, y, g_width, g_height);
  std::fclose(ready);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
