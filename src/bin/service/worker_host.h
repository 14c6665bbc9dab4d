// What the service asks of the system to keep one worker running in the
// active console session: which session that is, and starting, reaping and
// ending the worker. Windows: WTSGetActiveConsoleSessionId and a worker
// started with the service's own token in that session, inside a job object
// (win/console_worker_host.h). Tests: a fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.h"

namespace halvorine {

// Why the service looks at the console again (SERVICE_CONTROL_SESSIONCHANGE).
enum class SessionEvent {
  console_connect,
  console_disconnect,
  remote_connect,
  remote_disconnect,
  logon,
  logoff,
  other,
};

std::string_view session_event_name(SessionEvent event);

// Single-threaded: used by the service's own thread only.
class WorkerHost {
 public:
  virtual ~WorkerHost() = default;

  // The session attached to the physical console; nullopt when there is none
  // (Windows reports 0xFFFFFFFF while the console is being switched).
  virtual std::optional<std::uint32_t> active_console_session() = 0;

  // Starts the worker in `session` and gives its process id. Called only
  // while no worker runs.
  virtual Result<std::uint32_t> start_worker(std::uint32_t session) = 0;

  // The running worker's exit code once it has ended by itself; the host
  // then holds no worker. nullopt while it runs.
  virtual std::optional<std::uint32_t> reap_worker() = 0;

  // Ends the running worker and waits for it; its exit code, or why it is
  // not known. Either way the host holds no worker afterwards.
  virtual Result<std::uint32_t> end_worker() = 0;
};

}  // namespace halvorine
