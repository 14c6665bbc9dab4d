// The Windows log folder (<program data>\Halvorine) as a SYSTEM service must
// treat it: any user may create folders under the program-data directory,
// so a folder made in advance by someone else, or one that others may write
// into, would let them redirect what SYSTEM writes.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/error.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {

// Moves what is at `path` aside, working on the object itself, never
// through a link: renamed within its folder to the same name followed by
// ".refuzat-" and `stamp` (YYYYMMDDHHMMSS, local time), with a counter when
// that name is taken. Returns the new path.
Result<std::filesystem::path> move_aside(const std::filesystem::path& path, std::string_view stamp);

// Full control for SYSTEM and Administrators and nothing for anyone else:
// the log records every click, on the secure desktop too (an on-screen
// keyboard there gives a password away). Protected, so nothing is inherited
// from the program-data directory (whose access list lets every user create
// files). Files created inside inherit it.
inline constexpr wchar_t kLogFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Creates `directory` (and any missing parents) with kLogFolderSddl, or opens
// the existing one. The result keeps the folder from being renamed or deleted
// while it is held. An existing folder of a trusted owner whose access list
// lets others in gets kLogFolderSddl's list first. Anything else at the path
// (a reparse point such as a link or junction, not a directory, owned by
// anyone but SYSTEM, Administrators or this process's user) is refused: the
// error says why, and is_planted_folder() tells it from a failure.
Result<UniqueHandle> open_trusted_log_folder(const std::filesystem::path& directory);

// True when something is at `directory` that the log may not use as its
// folder (as opposed to nothing, a folder of ours, or a failure to look).
bool is_planted_folder(const std::filesystem::path& directory);

// True when `sid` is SYSTEM, Administrators or this process's user.
bool is_trusted_owner(PSID sid);

enum class LogFolderVerdict {
  use,       // a trusted owner, and only trusted accounts have access
  restrict,  // a trusted owner, but others have access: replace the list first
  refuse,    // someone else's folder
};

// The decision for an existing folder with this owner and access list
// (nullptr: no list, everyone may do anything). Any right of anyone but
// SYSTEM, Administrators, this process's user, the owner's rights and the
// creator of a file inside (the worker) counts, the entries that only files
// inside inherit included; deny entries are passed over; entry kinds not
// looked into count as letting others in.
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
