#include "bin/worker/pipe/win/machine_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <fmt/format.h>

#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

// The same list with the default owner, for a worker that does not run as
// SYSTEM (a test, a developer's run) and so may not name SYSTEM as owner.
constexpr wchar_t kDefaultOwnerSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// What is at the lock's name.
struct LockObject {
  bool a_workers = false;  // made by a worker: `mutex` is it
  UniqueHandle mutex;
};

// Whether the object's owner is SYSTEM or Administrators: no user can make
// one of these owners, so anything else (no owner readable included) was
// made by someone else.
bool made_by_a_worker(HANDLE object) {
  PSID owner = nullptr;
  LocalMemory<> descriptor;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      descriptor.put()) != ERROR_SUCCESS) {
    return false;
  }
  return owner != nullptr && IsValidSid(owner) &&
         (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
}

// Makes the mutex, or opens the one a worker made.
Result<LockObject> open_lock_object() {
  for (const wchar_t* sddl : {kMachineLockSddl, kDefaultOwnerSddl}) {
    LocalMemory<> descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr)) {
      return std::unexpected(Error::last_os().context("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    UniqueHandle mutex(CreateMutexW(&attributes, FALSE, kMachineLockName));
    const DWORD error = GetLastError();
    if (!mutex) {
      // Not SYSTEM: may not name SYSTEM as the owner.
      if (error == ERROR_INVALID_OWNER) continue;
      // An object of another type, or a list that keeps SYSTEM out: no worker's.
      if (error == ERROR_INVALID_HANDLE || error == ERROR_ACCESS_DENIED) return LockObject{};
      return std::unexpected(Error::os(static_cast<int>(error)).context("CreateMutexW Global\\halvorine-worker"));
    }
    if (error == ERROR_ALREADY_EXISTS && !made_by_a_worker(mutex.get())) return LockObject{};
    return LockObject{true, std::move(mutex)};
  }
  return std::unexpected(Error::os(ERROR_INVALID_OWNER).context("CreateMutexW Global\\halvorine-worker"));
}

}  // namespace

MachineLock::~MachineLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

Result<void> MachineLock::acquire(std::string_view name) {
  if (owned_) return {};
  if (!mutex_) {
    auto object = open_lock_object();
    if (!object) return std::unexpected(std::move(object.error()));
    if (!object->a_workers) {
      if (log_ && !foreign_told_) {
        log_->log(fmt::format(
            "pipe: Global\\halvorine-worker nu e al unui worker (l-a facut alt proces) - servesc {} fara el", name));
      }
      foreign_told_ = true;
      return {};
    }
    mutex_ = std::move(object->mutex);
  }
  switch (WaitForSingleObject(mutex_.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the worker that held it died: ours now
      owned_ = true;
      return {};
    case WAIT_TIMEOUT:
      // The same words as the Linux worker's lock file gives.
      return std::unexpected(
          Error::message(fmt::format("another worker is serving {} (it holds Global\\halvorine-worker)", name)));
    default:
      return std::unexpected(Error::last_os().context("WaitForSingleObject Global\\halvorine-worker"));
  }
}

}  // namespace halvorine
