// Windows: the client's image by QueryFullProcessImageNameW, each entry's
// owner and access list as the object itself carries them (never through a
// link or junction).
#include "common/win/win_sdk.h"

#include <aclapi.h>

#include <vector>

#include "bin/worker/pipe/client_trust.h"
#include "bin/worker/pipe/win/entry_security.h"
#include "common/utf16.h"
#include "common/win/log_folder.h"
#include "common/win/unique_handle.h"

namespace halvorine {
namespace {

// Rights that let the holder change what a path names: delete or rename the
// entry, re-own it, rewrite its list, or remove and replace its children.
constexpr ACCESS_MASK kReplaceRights =
    DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL | MAXIMUM_ALLOWED;
// Rights that let the holder change what it holds: write a file, add a file
// or a folder to a folder.
constexpr ACCESS_MASK kAddRights = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;

// SYSTEM, Administrators and the worker's own user as for the log folder;
// TrustedInstaller, which owns what Windows installs; the owner's own
// rights (the owner is checked on its own).
bool is_trusted_account(PSID sid) {
  if (is_trusted_owner(sid)) return true;
  if (IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) return true;
  // NT SERVICE\TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
  static const std::vector<BYTE> trusted_installer = [] {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID made = nullptr;
    std::vector<BYTE> bytes;
    if (AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464, 0, 0,
                                 &made)) {
      const auto* begin = static_cast<const BYTE*>(made);
      bytes.assign(begin, begin + GetLengthSid(made));
      FreeSid(made);
    }
    return bytes;
  }();
  return !trusted_installer.empty() && EqualSid(sid, const_cast<BYTE*>(trusted_installer.data())) != FALSE;
}

// The rights anyone untrusted holds on the object itself. Entries only
// children inherit are passed over, deny entries too; entry kinds not
// looked into count as every right.
ACCESS_MASK untrusted_rights(const ACL* dacl) {
  if (dacl == nullptr) return ~ACCESS_MASK{0};  // no list: everyone may do anything
  ACCESS_MASK rights = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return ~ACCESS_MASK{0};
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return ~ACCESS_MASK{0};
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (!is_trusted_account(const_cast<DWORD*>(&allowed->SidStart))) rights |= allowed->Mask;
  }
  return rights;
}

Result<std::string> image_of(HANDLE process) {
  std::vector<wchar_t> buffer(32768);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) {
    return std::unexpected(Error::last_os().context("QueryFullProcessImageNameW"));
  }
  return utf16_to_utf8_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()), size));
}

class WinClientTrustPlatform final : public ClientTrustPlatform {
 public:
  bool windows_paths() const override { return true; }

  Result<std::string> worker_image() override { return image_of(GetCurrentProcess()); }

  Result<std::string> process_image(std::uint32_t pid) override {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::unexpected(Error::last_os().context("OpenProcess"));
    return image_of(process.get());
  }

  Result<PathEntrySecurity> entry_security(const std::string& path) override {
    const std::u16string wide = utf8_to_utf16(path);
    const UniqueHandle entry(CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()),
                                         READ_CONTROL | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
    if (!entry) return std::unexpected(Error::last_os().context("CreateFileW"));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(entry.get(), &info)) {
      return std::unexpected(Error::last_os().context("GetFileInformationByHandle"));
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return std::unexpected(Error::message("a link"));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory<> descriptor;
    const DWORD read = GetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                       &dacl, nullptr, descriptor.put());
    if (read != ERROR_SUCCESS) return std::unexpected(Error::os(static_cast<int>(read)).context("GetSecurityInfo"));
    return judge_entry(owner, dacl);
  }
};

}  // namespace

PathEntrySecurity judge_entry(PSID owner, const ACL* dacl) {
  const ACCESS_MASK others = untrusted_rights(dacl);
  return PathEntrySecurity{.trusted_owner = owner != nullptr && is_trusted_account(owner),
                           .others_may_replace = (others & kReplaceRights) != 0,
                           .others_may_add = (others & kAddRights) != 0};
}

std::unique_ptr<ClientTrustPlatform> make_client_trust_platform() {
  return std::make_unique<WinClientTrustPlatform>();
}

}  // namespace halvorine
