#include <cerrno>
#include <string>

#include "common/error.h"
#include "common/unique_resource.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

std::string format_system_message(DWORD code) {
  LocalMemory<wchar_t*> buffer;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
  if (length == 0 || !buffer) return "Unknown error";
  std::string text = utf16_to_utf8_lossy(
      std::u16string_view(reinterpret_cast<const char16_t*>(buffer.get()), length));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string system_error_message(int code) {
  return format_system_message(static_cast<DWORD>(code));
}

std::string hresult_system_message(std::int32_t hr) {
  return format_system_message(static_cast<DWORD>(hr));
}

int last_os_error_code() { return static_cast<int>(GetLastError()); }

KeptErrorCodes::KeptErrorCodes() noexcept : errno_value_(errno), os_error_(GetLastError()) {}

KeptErrorCodes::~KeptErrorCodes() {
  SetLastError(static_cast<DWORD>(os_error_));
  errno = errno_value_;
}

}  // namespace halvorine
