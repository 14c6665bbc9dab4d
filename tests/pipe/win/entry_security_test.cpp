// The Windows half of the client trust rule on access lists as Windows
// ships them and as an attacker would leave them (converted from SDDL).
#include "bin/worker/pipe/win/entry_security.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "common/win/unique_handle.h"

namespace halvorine {
namespace {

TEST(EntrySecurity, OwnersAndRightsOfOthers) {
  const struct {
    const wchar_t* sddl;
    bool trusted_owner, replace, add;
  } rows[] = {
      // C:\ as Windows ships it: Authenticated Users may add folders, and get
      // rights only on what they create (inherit-only).
      {L"O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;AU)"
       L"(A;OICIIO;SDGXGWGR;;;AU)",
       true, false, true},
      // C:\Program Files: TrustedInstaller's, users read.
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI"
       L"(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;0x1301bf;;;SY)"
       L"(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
       true, false, false},
      // Users may modify: delete, write, add.
      {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)", true, true, true},
      // Everyone may write data only.
      {L"O:BAD:(A;;FA;;;SY)(A;;0x120116;;;WD)", true, false, true},
      // A deny entry gives nothing; an ordinary user's folder is not trusted.
      {L"O:S-1-5-21-1-2-3-1001D:(D;;FA;;;WD)(A;;FA;;;SY)", false, false, false},
  };
  for (const auto& row : rows) {
    LocalMemory<> descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, descriptor.put(),
                                                                     nullptr));
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    const PathEntrySecurity judged = judge_entry(owner, present ? dacl : nullptr);
    EXPECT_EQ(judged.trusted_owner, row.trusted_owner) << row.sddl;
    EXPECT_EQ(judged.others_may_replace, row.replace) << row.sddl;
    EXPECT_EQ(judged.others_may_add, row.add) << row.sddl;
  }
  // No list at all (Wine converts "D:NO_ACCESS_CONTROL" to an empty one):
  // everyone may do anything.
  const PathEntrySecurity open = judge_entry(nullptr, nullptr);
  EXPECT_FALSE(open.trusted_owner);
  EXPECT_TRUE(open.others_may_replace);
  EXPECT_TRUE(open.others_may_add);
}

}  // namespace
}  // namespace halvorine
