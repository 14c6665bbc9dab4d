// One worker per machine: a machine-wide named mutex that the serving worker
// owns for as long as it serves. A second worker (a second service start, an
// update that overlaps) would otherwise serve the same pipes and write the
// same log in parallel.
//
// Any process may create objects in the Global\ namespace, and opening a
// name opens whatever is there, so the name alone proves nothing: a user who
// makes Global\halvorine-worker first (a mutex, or an object of another
// type) must not keep workers from serving. The worker's mutex is owned by
// SYSTEM (a user cannot give an object that owner) and lets only SYSTEM and
// Administrators in. An object of that name owned by anyone but SYSTEM or
// Administrators, of another type, or closed to SYSTEM, is no worker's: the
// worker serves without the lock, says so once per pipe, and tries to take
// the lock again with every instance it makes, in case the object goes.
//
// Ownership belongs to the thread that acquired the mutex (the runtime's)
// and is recursive, so both pipe servers hold it through their own
// MachineLock. A worker that dies leaves it abandoned, which the next one
// takes over.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/logger.h"
#include "common/win/unique_handle.h"

namespace halvorine {

inline constexpr wchar_t kMachineLockName[] = L"Global\\halvorine-worker";
inline constexpr wchar_t kMachineLockSddl[] = L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)";

class MachineLock {
 public:
  // `log` (may be null) outlives the lock.
  explicit MachineLock(Logger* log = nullptr) : log_(log) {}
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  ~MachineLock();

  // Owns the mutex (at once, or fails at once): an error saying that
  // another worker serves pipe `name` while another process owns it, or why
  // the mutex could not be made. Succeeds without owning it when the name is
  // taken by an object no worker made. Call from the runtime's thread only.
  Result<void> acquire(std::string_view name);

 private:
  Logger* log_;
  UniqueHandle mutex_;
  bool owned_ = false;
  bool foreign_told_ = false;
};

}  // namespace halvorine
