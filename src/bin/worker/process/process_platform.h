// What the worker's start-up asks of the operating system: hide the console,
// per-monitor DPI awareness, SeTcbPrivilege and detached threads.
#pragma once

#include <functional>
#include <memory>

namespace halvorine {

enum class TcbPrivilegeOutcome {
  enabled,             // AdjustTokenPrivileges left no error
  not_held,            // e.g. ERROR_NOT_ALL_ASSIGNED: not running as SYSTEM
  token_unavailable,   // OpenProcessToken failed
  lookup_failed,       // LookupPrivilegeValueW failed
};

class ProcessPlatform {
 public:
  virtual ~ProcessPlatform() = default;
  virtual void hide_console() = 0;
  // True when the call set the awareness, false when it was already set.
  virtual bool set_per_monitor_dpi_awareness() = 0;
  virtual TcbPrivilegeOutcome enable_tcb_privilege() = 0;
  // Starts `body` on a new detached thread; false when the system refuses.
  virtual bool spawn_detached_thread(std::move_only_function<void()> body) = 0;
};

std::unique_ptr<ProcessPlatform> make_process_platform();

}  // namespace halvorine
