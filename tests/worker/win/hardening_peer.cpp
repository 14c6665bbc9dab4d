// Test peer for the Windows hardening end-to-end test.
//   hardening_peer.exe squat NAME UNTIL_FILE: creates \\.\pipe\NAME before the
//     worker, prints "squatting", holds it until UNTIL_FILE exists (2 min at most)
//   hardening_peer.exe press SECONDS: presses left Shift and the left button,
//     prints "pressed", and stays SECONDS without releasing them
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"press") == 0) {
    INPUT inputs[2]{};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = VK_LSHIFT;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) return 1;
    std::printf("pressed\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    return 0;
  }
  if (argc != 4 || std::wcscmp(argv[1], L"squat") != 0) return 2;
  const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + argv[2];
  const halvorine::UniqueHandle pipe(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                                      PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  if (!pipe) return 1;
  std::printf("squatting\n");
  std::fflush(stdout);
  for (int i = 0; i < 1200 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  return 0;
}
