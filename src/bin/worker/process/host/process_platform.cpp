// Console hiding and DPI awareness mean nothing here; the privilege that lets
// the worker act for every session is root.
#include <unistd.h>

#include "bin/worker/process/process_platform.h"
#include "bin/worker/process/spawn_thread.h"

namespace halvorine {
namespace {

class HostProcessPlatform final : public ProcessPlatform {
 public:
  void hide_console() override {}
  bool set_per_monitor_dpi_awareness() override { return true; }
  TcbPrivilegeOutcome enable_tcb_privilege() override {
    return geteuid() == 0 ? TcbPrivilegeOutcome::enabled : TcbPrivilegeOutcome::not_held;
  }
  bool spawn_detached_thread(std::move_only_function<void()> body) override {
    return spawn_detached_std_thread(std::move(body));
  }
};

}  // namespace

std::unique_ptr<ProcessPlatform> make_process_platform() {
  return std::make_unique<HostProcessPlatform>();
}

}  // namespace halvorine
