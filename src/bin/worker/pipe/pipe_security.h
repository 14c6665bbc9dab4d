// The access list both pipes are created with, and how it is decided.
//
// Three principals: the local system account and the built-in Administrators
// with full access, and the user logged on to the worker's own session (or
// the Interactive Users when that user cannot be determined) with read and
// write only. Full access would let any process of that user add instances
// of the worker's pipe names (and catch the GUI's next connection) or
// rewrite the list itself. Built once per pipe server when its task starts;
// never rebuilt for a later logon.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/logger.h"

namespace halvorine {

// The session user's rights: FILE_GENERIC_READ | FILE_GENERIC_WRITE
// (0x12019f), so that a GUI opening with GENERIC_READ | GENERIC_WRITE, the
// usual idiom, is let in; no WRITE_DAC, WRITE_OWNER or DELETE. For a pipe,
// FILE_GENERIC_WRITE holds FILE_APPEND_DATA, which is also
// FILE_CREATE_PIPE_INSTANCE: a same-user process may add an instance of the
// name. The GUI's check of the server answers that for the GUI, and the
// secure desktop takes input only from a GUI installed beside the worker
// (client_trust.h) for the worker.
inline constexpr std::string_view kPipeUserRights = "0x12019f";

// A security descriptor made by PipeSecurityPlatform::make_descriptor. It
// owns the platform's descriptor and whatever structure points at it, and it
// never moves (it lives on the heap), so pipe creation may keep pointers to
// it while it lives. Only the pipe backend of the same platform reads it.
class PipeSecurity {
 public:
  PipeSecurity() = default;
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;
  virtual ~PipeSecurity() = default;

  // The SDDL text the descriptor was made from.
  virtual const std::string& sddl() const = 0;
};

// The session and descriptor calls build_pipe_security needs. Synchronous;
// called from the runtime's thread.
class PipeSecurityPlatform {
 public:
  virtual ~PipeSecurityPlatform() = default;

  // The string SID ("S-1-5-21-…") of the user logged on to the worker's own
  // session; nullopt when any step of finding it fails.
  virtual std::optional<std::string> session_user_sid() = 0;

  // Converts `sddl` into a descriptor; nullptr when the conversion fails.
  virtual std::unique_ptr<PipeSecurity> make_descriptor(const std::string& sddl) = 0;
};

// The real platform: WTS and token calls on Windows; on Linux the user who
// owns the X display, and only when the worker runs as root.
std::unique_ptr<PipeSecurityPlatform> make_pipe_security_platform();

// Decides the SDDL, converts it and logs the outcome. nullptr means "not
// available": the caller logs its own warning and uses default security.
std::unique_ptr<PipeSecurity> build_pipe_security(PipeSecurityPlatform& platform, Logger& log);

}  // namespace halvorine
