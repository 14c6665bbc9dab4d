// The Windows log folder as a SYSTEM service must treat it: created with an
// access list that lets only SYSTEM and Administrators write, refused when
// someone else made it, and never written through a reparse point.
#include "common/win/win_sdk.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/utf16.h"
#include "common/win/log_folder.h"
#include "common/win/unique_handle.h"
#include "common/worker_log.h"
#include "support/log_files.h"
#include "support/win/security_text.h"

namespace halvorine {
namespace {

namespace fs = std::filesystem;

using testing::append_to_log_file;
using testing::read_file;
constexpr char kFolderDacl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The security information `what` of `path` as SDDL, read back from the file system.
std::string read_back(const fs::path& path, SECURITY_INFORMATION what) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor);
  return testing::sddl_text(descriptor, what, "GetNamedSecurityInfoW failed");
}

// Creates `path` as a folder carrying the descriptor `sddl`.
bool create_folder_with(const fs::path& path, const wchar_t* sddl) {
  LocalMemory<> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

// This process's user as a string SID.
std::string own_user_sid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  LocalMemory<wchar_t*> text;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put())) return {};
  return utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(text.get()));
}

TEST(LogFolderVerdictTest, OwnerAndWritersDecide) {
  const std::string self = own_user_sid();
  ASSERT_FALSE(self.empty());
  const struct {
    std::string sddl;
    LogFolderVerdict verdict;
  } cases[] = {
      {"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", LogFolderVerdict::restrict},  // Users read
      {"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", LogFolderVerdict::use},
      {"O:" + self + "D:(A;;FA;;;" + self + ")(A;;FR;;;WD)", LogFolderVerdict::restrict},
      // What the log files inherit counts too (the log holds every click).
      {"O:SYD:(A;OICIIO;FA;;;CO)(A;OICIIO;FA;;;BU)(A;;FA;;;SY)", LogFolderVerdict::restrict},
      {"O:SYD:(D;;FA;;;WD)(A;;FA;;;SY)(A;;0x1200a9;;;WD)", LogFolderVerdict::restrict},
      // Deny entries, the owner's and the creator's (the worker's) rights let no one in.
      {"O:SYD:(A;OICIIO;FA;;;CO)(D;;FA;;;WD)(A;;FA;;;SY)(A;;FA;;;OW)", LogFolderVerdict::use},
      // Ours, but others may write: the list is replaced before use.
      {"O:SYD:(A;OICI;FA;;;SY)(A;CI;0x116;;;BU)", LogFolderVerdict::restrict},  // as the program-data directory
      {"O:BAD:(A;;FA;;;WD)", LogFolderVerdict::restrict},
      {"O:SYD:(A;;GA;;;AU)", LogFolderVerdict::restrict},
      {"O:SYD:(A;;GW;;;BU)", LogFolderVerdict::restrict},
      {"O:SYD:(A;;WD;;;BU)", LogFolderVerdict::restrict},  // may rewrite the list
      {"O:SYD:(A;;SD;;;BU)", LogFolderVerdict::restrict},  // may delete the folder
      {"O:SYD:(A;;0x2;;;S-1-5-21-1111-2222-3333-1001)", LogFolderVerdict::restrict},  // may add a file
      {"O:SY", LogFolderVerdict::restrict},  // no list at all
      // Someone else's folder, however tight its list.
      {"O:S-1-5-21-1111-2222-3333-1001D:P(A;;FA;;;SY)", LogFolderVerdict::refuse},
      {"O:BUD:P(A;;FA;;;SY)", LogFolderVerdict::refuse},
      {"O:WDD:P(A;;FA;;;SY)", LogFolderVerdict::refuse},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::u16string wide = utf8_to_utf16(c.sddl);
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<const wchar_t*>(wide.c_str()),
                                                                     SDDL_REVISION_1, &descriptor, nullptr))
        << c.sddl;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    EXPECT_EQ(judge_log_folder(owner, present ? dacl : nullptr), c.verdict) << c.sddl;
    LocalFree(descriptor);
  }
}

class LogFolderSecurityTest : public testing::LogFolderTest {
 protected:
  void SetUp() override {
    LogFolderTest::SetUp();
    folder_ = root_ / "Halvorine";
  }

