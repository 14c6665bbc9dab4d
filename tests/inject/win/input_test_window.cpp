// Test peer for the Wine end-to-end test: a borderless window over the whole
// screen that takes the foreground and appends what reaches it to a file, one
// line per message, flushed at once:
//   ready
//   key down|up VK EXTENDED SCANCODE          (WM_[SYS]KEYDOWN / WM_[SYS]KEYUP)
//   char UTF16                                 (WM_CHAR: the character the window's layout gives)
//   move X Y                                   (screen position, WM_MOUSEMOVE)
//   button left|right|middle down|up X Y
//   wheel DELTA
//   async control=0|1 lcontrol=0|1 rcontrol=0|1   (GetAsyncKeyState, on F9 down)
// usage: input_test_window.exe OUTPUT_FILE [SECONDS]   (closes itself after SECONDS, default 120)
#include <cstdio>
#include <cstdlib>

#include "common/win/win_sdk.h"

namespace {

std::FILE* g_out = nullptr;

void record(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(g_out, format, args);
  va_end(args);
  std::fputc('\n', g_out);
  std::fflush(g_out);
}

int held(int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0 ? 1 : 0; }

POINT screen_point(HWND window, LPARAM lparam) {
  POINT point{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
  ClientToScreen(window, &point);
  return point;
}

void record_button(HWND window, const char* button, const char* phase, LPARAM lparam) {
  const POINT point = screen_point(window, lparam);
  record("button %s %s %ld %ld", button, phase, point.x, point.y);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
      const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
      record("key %s 0x%02X %d 0x%02X", down ? "down" : "up", static_cast<unsigned>(wparam),
             static_cast<int>((lparam >> 24) & 1), static_cast<unsigned>((lparam >> 16) & 0xFF));
      if (down && wparam == VK_F9) {
        record("async control=%d lcontrol=%d rcontrol=%d", held(VK_CONTROL), held(VK_LCONTROL), held(VK_RCONTROL));
      }
      return 0;  // also keeps Alt/F10 from entering menu mode
    }
    case WM_CHAR:
      record("char 0x%04X", static_cast<unsigned>(wparam));
      return 0;
    case WM_MOUSEMOVE: {
      const POINT point = screen_point(window, lparam);
      record("move %ld %ld", point.x, point.y);
      return 0;
    }
    case WM_LBUTTONDOWN: record_button(window, "left", "down", lparam); return 0;
    case WM_LBUTTONUP: record_button(window, "left", "up", lparam); return 0;
    case WM_RBUTTONDOWN: record_button(window, "right", "down", lparam); return 0;
    case WM_RBUTTONUP: record_button(window, "right", "up", lparam); return 0;
    case WM_MBUTTONDOWN: record_button(window, "middle", "down", lparam); return 0;
    case WM_MBUTTONUP: record_button(window, "middle", "up", lparam); return 0;
    case WM_MOUSEWHEEL:
      record("wheel %d", static_cast<int>(GET_WHEEL_DELTA_WPARAM(wparam)));
      return 0;
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
  if (argc < 2) {
    std::fprintf(stderr, "usage: input_test_window OUTPUT_FILE [SECONDS]\n");
    return 2;
  }
  g_out = std::fopen(argv[1], "wb");  // LF line ends for the test script
  if (!g_out) return 1;
  const UINT seconds = argc > 2 ? static_cast<UINT>(std::atoi(argv[2])) : 120;

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = L"HalvorineInputTestWindow";
  RegisterClassW(&window_class);
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, window_class.lpszClassName, L"input test", WS_POPUP | WS_VISIBLE, 0,
                                0, width, height, nullptr, nullptr, window_class.hInstance, nullptr);
  if (!window) return 1;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  SetForegroundWindow(window);
  SetActiveWindow(window);
  SetFocus(window);
  SetTimer(window, 1, seconds * 1000, nullptr);
  record("ready %d %d", width, height);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  std::fclose(g_out);
  return 0;
}
