#include "common/win/log_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace halvorine {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// Rights that change a folder, its contents or its access list.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                     FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The user this process runs as, read once (it never changes).
const std::vector<BYTE>& process_user() {
  static const std::vector<BYTE> user = [] {
    std::vector<BYTE> buffer;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return buffer;
    const UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) buffer.clear();
    return buffer;
  }();
  return user;
}

LocalMemory folder_descriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return nullptr;
  }
  return LocalMemory(descriptor);
}

// Whether only trusted accounts (and the owner, itself trusted) may write.
// A missing list grants everyone everything; ACE kinds not looked into here
// count as untrusted.
bool only_trusted_may_write(const ACL* dacl) {
  if (dacl == nullptr) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // not for the folder itself
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteRights) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!is_trusted_owner(sid) && !IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) return false;
  }
  return true;
}

// Replaces the folder's access list with kLogFolderSddl's (protected).
bool restrict_folder(const std::filesystem::path& directory) {
  const LocalMemory descriptor = folder_descriptor();
  if (!descriptor) return false;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present) return false;
  const UniqueHandle folder(CreateFileW(directory.c_str(), WRITE_DAC | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return false;
  return SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                         dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool is_trusted_owner(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  const std::vector<BYTE>& user = process_user();
  if (user.empty()) return false;
  const auto* token_user = reinterpret_cast<const TOKEN_USER*>(user.data());
  return EqualSid(sid, token_user->User.Sid) != FALSE;
}

LogFolderVerdict judge_log_folder(PSID owner, const ACL* dacl) {
  if (!is_trusted_owner(owner)) return LogFolderVerdict::refuse;
  return only_trusted_may_write(dacl) ? LogFolderVerdict::use : LogFolderVerdict::restrict;
}

UniqueHandle open_trusted_log_folder(const std::filesystem::path& directory) {
  std::error_code ignored;  // the checks below decide
  std::filesystem::create_directories(directory.parent_path(), ignored);
  {
    const LocalMemory descriptor = folder_descriptor();
    if (!descriptor) return UniqueHandle();
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    if (!CreateDirectoryW(directory.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return UniqueHandle();
    }
  }
  // Without delete sharing: nobody can rename or replace the folder while
  // the line is written. The reparse point itself is opened, never its target.
  UniqueHandle folder(CreateFileW(directory.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return UniqueHandle();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return UniqueHandle();
  }

  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS) {
    return UniqueHandle();
  }
  const LocalMemory descriptor(raw);
  switch (judge_log_folder(owner, dacl)) {
    case LogFolderVerdict::use:
      return folder;
    case LogFolderVerdict::restrict:
      // Ours but open to others (made by hand, or by an older worker under
      // the program-data directory's inherited list): close it to them.
      return restrict_folder(directory) ? std::move(folder) : UniqueHandle();
    case LogFolderVerdict::refuse:
      break;  // what someone else put there stays theirs
  }
  return UniqueHandle();
}

ActAsProcess::ActAsProcess() {
  HANDLE token = nullptr;
  // Open as the process: the impersonated user may not open its own token.
  if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
    impersonation_.reset(token);
    RevertToSelf();
  }
}

ActAsProcess::~ActAsProcess() {
  if (impersonation_) SetThreadToken(nullptr, impersonation_.get());
}

}  // namespace halvorine
