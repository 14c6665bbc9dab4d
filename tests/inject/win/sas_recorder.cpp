// Test stand-in for the system's sas.dll (Wine's own SendSAS is a stub that
// aborts): appends "SendSAS <argument>" to the file named by
// HALVORINE_TEST_SAS_RECORD for every call. Selected with
// WINEDLLOVERRIDES=sas=n once copied into the prefix's system32.
#include "common/win/win_sdk.h"

extern "C" __declspec(dllexport) VOID WINAPI SendSAS(BOOL as_user) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"HALVORINE_TEST_SAS_RECORD", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[] = "SendSAS 0\n";
  line[8] = static_cast<char>('0' + (as_user != FALSE));
  DWORD written = 0;
  WriteFile(file, line, sizeof(line) - 1, &written, nullptr);
  CloseHandle(file);
}
