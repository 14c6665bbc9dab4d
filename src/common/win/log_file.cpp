#include <aclapi.h>

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

// The log file, opened without following a reparse point (a link or a
// junction put in its place is opened as itself and refused). Only a regular
// file with one name, owned by a trusted account, is written to.
UniqueHandle open_log_file(const std::filesystem::path& file, std::uint64_t* size) {
  UniqueHandle handle(CreateFileW(file.c_str(), kAppendOnlyAccess,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return UniqueHandle();
  constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotAFile) != 0 || info.nNumberOfLinks != 1) return UniqueHandle();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return UniqueHandle();
  }
  const bool trusted = is_trusted_owner(owner);
  LocalFree(descriptor);
  if (!trusted) return UniqueHandle();
  *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return handle;
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
                        std::uint64_t rotate_at) {
  // The injection thread may be acting for the session user, who may not
  // write into the folder; the log is SYSTEM's.
  const ActAsProcess as_process;
  const UniqueHandle folder = open_trusted_log_folder(directory);
  if (!folder) return false;
  const std::filesystem::path file = directory / kLogFileName;
  std::uint64_t size = 0;
  UniqueHandle handle = open_log_file(file, &size);
  if (!handle) return false;
  if (size >= rotate_at) {
    handle.reset();
    // A rename moves a reparse point at either name, never its target. If it
    // fails the line still goes to the full file.
    const std::filesystem::path rotated = directory / kRotatedLogFileName;
    MoveFileExW(file.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING);
    handle = open_log_file(file, &size);
    if (!handle) return false;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                            nullptr);
  return ok && written == line.size();
}

}  // namespace halvorine
