#include <aclapi.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/utf16.h"
#include "common/win/log_folder.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"
#include "common/worker_log.h"

namespace halvorine {
namespace {

// FILE_GENERIC_WRITE without FILE_WRITE_DATA: append-only, so every write
// lands at the end of the file whoever else appends. FILE_READ_ATTRIBUTES
// (0x80) on top, to see what was opened before writing to it.
constexpr DWORD kAppendOnlyAccess = 0x120114 | FILE_READ_ATTRIBUTES;

// Whether the object at `path` is what the log may write into: a regular
// file (no directory, reparse point or device) with one name, owned by a
// trusted account. Reads its size when it is.
bool is_log_file(HANDLE handle, std::uint64_t* size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotAFile) != 0 || info.nNumberOfLinks != 1) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = is_trusted_owner(owner);
  LocalFree(descriptor);
  if (trusted && size) *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return trusted;
}

// True when something is at `path` that the log may not write into (as
// opposed to nothing, or a file of ours that is merely busy).
bool is_planted(const std::filesystem::path& path) {
  // The object itself, whatever kind; never through a reparse point.
  const UniqueHandle object(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return object && !is_log_file(object.get(), nullptr);
}

// The log file, opened without following a reparse point (a link or a
// junction put in its place is opened as itself and refused). Only a regular
// file with one name, owned by a trusted account, is written to; what else
// is there is moved aside when `move_aside` is given, and the file made anew.
UniqueHandle open_log_file(const std::filesystem::path& file, std::uint64_t* size, const MoveAside* move_aside) {
  for (int round = 0; round < 2; ++round) {
    UniqueHandle handle(CreateFileW(file.c_str(), kAppendOnlyAccess,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (handle && is_log_file(handle.get(), size)) return handle;
    handle.reset();
    if (!move_aside || round > 0 || !is_planted(file) || !(*move_aside)(file)) break;
  }
  return UniqueHandle();
}

// Moves the full log to .1. What is at .1 and is not a file of ours is moved
// aside first; a file of ours that cannot be replaced (held open without
// delete sharing, read-only) is moved aside after a first failure.
bool rotate_log_file(const std::filesystem::path& directory, const MoveAside* move_aside) {
  const std::filesystem::path file = directory / kLogFileName;
  const std::filesystem::path rotated = directory / kRotatedLogFileName;
  // A rename moves a reparse point at either name, never its target.
  if (move_aside && is_planted(rotated)) (*move_aside)(rotated);
  if (MoveFileExW(file.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  return move_aside && GetFileAttributesW(rotated.c_str()) != INVALID_FILE_ATTRIBUTES && (*move_aside)(rotated) &&
         MoveFileExW(file.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Whether a rotation may be tried now: at once without upkeep, else at most
// once a second after a failure (each try costs renames and opens).
bool rotation_due(const LogUpkeep* upkeep) {
  if (!upkeep || !upkeep->rotation_failed_at) return true;
  const auto last = *upkeep->rotation_failed_at;
  return upkeep->now < last || upkeep->now - last >= std::chrono::seconds(1);
}

}  // namespace

std::filesystem::path program_data_directory() {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(L"PROGRAMDATA", buffer, 32768);
  if (length > 0 && length < 32768) {
    const std::u16string_view units(reinterpret_cast<const char16_t*>(buffer), length);
    const std::string text = utf16_to_utf8_lossy(units);
    // Not valid Unicode (an unpaired surrogate) means the default directory.
    if (utf8_to_utf16(text) == units) return std::filesystem::path(std::wstring(buffer, length));
  }
  return std::filesystem::path(L"C:\\ProgramData");
}

bool append_to_log_file(const std::filesystem::path& directory, std::string_view line,
                        std::uint64_t rotate_at, LogUpkeep* upkeep) {
  // The injection thread may be acting for the session user, who may not
  // write into the folder; the log is SYSTEM's.
  const ActAsProcess as_process;
  const MoveAside mover{upkeep ? upkeep->stamp : std::string(), upkeep ? &upkeep->moved : nullptr};
  const MoveAside* move_aside = upkeep ? &mover : nullptr;
  const UniqueHandle folder = open_trusted_log_folder(directory, move_aside);
  if (!folder) return false;
  const std::filesystem::path file = directory / kLogFileName;
  std::uint64_t size = 0;
  UniqueHandle handle = open_log_file(file, &size, move_aside);
  if (!handle) return false;
  if (size >= rotate_at) {
    if (rotation_due(upkeep)) {
      handle.reset();
      const bool rotated = rotate_log_file(directory, move_aside);
      if (upkeep) upkeep->rotation_failed_at = rotated ? std::nullopt : std::optional(upkeep->now);
      handle = open_log_file(file, &size, move_aside);
      if (!handle) return false;
    }
    // Rotation failing: the line goes to the full file, but the file never
    // grows past twice the size.
    if (size / 2 >= rotate_at) return false;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                            nullptr);
  return ok && written == line.size();
}

}  // namespace halvorine
