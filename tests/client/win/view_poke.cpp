// Test peer for the view under Wine: finds the view's window and sends it
// what a user's keyboard and mouse would, as window messages (the view must
// not hold the foreground, or the worker's SendInput would come back to it).
// usage: view_poke.exe rect                    prints "client X Y W H" (screen coordinates)
//        view_poke.exe key SCAN EXTENDED down|up
//        view_poke.exe click X Y                left button at client X, Y
//        view_poke.exe close
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/win/win_sdk.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HWND window = nullptr;
  for (int i = 0; i < 200 && !window; ++i) {
    window = FindWindowW(L"HalvorineView", nullptr);
    if (!window) Sleep(50);
  }
  if (!window) {
    std::fprintf(stderr, "view_poke: no view window\n");
    return 1;
  }
  const char* what = argv[1];
  if (std::strcmp(what, "rect") == 0) {
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    std::printf("client %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    return 0;
  }
  if (std::strcmp(what, "key") == 0 && argc == 5) {
    const unsigned scan = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0));
    const bool extended = std::atoi(argv[3]) != 0, down = std::strcmp(argv[4], "down") == 0;
    const UINT vk = MapVirtualKeyW(scan | (extended ? 0xE000u : 0u), MAPVK_VSC_TO_VK_EX);
    const LPARAM lparam = 1 | static_cast<LPARAM>(scan) << 16 | (extended ? 1L << 24 : 0) |
                          (down ? 0 : (1L << 30 | 1UL << 31));
    return PostMessageW(window, down ? WM_KEYDOWN : WM_KEYUP, vk, lparam) ? 0 : 1;
  }
  if (std::strcmp(what, "click") == 0 && argc == 4) {
    const LPARAM at = MAKELPARAM(std::atoi(argv[2]), std::atoi(argv[3]));
    return PostMessageW(window, WM_MOUSEMOVE, 0, at) && PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at) &&
                   PostMessageW(window, WM_LBUTTONUP, 0, at)
               ? 0
               : 1;
  }
  if (std::strcmp(what, "close") == 0) return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  return 2;
}
