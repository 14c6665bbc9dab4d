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

#include "bin/worker/inject/session_api.h"
#include "common/clock.h"
#include "common/logger.h"
#include "desktop/desktop_api.h"
#include "desktop/desktop_attachment.h"

namespace halvorine {

// True for a name of exactly 8 bytes equal to "Winlogon" in any ASCII case.
bool is_winlogon_desktop(std::string_view name);

// "Some(\"name\")" with the name escaped as a debug string, or "None".
std::string debug_desktop_name(const std::optional<std::string>& name);

// The injection thread's desktop and identity. The four references outlive
// the object.
class InputDesktop {
 public:
  InputDesktop(DesktopApi& desktops, SessionApi& sessions, Logger& log, const Clock& clock)
      : desktops_(desktops), sessions_(sessions), log_(log), clock_(clock) {}

  // Called before every event: reattaches when the input desktop has changed,
  // otherwise retries a missing impersonation at most once per second.
  void ensure();

  // Back to SYSTEM: reverts and closes the token if any impersonation is in force.
  void revert_impersonation();

  // Runs `work` as SYSTEM: an impersonation in force is ended for it and
  // taken up again afterwards. Refused that, the thread stays SYSTEM and the
  // next ensure() tries again.
  template <typename Work>
  void as_system(Work&& work) {
    const bool resume = impersonating_ && token_;
    if (resume) sessions_.revert_to_self();
    work();
    if (resume && !sessions_.impersonate(*token_)) revert_impersonation();
  }

  bool impersonating() const { return impersonating_; }
  const std::optional<std::string>& attached_name() const { return attachment_.name(); }

 private:
  // Impersonates the first active session's user (else the first
  // disconnected one's) unless `name` is the Winlogon desktop; logs which
  // identity results.
  void impersonate_session_user(const std::optional<std::string>& name);
  // On the attached desktop as SYSTEM: the user is taken up again, at most
  // once per second.
  void retry_impersonation(const std::string& name);

  DesktopApi& desktops_;
  SessionApi& sessions_;
  Logger& log_;
  const Clock& clock_;
  DesktopAttachment attachment_;
  std::unique_ptr<UserToken> token_;  // held while impersonating
  bool impersonating_ = false;
  bool open_failure_reported_ = false;
  // Whether an attach failure has been reported since the last attach, and
  // on which name: the same failure is written once per name, also when the
  // name cannot be read.
  bool attach_failure_reported_ = false;
  std::optional<std::string> attach_failure_name_;
  std::optional<Clock::MonotonicTime> last_retry_;
  // The last attach attempt that will repeat on every event unless held
  // back: SetThreadDesktop refused, or a desktop whose name cannot be read.
  // The same condition is attempted again (sessions enumerated, messages
  // written) at most once per second; any other desktop is attempted at once.
  struct RepeatingAttach {
    std::optional<std::string> name;
    Clock::MonotonicTime at;
  };
  std::optional<RepeatingAttach> repeating_attach_;
};

}  // namespace halvorine
