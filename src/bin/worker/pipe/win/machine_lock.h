// One worker per machine: a machine-wide named mutex that the serving worker
// owns for as long as it serves. A second worker (a second service start, an
// update that overlaps) would otherwise serve the same pipes and write the
// same log in parallel.
//
// The mutex lives in the Global\ namespace, where only services and
// administrators may create objects, and is created with an access list of
// SYSTEM and Administrators only: no user can open it, let alone hold it to
// keep workers out. Ownership belongs to the thread that acquired it (the
// runtime's) and is recursive, so both pipe servers hold it through their
// own MachineLock. A worker that dies leaves it abandoned, which the next one
// takes over.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/win/unique_handle.h"

namespace halvorine {

inline constexpr wchar_t kMachineLockName[] = L"Global\\halvorine-worker";
inline constexpr wchar_t kMachineLockSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

class MachineLock {
 public:
  MachineLock() = default;
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  ~MachineLock();

  // Owns the mutex (at once, or fails at once): an error saying that
  // another worker serves pipe `name` while another process owns it, or why
  // the mutex could not be made. Call from the runtime's thread only.
  Result<void> acquire(std::string_view name);

 private:
  UniqueHandle mutex_;
  bool owned_ = false;
};

}  // namespace halvorine
