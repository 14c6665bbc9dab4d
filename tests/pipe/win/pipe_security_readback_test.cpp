// The descriptor a created named pipe really carries, read back by a client
// and converted to SDDL: exactly the text the worker built it from, the
// session user (or Interactive Users) with read and write only (what
// GENERIC_READ | GENERIC_WRITE map to). Wine keeps the list but does not
// enforce it.
#include "common/win/win_sdk.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_security.h"
#include "bin/worker/pipe/win/win_pipe_security.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "recording_logger.h"
#include "support/win/security_text.h"

namespace halvorine {
namespace {

// The DACL of pipe `name` as SDDL, read through a client handle.
std::string read_back_dacl(std::string_view name) {
  const std::u16string path = utf8_to_utf16(pipe_path(name));
  UniqueHandle client(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()),
                                  GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!client) return "open failed: " + Error::last_os().text();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                  &descriptor);
  return testing::sddl_text(descriptor, DACL_SECURITY_INFORMATION, "GetSecurityInfo failed");
}

TEST(PipeSecurityReadBack, InteractiveUsersDescriptor) {
  const std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)";
  const auto security = WinPipeSecurity::convert(sddl);
  ASSERT_TRUE(security);
  EXPECT_EQ(security->attributes()->nLength, 24u);
  EXPECT_EQ(security->attributes()->bInheritHandle, FALSE);
  asio::io_context runtime;
  auto pipes = make_pipe_api(runtime.get_executor());
  auto instance = pipes->create_instance("halvorine-sddl-test-iu", security.get());
  ASSERT_TRUE(instance) << instance.error().text();
  EXPECT_EQ(read_back_dacl("halvorine-sddl-test-iu"), sddl);
}

TEST(PipeSecurityReadBack, SessionUserDescriptorFromTheRealPlatform) {
  const auto platform = make_pipe_security_platform();
  const auto sid = platform->session_user_sid();
  ASSERT_TRUE(sid) << "no session user under this Wine prefix";
  EXPECT_TRUE(sid->starts_with("S-1-5-")) << *sid;
  testing::RecordingLogger log;
  const auto security = build_pipe_security(*platform, log);
  ASSERT_TRUE(security);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "pipe: DACL restrictionat -> SYSTEM+Administrators+user pot deschide pipe-ul"});
  asio::io_context runtime;
  auto pipes = make_pipe_api(runtime.get_executor());
  auto instance = pipes->create_instance("halvorine-sddl-test-user", security.get());
  ASSERT_TRUE(instance) << instance.error().text();
  EXPECT_EQ(read_back_dacl("halvorine-sddl-test-user"),
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;" + *sid + ")");
  // The usual idiom of a GUI (the instance above took the first client).
  auto second = pipes->create_instance("halvorine-sddl-test-user", security.get());
  ASSERT_TRUE(second) << second.error().text();
  const std::u16string path = utf8_to_utf16(pipe_path("halvorine-sddl-test-user"));
  const UniqueHandle gui(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(gui) << Error::last_os().text();
}

TEST(PipeSecurityReadBack, MalformedSddlIsNotConverted) {
  EXPECT_EQ(WinPipeSecurity::convert("D:P(A;;FA;;;NOT-A-SID)"), nullptr);
}

}  // namespace
}  // namespace halvorine
