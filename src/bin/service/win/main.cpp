// halvorine-service: keeps halvorine-worker.exe (from the same folder)
// running as SYSTEM in the active console session.
//   halvorine-service install     registers the service HalvorineWorker
//   halvorine-service uninstall   stops and removes it
//   halvorine-service run         the service itself (the service control manager starts it)
#include <cstdio>
#include <cwchar>

#include "bin/service/win/service_install.h"
#include "bin/service/win/service_runner.h"

int wmain(int argc, wchar_t** argv) {
  using namespace halvorine;
  if (argc == 2 && std::wcscmp(argv[1], L"install") == 0) return install_service();
  if (argc == 2 && std::wcscmp(argv[1], L"uninstall") == 0) return uninstall_service();
  if (argc == 2 && std::wcscmp(argv[1], L"run") == 0) return run_service();
  std::fputs(
      "usage: halvorine-service install | uninstall | run\n"
      "  install    registers the service HalvorineWorker (as an administrator)\n"
      "  uninstall  stops and removes it (as an administrator)\n"
      "  run        the service itself, started by the service control manager\n",
      stderr);
  return kCommandUsage;
}
