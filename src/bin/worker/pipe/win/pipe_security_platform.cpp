// The session user's SID through the terminal-services token of the worker's
// own session (needs SeTcbPrivilege), and SDDL conversion.
#include "common/win/win_sdk.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "bin/worker/pipe/pipe_security.h"
#include "bin/worker/pipe/win/win_pipe_security.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"

namespace halvorine {

// The session user's entry: what GENERIC_READ | GENERIC_WRITE map to on a
// pipe, without WRITE_DAC, WRITE_OWNER or DELETE.
static_assert((FILE_GENERIC_READ | FILE_GENERIC_WRITE) == 0x12019f);
static_assert(((FILE_GENERIC_READ | FILE_GENERIC_WRITE) & (WRITE_DAC | WRITE_OWNER | DELETE)) == 0);

WinPipeSecurity::WinPipeSecurity(std::string sddl, LocalMemory<> descriptor)
    : sddl_(std::move(sddl)), descriptor_(std::move(descriptor)), attributes_{} {
  attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes_.lpSecurityDescriptor = descriptor_.get();
  attributes_.bInheritHandle = FALSE;
}

std::unique_ptr<WinPipeSecurity> WinPipeSecurity::convert(const std::string& sddl) {
  const std::u16string wide = utf8_to_utf16(sddl);
  LocalMemory<> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          reinterpret_cast<const wchar_t*>(wide.c_str()), SDDL_REVISION_1, descriptor.put(), nullptr)) {
    return nullptr;
  }
  return std::unique_ptr<WinPipeSecurity>(new WinPipeSecurity(sddl, std::move(descriptor)));
}

namespace {

class WinPipeSecurityPlatform final : public PipeSecurityPlatform {
 public:
  std::optional<std::string> session_user_sid() override {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return std::nullopt;
    UniqueHandle token;
    if (!WTSQueryUserToken(session, token.put())) return std::nullopt;
    DWORD size = 0;
    // Expected to fail for the missing buffer; only the size matters.
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    const BOOL fetched = GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size);
    token.reset();
    if (!fetched || size == 0) return std::nullopt;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    LocalMemory<wchar_t*> text;
    if (!ConvertSidToStringSidW(user->User.Sid, text.put())) return std::nullopt;
    return utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(text.get()));
  }

  std::unique_ptr<PipeSecurity> make_descriptor(const std::string& sddl) override {
    return WinPipeSecurity::convert(sddl);
  }
};

}  // namespace

std::unique_ptr<PipeSecurityPlatform> make_pipe_security_platform() {
  return std::make_unique<WinPipeSecurityPlatform>();
}

}  // namespace halvorine
