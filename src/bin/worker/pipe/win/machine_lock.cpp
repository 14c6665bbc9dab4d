#include "bin/worker/pipe/win/machine_lock.h"

#include <sddl.h>

#include <memory>

#include <fmt/format.h>

#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

}  // namespace

MachineLock::~MachineLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

Result<void> MachineLock::acquire(std::string_view name) {
  if (owned_) return {};
  if (!mutex_) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kMachineLockSddl, SDDL_REVISION_1, &raw, nullptr)) {
      return std::unexpected(Error::last_os().context("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
    }
    const std::unique_ptr<void, LocalFreeDeleter> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    // Opens the existing mutex when another worker made it.
    mutex_.reset(CreateMutexW(&attributes, FALSE, kMachineLockName));
    if (!mutex_) return std::unexpected(Error::last_os().context("CreateMutexW Global\\halvorine-worker"));
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
