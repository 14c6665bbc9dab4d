#include "bin/worker/pipe/pipe_security.h"

#include <gtest/gtest.h>

#include "fake_pipes.h"
#include "recording_logger.h"

namespace halvorine {
namespace {

using Lines = std::vector<std::string>;

// The session user, else Interactive Users, gets read and write; a failed
// conversion is not tried again with the fallback.
TEST(PipeSecurity, SessionUserElseInteractiveUsersAndNoSecondTry) {
  const std::string user = "S-1-5-21-1004336348-1177238915-682003330-512";
  const std::string user_dacl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;" + user + ")";
  const struct {
    std::optional<std::string> sid;
    bool converts;
    std::string dacl;
    Lines log;
  } cases[] = {
      {user, true, user_dacl, {"pipe: DACL restrictionat -> SYSTEM+Administrators+user pot deschide pipe-ul"}},
      {std::nullopt, true, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)",
       {"pipe: SID user indisponibil -> DACL fallback SY+BA+INTERACTIVE",
        "pipe: DACL restrictionat -> SYSTEM+Administrators+INTERACTIVE pot deschide pipe-ul"}},
      {user, false, user_dacl, {"pipe: ConvertStringSD esuat pentru " + user_dacl}},
  };
  for (const auto& c : cases) {
    testing::FakeSecurityPlatform platform;
    platform.sid = c.sid;
    platform.conversion_succeeds = c.converts;
    testing::RecordingLogger log;
    const auto security = build_pipe_security(platform, log);
    EXPECT_EQ(security ? security->sddl() : "none", c.converts ? c.dacl : "none");
    EXPECT_EQ(platform.converted, Lines{c.dacl});
    EXPECT_EQ(log.lines(), c.log);
  }
}

}  // namespace
}  // namespace halvorine
