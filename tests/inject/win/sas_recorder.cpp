// sas.dll for the Wine test (Wine's own SendSAS aborts): appends "SendSAS <argument>" to $HALVORINE_TEST_SAS_RECORD.
#include <cstdio>
#include <cstdlib>
#include "common/win/win_sdk.h"

extern "C" __declspec(dllexport) VOID WINAPI SendSAS(BOOL as_user) {
  const char* path = std::getenv("HALVORINE_TEST_SAS_RECORD");
  std::FILE* file = path ? std::fopen(path, "ab") : nullptr;
  if (file) { std::fprintf(file, "SendSAS %d\n", as_user); std::fclose(file); }
}
