// The seam to the platform's secure attention sequence: the Ctrl+Alt+Del that
// Windows itself answers (logon, the security screen). Windows ignores one
// made of injected key records, so the worker asks for it with SendSAS from
// sas.dll. X has no such sequence: the Linux backend has no SecureAttention.
//
// Used by the injection thread only, and only while it runs as the worker's
// own identity (SYSTEM): never while impersonating a session user.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace halvorine {

class SecureAttention {
 public:
  virtual ~SecureAttention() = default;
  // Makes send() usable: loads what it needs on the first call and keeps it.
  // An error says why the sequence cannot be had on this machine.
  virtual Result<void> load() = 0;
  // The machine policy SoftwareSASGeneration (0 when absent or unreadable);
  // 1 and 3 let services generate the sequence.
  virtual std::uint32_t software_sas_generation() = 0;
  // SendSAS(FALSE): the sequence as a service asks for it. Only after a
  // successful load().
  virtual void send() = 0;
};

}  // namespace halvorine
