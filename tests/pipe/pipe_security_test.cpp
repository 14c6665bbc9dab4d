#include "bin/worker/pipe/pipe_security.h"

#include <gtest/gtest.h>

#include "fake_pipes.h"
#include "recording_logger.h"

namespace halvorine {
namespace {

using testing::FakeSecurityPlatform;
using testing::RecordingLogger;
using Lines = std::vector<std::string>;

TEST(PipeSecurity, SessionUserGetsTheUserDacl) {
  FakeSecurityPlatform platform;
  platform.sid = "S-1-5-21-1004336348-1177238915-682003330-512";
  RecordingLogger log;
  const auto security = build_pipe_security(platform, log);
  ASSERT_TRUE(security);
  EXPECT_EQ(security->sddl(),
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;S-1-5-21-1004336348-1177238915-682003330-512)");
  EXPECT_EQ(log.lines(), Lines{"pipe: DACL restrictionat -> SYSTEM+Administrators+user pot deschide pipe-ul"});
}

TEST(PipeSecurity, NoSessionUserFallsBackToInteractiveUsers) {
  FakeSecurityPlatform platform;
  RecordingLogger log;
  const auto security = build_pipe_security(platform, log);
  ASSERT_TRUE(security);
  EXPECT_EQ(security->sddl(), "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;IU)");
  EXPECT_EQ(log.lines(), (Lines{"pipe: SID user indisponibil -> DACL fallback SY+BA+INTERACTIVE",
                                "pipe: DACL restrictionat -> SYSTEM+Administrators+INTERACTIVE pot "
                                "deschide pipe-ul"}));
}

TEST(PipeSecurity, FailedConversionIsNotRetriedWithTheFallback) {
  FakeSecurityPlatform platform;
  platform.sid = "S-1-5-21-7";
  platform.conversion_succeeds = false;
  RecordingLogger log;
  EXPECT_EQ(build_pipe_security(platform, log), nullptr);
  EXPECT_EQ(platform.converted, Lines{"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;S-1-5-21-7)"});
  EXPECT_EQ(log.lines(),
            Lines{"pipe: ConvertStringSD esuat pentru D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;S-1-5-21-7)"});
}

}  // namespace
}  // namespace halvorine
