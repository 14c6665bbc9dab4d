// The Windows log folder (<program data>\Halvorine) as a SYSTEM service must
// treat it: any user may create folders under the program-data directory,
// so a folder made in advance by someone else, or one that others may write
// into, would let them redirect what SYSTEM writes.
#pragma once

#include <filesystem>

#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {

// Full control for SYSTEM and Administrators, read for Users; protected, so
// nothing is inherited from the program-data directory (whose access list
// lets every user create files). Files created inside inherit it.
inline constexpr wchar_t kLogFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Creates `directory` (and any missing parents) with kLogFolderSddl, or opens
// the existing one. The result keeps the folder from being renamed or deleted
// while it is held. Empty when the folder may not be written into: it is a
// reparse point (link, junction), not a directory, or owned by anyone but
// SYSTEM, Administrators or this process's user. An existing folder of a
// trusted owner whose access list lets others write gets kLogFolderSddl's
// list; if that fails it is refused too.
UniqueHandle open_trusted_log_folder(const std::filesystem::path& directory);

// True when `sid` is SYSTEM, Administrators or this process's user.
bool is_trusted_owner(PSID sid);

enum class LogFolderVerdict {
  use,       // a trusted owner, and only trusted accounts may write
  restrict,  // a trusted owner, but others may write: replace the list first
  refuse,    // someone else's folder
};

// The decision for an existing folder with this owner and access list
// (nullptr: no list, everyone may do anything). Rights that change the
// folder or its contents count as writing; deny entries and entries only
// inherited by children are passed over; entry kinds not looked into
// count as letting others write.
LogFolderVerdict judge_log_folder(PSID owner, const ACL* dacl);

// Drops the calling thread's impersonation for its lifetime and restores it
// afterwards: the log is written as the process (SYSTEM), whoever the
// injection thread is acting for, since the folder lets no user write.
class ActAsProcess {
 public:
  ActAsProcess();
  ~ActAsProcess();
  ActAsProcess(const ActAsProcess&) = delete;
  ActAsProcess& operator=(const ActAsProcess&) = delete;

 private:
  UniqueHandle impersonation_;
};

}  // namespace halvorine