  // Whether this file system keeps the descriptors given to it (Windows
  // does; a Wine without extended-attribute support derives them from the
  // Unix mode instead).
  bool keeps_descriptors() {
    const fs::path probe = root_ / "probe";
    return create_folder_with(probe, L"D:P(A;;FA;;;SY)(A;;FR;;;BU)") &&
           read_back(probe, DACL_SECURITY_INFORMATION) == "D:P(A;;FA;;;SY)(A;;FR;;;BU)";
  }

  fs::path folder_;
};

TEST_F(LogFolderSecurityTest, NewFolderGetsTheRestrictedAccessListAndTheFileInheritsIt) {
  ASSERT_TRUE(append_to_log_file(folder_ / "sub", "line\n"));  // parents too
  EXPECT_EQ(read_file(folder_ / "sub" / kLogFileName), "line\n");
  if (!keeps_descriptors()) GTEST_SKIP() << "this file system keeps no security descriptors";
  EXPECT_EQ(read_back(folder_ / "sub", DACL_SECURITY_INFORMATION), kFolderDacl);
  EXPECT_EQ(read_back(folder_ / "sub" / kLogFileName, DACL_SECURITY_INFORMATION),
            "D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(LogFolderSecurityTest, FolderMadeInAdvanceBySomeoneElseIsRefused) {
  // Another user's folder, open to everyone, as an attacker would leave it.
  ASSERT_TRUE(create_folder_with(folder_, L"O:S-1-5-21-1111-2222-3333-1001D:P(A;OICI;FA;;;WD)"));
  const std::string owner = read_back(folder_, OWNER_SECURITY_INFORMATION);
  if (owner != "O:S-1-5-21-1111-2222-3333-1001") GTEST_SKIP() << "this file system keeps the creator as owner: " << owner;
  EXPECT_FALSE(append_to_log_file(folder_, "line\n"));
  EXPECT_FALSE(fs::exists(folder_ / kLogFileName));
  EXPECT_EQ(read_back(folder_, DACL_SECURITY_INFORMATION), "D:P(A;OICI;FA;;;WD)");  // left alone
}

TEST_F(LogFolderSecurityTest, OwnFolderOpenToOthersIsClosedToThemBeforeUse) {
  ASSERT_TRUE(create_folder_with(folder_, L"D:P(A;OICI;FA;;;WD)"));
  ASSERT_TRUE(append_to_log_file(folder_, "line\n"));
  EXPECT_EQ(read_file(folder_ / kLogFileName), "line\n");
  if (!keeps_descriptors()) GTEST_SKIP() << "this file system keeps no security descriptors";
  EXPECT_EQ(read_back(folder_, DACL_SECURITY_INFORMATION), kFolderDacl);
}

TEST_F(LogFolderSecurityTest, ReparsePointsAreNeverWrittenThrough) {
  const fs::path elsewhere = root_ / "elsewhere";
  fs::create_directories(elsewhere);
  const fs::path victim = root_ / "victim";
  std::ofstream(victim) << "untouched";

  // A linked folder.
  if (!CreateSymbolicLinkW(folder_.c_str(), elsewhere.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    GTEST_SKIP() << "no symbolic links here: " << GetLastError();
  }
  const DWORD attributes = GetFileAttributesW(folder_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "this Wine does not show links as reparse points";
  }
  EXPECT_FALSE(append_to_log_file(folder_, "line\n"));
  EXPECT_FALSE(fs::exists(elsewhere / kLogFileName));
  ASSERT_TRUE(RemoveDirectoryW(folder_.c_str()));

  // A linked file in a good folder.
  ASSERT_TRUE(append_to_log_file(folder_, "first\n"));
  ASSERT_TRUE(DeleteFileW((folder_ / kLogFileName).c_str()));
  ASSERT_TRUE(CreateSymbolicLinkW((folder_ / kLogFileName).c_str(), victim.c_str(), 0));
  EXPECT_FALSE(append_to_log_file(folder_, "via link\n"));
  EXPECT_EQ(read_file(victim), "untouched");
}

TEST_F(LogFolderSecurityTest, AnImpersonatingThreadWritesAsTheProcessAndStaysImpersonating) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  const bool written = append_to_log_file(folder_, "line\n");
  HANDLE token = nullptr;
  const bool still_impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
  const UniqueHandle owned(token);
  RevertToSelf();
  EXPECT_TRUE(written);
  EXPECT_TRUE(still_impersonating);
  EXPECT_EQ(read_file(folder_ / kLogFileName), "line\n");
}

}  // namespace
}  // namespace halvorine
