// Test peer for the Windows hardening end-to-end test.
//   hardening_peer.exe squat NAME UNTIL_FILE: creates \\.\pipe\NAME before the
//     worker, prints "squatting", holds it until UNTIL_FILE exists (2 min at most)
//   hardening_peer.exe lock mutex|event UNTIL_FILE: makes Global\halvorine-worker
//     as an ordinary process would, prints "locking", holds it likewise
//   hardening_peer.exe hold FILE UNTIL_FILE: opens FILE sharing read and write,
//     not delete, prints "holding", holds it likewise
//   hardening_peer.exe press SECONDS: presses left Shift and the left button,
//     prints "pressed", and stays SECONDS without releasing them
//   hardening_peer.exe flood SECONDS: opens and closes the input pipe as fast
//     as it can, then prints "connections N"
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
  if (argc == 3 && std::wcscmp(argv[1], L"flood") == 0) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(_wtoi(argv[2])) * 1000;
    unsigned long connections = 0;
    for (const wchar_t* pipe = L"\\\\.\\pipe\\halvorine-input"; GetTickCount64() < end;) {
      const halvorine::UniqueHandle client(
          CreateFileW(pipe, GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      if (client) ++connections; else WaitNamedPipeW(pipe, 100);
    }
    std::printf("connections %lu\n", connections);
    return 0;
  }
  if (argc != 4) return 2;
  const std::wstring command = argv[1], path = std::wstring(L"\\\\.\\pipe\\") + argv[2];
  halvorine::UniqueHandle held;
  if (command == L"squat") {
    held.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                4096, 4096, 0, nullptr));
  } else if (command == L"lock") {
    held.reset(std::wcscmp(argv[2], L"mutex") == 0 ? CreateMutexW(nullptr, TRUE, L"Global\\halvorine-worker")
                                                   : CreateEventW(nullptr, TRUE, FALSE, L"Global\\halvorine-worker"));
  } else if (command == L"hold") {
    held.reset(
        CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  if (!held) return 1;
  std::printf("%s\n", command == L"squat" ? "squatting" : command == L"lock" ? "locking" : "holding");
  std::fflush(stdout);
  for (int i = 0; i < 1200 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  return 0;
}
