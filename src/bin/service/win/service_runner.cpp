#include "bin/service/win/service_runner.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>

#include "bin/service/session_follower.h"
#include "bin/service/win/console_worker_host.h"
#include "bin/service/win/service_install.h"
#include "bin/service/win/service_names.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"
#include "common/worker_log.h"

namespace halvorine {
namespace {

// What the service control manager is told a stop may take: ending the
// worker is immediate, its wait bounded at 5 s.
constexpr DWORD kStopWaitHintMs = 10000;

SessionEvent session_event(DWORD type) {
  switch (type) {
    case WTS_CONSOLE_CONNECT: return SessionEvent::console_connect;
    case WTS_CONSOLE_DISCONNECT: return SessionEvent::console_disconnect;
    case WTS_REMOTE_CONNECT: return SessionEvent::remote_connect;
    case WTS_REMOTE_DISCONNECT: return SessionEvent::remote_disconnect;
    case WTS_SESSION_LOGON: return SessionEvent::logon;
    case WTS_SESSION_LOGOFF: return SessionEvent::logoff;
    default: return SessionEvent::other;
  }
}

// Shared by the control handler (the dispatcher's thread) and the service's
// thread: the reported status, and what the handler was told.
class ServiceControl {
 public:
  ServiceControl()
      : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), session_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

  bool ready() {
    std::lock_guard lock(mutex_);
    return stop_ && session_ && status_handle_ != nullptr;
  }
  // A control may come before this: its status report is lost, its event not.
  void set_status_handle(SERVICE_STATUS_HANDLE handle) {
    std::lock_guard lock(mutex_);
    status_handle_ = handle;
  }

  void report(DWORD state, DWORD exit_code = NO_ERROR) {
    std::lock_guard lock(mutex_);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE : 0;
    status.dwWin32ExitCode = exit_code;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++checkpoint_ : 0;
    status.dwWaitHint = pending ? kStopWaitHintMs : 0;
    if (status_handle_ != nullptr) SetServiceStatus(status_handle_, &status);
  }

  DWORD handle(DWORD control, DWORD event_type) {
    switch (control) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN: {
        {
          std::lock_guard lock(mutex_);
          if (!stop_reason_) stop_reason_ = control == SERVICE_CONTROL_SHUTDOWN ? "shutdown" : "stop";
        }
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_.get());
        return NO_ERROR;
      }
      case SERVICE_CONTROL_SESSIONCHANGE: {
        {
          // Each event only makes the service look at the console again:
          // the last one names the reason.
          std::lock_guard lock(mutex_);
          pending_event_ = session_event(event_type);
        }
        SetEvent(session_.get());
        return NO_ERROR;
      }
      case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
      default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
  }

  std::optional<SessionEvent> take_session_event() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_event_, std::nullopt);
  }
  std::string_view stop_reason() {
    std::lock_guard lock(mutex_);
    return stop_reason_.value_or("stop");
  }

  HANDLE stop_event() const { return stop_.get(); }
  HANDLE session_event_handle() const { return session_.get(); }

 private:
  UniqueHandle stop_;
  UniqueHandle session_;  // auto-reset
  std::mutex mutex_;
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;  // under mutex_
  DWORD checkpoint_ = 0;                      // under mutex_
  std::optional<std::string_view> stop_reason_;  // under mutex_
  std::optional<SessionEvent> pending_event_;    // under mutex_
};

DWORD WINAPI control_handler(DWORD control, DWORD event_type, void* /*event_data*/, void* context) {
  return static_cast<ServiceControl*>(context)->handle(control, event_type);
}

void WINAPI service_main(DWORD /*argc*/, wchar_t** /*argv*/) {
  ServiceControl control;
  control.set_status_handle(RegisterServiceCtrlHandlerExW(kServiceName, control_handler, &control));
  if (!control.ready()) return;  // nothing to report to, or no events to wait on
  control.report(SERVICE_START_PENDING);

  const SystemClock clock;
  WorkerLog log(clock, log_directory(), kLogRotationBytes, kServiceLogFileName);
  const auto folder = own_folder();
  if (!folder) {
    log.log("service: cannot find its own folder: " + folder.error().text());
    control.report(SERVICE_STOPPED, ERROR_FILE_NOT_FOUND);
    return;
  }
  ConsoleWorkerHost host(*folder / kWorkerFileName);
  SessionFollower follower(host, log, clock);
  control.report(SERVICE_RUNNING);
  follower.start();

  bool wait_failed_said = false;
  for (;;) {
    const HANDLE waits[3] = {control.stop_event(), control.session_event_handle(), host.worker_process()};
    const DWORD count = waits[2] != nullptr ? 3 : 2;
    const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(follower.wait_time().count()));
    if (waited == WAIT_OBJECT_0) break;
    if (waited == WAIT_FAILED) {
      // Never seen; a wait that fails at once must not spin.
      if (!wait_failed_said) log.log("service: WaitForMultipleObjects: " + Error::last_os().text());
      wait_failed_said = true;
      clock.sleep_for(kConsolePollInterval);
    }
    if (const std::optional<SessionEvent> event = control.take_session_event()) follower.session_changed(*event);
    follower.poll();
  }
  follower.stop(control.stop_reason());
  control.report(SERVICE_STOPPED);
}

}  // namespace

int run_service() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), service_main}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return kCommandDone;
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fputs(
        "halvorine-service: \"run\" is the service itself, started by the service control manager, not by hand.\n"
        "To install the service (as an administrator): halvorine-service install\n"
        "then start it: sc start HalvorineWorker\n",
        stderr);
    return kCommandUsage;
  }
  std::fprintf(stderr, "halvorine-service: StartServiceCtrlDispatcherW: %s\n", Error::last_os().text().c_str());
  return kCommandFailed;
}

}  // namespace halvorine
