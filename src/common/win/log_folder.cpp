#include "common/win/log_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace halvorine {
namespace {

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

LocalMemory<> folder_descriptor() {
  LocalMemory<> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1, descriptor.put(),
                                                            nullptr)) {
    return {};
  }
  return descriptor;
}

// Whether only trusted accounts (and the owner, itself trusted) have any
// access, to the folder or (by inheritance) to the files made inside. A
// missing list grants everyone everything; ACE kinds not looked into here
// count as untrusted.
bool only_trusted_have_access(const ACL* dacl) {
  if (dacl == nullptr) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Mask == 0) continue;
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    // The creator of a file inside is the worker itself.
    if (!is_trusted_owner(sid) && !IsWellKnownSid(sid, WinCreatorOwnerRightsSid) &&
        !IsWellKnownSid(sid, WinCreatorOwnerSid)) {
      return false;
    }
  }
  return true;
}

Result<LocalMemory<>> folder_descriptor_or_error() {
  LocalMemory<> descriptor = folder_descriptor();
  if (!descriptor) {
    return std::unexpected(Error::last_os().context("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
  }
  return descriptor;
}

// Replaces the folder's access list with kLogFolderSddl's (protected).
Result<void> restrict_folder(const std::filesystem::path& directory) {
  auto descriptor = folder_descriptor_or_error();
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor->get(), &present, &dacl, &defaulted) || !present) {
    return std::unexpected(Error::last_os().context("GetSecurityDescriptorDacl"));
  }
  const UniqueHandle folder(CreateFileW(directory.c_str(), WRITE_DAC | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return std::unexpected(Error::last_os().context("CreateFileW"));
  const DWORD set = SetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl, nullptr);
  if (set != ERROR_SUCCESS) return std::unexpected(Error::os(static_cast<int>(set)).context("SetSecurityInfo"));
  return {};
}

// The folder opened as itself (never a reparse point's target), without
// delete sharing: nobody can rename or replace it while it is held.
UniqueHandle open_folder_object(const std::filesystem::path& directory, DWORD access) {
  return UniqueHandle(CreateFileW(directory.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

// A real directory, not a reparse point.
bool is_plain_folder(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
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
  return only_trusted_have_access(dacl) ? LogFolderVerdict::use : LogFolderVerdict::restrict;
}

Result<std::filesystem::path> move_aside(const std::filesystem::path& path, std::string_view stamp) {
  // The object itself, a link or junction included, never what it points to.
  const UniqueHandle object(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!object) return std::unexpected(Error::last_os().context("CreateFileW"));
  // Two moves in one second get a counter.
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::wstring target = path.native() + L".refuzat-" + std::wstring(stamp.begin(), stamp.end());
    if (attempt > 0) target += L"-" + std::to_wstring(attempt);
    const DWORD name_bytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name_bytes, 0);  // not replacing, no root
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = name_bytes;
    std::memcpy(rename->FileName, target.c_str(), name_bytes);
    if (SetFileInformationByHandle(object.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
      return std::filesystem::path(std::move(target));
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      return std::unexpected(Error::os(static_cast<int>(error)).context("SetFileInformationByHandle"));
    }
  }
  return std::unexpected(Error::message("every .refuzat name of this second is taken"));
}

Result<UniqueHandle> open_trusted_log_folder(const std::filesystem::path& directory) {
  std::error_code ignored;  // the checks below decide
  std::filesystem::create_directories(directory.parent_path(), ignored);
  {
    auto descriptor = folder_descriptor_or_error();
    if (!descriptor) return std::unexpected(std::move(descriptor.error()));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor->get(), FALSE};
    if (!CreateDirectoryW(directory.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return std::unexpected(Error::last_os().context("CreateDirectoryW"));
    }
  }
  UniqueHandle folder = open_folder_object(directory, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!folder) return std::unexpected(Error::last_os().context("CreateFileW"));
  if (!is_plain_folder(folder.get())) return std::unexpected(Error::message("log folder: a link or not a folder"));
  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory<> descriptor;
  const DWORD read = GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                     nullptr, descriptor.put());
  if (read != ERROR_SUCCESS) return std::unexpected(Error::os(static_cast<int>(read)).context("GetSecurityInfo"));
  switch (judge_log_folder(owner, dacl)) {
    case LogFolderVerdict::use:
      return folder;
    case LogFolderVerdict::restrict:
      // Ours but open to others (made by hand, or by an older worker that
      // let Users read): close it to them. Files inside inherit the change.
      if (auto restricted = restrict_folder(directory); !restricted) {
        return std::unexpected(std::move(restricted.error()).context("log folder: restricting its access list"));
      }
      return folder;
    case LogFolderVerdict::refuse:
      break;
  }
  return std::unexpected(Error::message("log folder: owned by someone else"));
}

bool is_planted_folder(const std::filesystem::path& directory) {
  const UniqueHandle folder = open_folder_object(directory, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!folder) return false;
  if (!is_plain_folder(folder.get())) return true;
  PSID owner = nullptr;
  LocalMemory<> descriptor;
  if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      descriptor.put()) != ERROR_SUCCESS) {
    return false;
  }
  return !is_trusted_owner(owner);
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
