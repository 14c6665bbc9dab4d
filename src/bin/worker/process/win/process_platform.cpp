#include "bin/worker/process/process_platform.h"
#include "bin/worker/process/spawn_thread.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

class WinProcessPlatform final : public ProcessPlatform {
 public:
  void hide_console() override {
    // A worker without a console passes a null window, which is harmless.
    ShowWindow(GetConsoleWindow(), SW_HIDE);
  }

  bool set_per_monitor_dpi_awareness() override {
    // Fails when anything (a host, a shim, an earlier call) set it first.
    return SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) != FALSE;
  }

  TcbPrivilegeOutcome enable_tcb_privilege() override {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
      return TcbPrivilegeOutcome::token_unavailable;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, L"SeTcbPrivilege", &privileges.Privileges[0].Luid)) {
      return TcbPrivilegeOutcome::lookup_failed;
    }
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    // The call succeeds with ERROR_NOT_ALL_ASSIGNED when the privilege is not
    // held, so the last error decides, whatever the call returned.
    return GetLastError() == ERROR_SUCCESS ? TcbPrivilegeOutcome::enabled
                                           : TcbPrivilegeOutcome::not_held;
  }

  bool spawn_detached_thread(std::move_only_function<void()> body) override {
    return spawn_detached_std_thread(std::move(body));
  }
};

}  // namespace

std::unique_ptr<ProcessPlatform> make_process_platform() {
  return std::make_unique<WinProcessPlatform>();
}

}  // namespace halvorine
