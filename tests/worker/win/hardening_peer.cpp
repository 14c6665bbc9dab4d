// Test peer for the Windows hardening end-to-end test; each command prints
// one line once in place, and holds for at most two minutes:
//   squat NAME UNTIL_FILE: creates \\.\pipe\NAME before the worker ("squatting")
//   lock mutex|event UNTIL_FILE: creates Global\halvorine-worker as an ordinary
//     process would ("locking")
//   hold FILE UNTIL_FILE: opens FILE sharing read and write, not delete ("holding")
//   press SECONDS: presses left Shift and the left button and stays ("pressed")
//   flood SECONDS: opens and closes the input pipe as fast as it can, then
//     prints "connections N"
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace {

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

void wait_for_file(const wchar_t* path) {
  for (int i = 0; i < 1200 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using halvorine::UniqueHandle;
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (argc == 3 && command == L"press") {
    INPUT inputs[2]{};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = VK_LSHIFT;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) return 1;
    say("pressed");
    Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    return 0;
  }
  if (argc == 3 && command == L"flood") {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(_wtoi(argv[2])) * 1000;
    unsigned long connections = 0;
    while (GetTickCount64() < end) {
      const UniqueHandle pipe(CreateFileW(L"\\\\.\\pipe\\halvorine-input", GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
      if (pipe) {
        ++connections;
      } else {
        WaitNamedPipeW(L"\\\\.\\pipe\\halvorine-input", 100);
      }
    }
    std::printf("connections %lu\n", connections);
    return 0;
  }
  if (argc != 4) return 2;
  UniqueHandle held;
  if (command == L"squat") {
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + argv[2];
    held.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                4096, 4096, 0, nullptr));
    if (held) say("squatting");
  } else if (command == L"lock") {
    const bool mutex = std::wcscmp(argv[2], L"mutex") == 0;
    held.reset(mutex ? CreateMutexW(nullptr, TRUE, L"Global\\halvorine-worker")
                     : CreateEventW(nullptr, TRUE, FALSE, L"Global\\halvorine-worker"));
    if (held) say("locking");
  } else if (command == L"hold") {
    held.reset(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr));
    if (held) say("holding");
  }
  if (!held) return 1;
  wait_for_file(argv[3]);
  return 0;
}
