#include "client_pipe.h"

#include <algorithm>

#include "common/error.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine::client {
namespace {

std::string describe(DWORD code) { return Error::os(static_cast<int>(code)).text(); }

class NamedPipeClient final : public ClientPipe {
 public:
  explicit NamedPipeClient(UniqueHandle handle) : handle_(std::move(handle)) {}

  bool write_all(std::span<const std::uint8_t> bytes, std::string& detail) override {
    while (!bytes.empty()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
      if (!WriteFile(handle_.get(), bytes.data(), chunk, &written, nullptr) || written == 0) {
        detail = describe(GetLastError());
        return false;
      }
      bytes = bytes.subspan(written);
    }
    return true;
  }

  std::ptrdiff_t read_some(std::span<std::uint8_t> buffer, std::string& detail) override {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 20));
    if (!ReadFile(handle_.get(), buffer.data(), chunk, &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) return 0;
      detail = describe(code);
      return -1;
    }
    return static_cast<std::ptrdiff_t>(read);
  }

 private:
  UniqueHandle handle_;
};

}  // namespace

std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path) {
  const std::u16string wide = utf8_to_utf16(path);
  UniqueHandle handle(CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()),
                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  if (!handle) {
    const DWORD code = GetLastError();
    const OpenFailure failure = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                                    ? OpenFailure::missing
                                : code == ERROR_ACCESS_DENIED ? OpenFailure::access_refused
                                : code == ERROR_PIPE_BUSY     ? OpenFailure::busy
                                                              : OpenFailure::other;
    return std::unexpected(OpenError{failure, describe(code)});
  }
  return std::make_unique<NamedPipeClient>(std::move(handle));
}

}  // namespace halvorine::client
