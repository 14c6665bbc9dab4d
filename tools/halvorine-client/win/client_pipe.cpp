#include "client_pipe.h"

#include <algorithm>
#include <string>

#include "common/error.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine::client {
namespace {

std::string describe(DWORD code) { return Error::os(static_cast<int>(code)).text(); }

bool runs_as_local_system(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return false;
  UniqueHandle token;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return false;
  // A TOKEN_USER and the SID it points at.
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return false;
  return IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
}

// Why the server of `pipe` is not the privileged worker; empty when it is.
// Session 0 holds only services; elsewhere only LocalSystem will do (a user's
// client usually cannot read a SYSTEM process's token, so session 0 is the
// test that normally decides).
std::string untrusted_server(HANDLE pipe) {
  ULONG pid = 0;
  if (!GetNamedPipeServerProcessId(pipe, &pid)) {
    return "GetNamedPipeServerProcessId: " + describe(GetLastError());
  }
  DWORD session = 0;
  const bool known_session = ProcessIdToSessionId(pid, &session) != FALSE;
  if (known_session && session == 0) return {};
  if (runs_as_local_system(pid)) return {};
  return "the server (process " + std::to_string(pid) + ") runs in session " +
         (known_session ? std::to_string(session) : std::string("?")) +
         ", not in session 0, and not as LocalSystem";
}

class NamedPipeClient final : public ClientPipe {
 public:
  explicit NamedPipeClient(UniqueHandle handle) : handle_(std::move(handle)) {}

  Result<void> write_all(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
      if (!WriteFile(handle_.get(), bytes.data(), chunk, &written, nullptr)) return std::unexpected(Error::last_os());
      if (written == 0) return std::unexpected(Error::os(ERROR_NO_DATA));
      bytes = bytes.subspan(written);
    }
    return {};
  }

  Result<std::size_t> read_some(std::span<std::uint8_t> buffer) override {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 20));
    if (!ReadFile(handle_.get(), buffer.data(), chunk, &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) return 0;
      return std::unexpected(Error::os(static_cast<int>(code)));
    }
    return static_cast<std::size_t>(read);
  }

 private:
  UniqueHandle handle_;
};

}  // namespace

// Opened as a GUI would, for reading and writing: the session user's entry
// on the worker's pipes (0x12019f) grants exactly what these map to.
constexpr DWORD kPipeAccess = GENERIC_READ | GENERIC_WRITE;
static_assert(((FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~DWORD{0x12019f}) == 0);

std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path,
                                                                      ServerCheck check) {
  const std::u16string wide = utf8_to_utf16(path);
  UniqueHandle handle(CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), kPipeAccess, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) {
    const DWORD code = GetLastError();
    const OpenFailure failure = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                                    ? OpenFailure::missing
                                : code == ERROR_ACCESS_DENIED ? OpenFailure::access_refused
                                : code == ERROR_PIPE_BUSY     ? OpenFailure::busy
                                                              : OpenFailure::other;
    return std::unexpected(OpenError{failure, describe(code)});
  }
  if (check == ServerCheck::worker_only) {
    if (std::string why = untrusted_server(handle.get()); !why.empty()) {
      return std::unexpected(OpenError{OpenFailure::untrusted_server, std::move(why)});
    }
  }
  return std::make_unique<NamedPipeClient>(std::move(handle));
}

}  // namespace halvorine::client
