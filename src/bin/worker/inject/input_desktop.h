// Keeps the injection thread attached to the desktop that receives input and
// chooses its identity: the logged-on session's user on an ordinary desktop,
// SYSTEM on the secure "Winlogon" desktop or when no user is logged on.
//
// Everything here runs on the injection thread; the state is that thread's own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bin/worker/inject/desktop_session_api.h"
#include "common/clock.h"
#include "common/logger.h"
#include "desktop/desktop_name.h"

namespace halvorine {

struct InputDesktopState {
  std::unique_ptr<UserToken> token;  // held while impersonating
  bool impersonating = false;
  OwnedDesktop attached_desktop;  // empty until the first attach
  std::optional<std::string> attached_name;
  // Name of the last desktop whose attach failure was reported; the outer
  // optional is empty until a failure has been reported at all, so a first
  // failure on a desktop whose name cannot be read is still written once.
  std::optional<std::optional<std::string>> failed_name;
  std::optional<Clock::MonotonicTime> last_retry;
  bool open_failure_reported = false;
  // The last attach attempt that will repeat on every event unless held
  // back: SetThreadDesktop refused, or a desktop whose name cannot be read.
  // The same condition is attempted again (sessions enumerated, messages
  // written) at most once per second; any other desktop is attempted at once.
  struct RepeatingAttach {
    std::optional<std::string> name;
    Clock::MonotonicTime at;
  };
  std::optional<RepeatingAttach> repeating_attach;
};

// What the operations below act through. All three outlive the calls.
struct InputDesktopContext {
  DesktopSessionApi& api;
  Logger& log;
  const Clock& clock;
};

// True for a name of exactly 8 bytes equal to "Winlogon" in any ASCII case.
bool is_winlogon_desktop(std::string_view name);

// "Some(\"name\")" with the name escaped as a debug string, or "None".
std::string debug_desktop_name(const std::optional<std::string>& name);

// Back to SYSTEM: reverts and closes the token if any impersonation is in force.
void revert_impersonation(InputDesktopState& state, DesktopSessionApi& api);

// Impersonates the first active session's user (else the first disconnected
// one's) unless `name` is the Winlogon desktop; logs which identity results.
void impersonate_session_user(InputDesktopState& state, const std::optional<std::string>& name,
                              const InputDesktopContext& context);

// Called before every event: reattaches when the input desktop has changed,
// otherwise retries a missing impersonation at most once per second.
void ensure_input_desktop(InputDesktopState& state, const InputDesktopContext& context);

}  // namespace halvorine
