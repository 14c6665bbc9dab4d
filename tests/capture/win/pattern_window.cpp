// Test peer for screen-capture tests under Wine: a borderless topmost window
// painted with the pattern of test_pattern.h, so a capture can be compared
// pixel by pixel with an independent grab of the X screen. Writes
// "ready X Y W H" to READY_FILE once the pattern is on screen.
// usage: pattern_window.exe READY_FILE X Y WIDTH HEIGHT [SECONDS]   (default 120)
#include <cstdio>
#include <cstdlib>

#include "common/win/win_sdk.h"
#include "test_pattern.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: pattern_window.exe READY_FILE X Y WIDTH HEIGHT [SECONDS]\n");
    return 2;
  }
  const int x = std::atoi(argv[2]), y = std::atoi(argv[3]), width = std::atoi(argv[4]), height = std::atoi(argv[5]);
  const int seconds = argc > 6 ? std::atoi(argv[6]) : 120;
  const halvorine::testing::PatternWindow window(RECT{x, y, x + width, y + height});
  if (!window) return 1;
  SetTimer(window.handle(), 1, static_cast<UINT>(seconds) * 1000, nullptr);
  // The window has painted itself synchronously: the pattern is on screen now.
  std::FILE* ready = std::fopen(argv[1], "wb");  // no CR: the scripts match whole lines
  if (ready == nullptr) return 1;
  std::fprintf(ready, "ready %d %d %d %d\n", x, y, width, height);
  std::fclose(ready);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
