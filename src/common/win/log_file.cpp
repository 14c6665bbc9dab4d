#include <string>

#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"
#include "common/worker_log.h"

namespace halvorine {

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

bool append_to_log_file(const std::filesystem::path& file, std::string_view line) {
  // FILE_GENERIC_WRITE without FILE_WRITE_DATA: append-only, so every write
  // lands at the end of the file whoever else appends.
  constexpr DWORD kAppendOnlyAccess = 0x120114;
  UniqueHandle handle(CreateFileW(file.c_str(), kAppendOnlyAccess,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr));
  if (!handle) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                            nullptr);
  return ok && written == line.size();
}

}  // namespace halvorine
