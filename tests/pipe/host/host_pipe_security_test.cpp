// The Linux form of the pipes' access list: SDDL parsing, who is admitted,
// and the socket file's mode and owner.
#include "bin/worker/pipe/host/host_pipe_security.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <filesystem>

#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {
namespace {

TEST(HostPipeSecurity, ParsesTheWorkersTwoDescriptors) {
  const auto user = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" +
                                            unix_user_sid(1234) + ")");
  ASSERT_TRUE(user);
  EXPECT_TRUE(user->admits(0));
  EXPECT_TRUE(user->admits(1234));
  EXPECT_FALSE(user->admits(1235));
  EXPECT_FALSE(user->admits_everyone());

  const auto interactive = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;IU)");
  ASSERT_TRUE(interactive);
  EXPECT_TRUE(interactive->admits(0));
  EXPECT_TRUE(interactive->admits(4321));
  EXPECT_EQ(interactive->sddl(), "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;IU)");
}

TEST(HostPipeSecurity, RejectsWhatItCannotEnforce) {
  for (const char* sddl : {"", "D:", "D:P", "O:SYD:P(A;;FA;;;SY)", "D:P(D;;FA;;;SY)",
                           "D:P(A;;FR;;;SY)", "D:P(A;;FA;;;WD)", "D:P(A;;FA;;;S-1-5-21-1)",
                           "D:P(A;;FA;;;S-1-22-1-)", "D:P(A;;FA;;;S-1-22-1-12x)", "D:P(A;;FA;;;SY"}) {
    EXPECT_EQ(HostPipeSecurity::parse(sddl), nullptr) << sddl;
  }
}

mode_t socket_mode(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(HostPipeSecurity, SocketFileModeFollowsTheDescriptor) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("halvorine-pipe-mode-test-" + std::to_string(::getpid()));
  ::setenv("HALVORINE_PIPE_DIR", dir.c_str(), 1);
  asio::io_context runtime;
  auto pipes = make_pipe_api(runtime.get_executor());

  const auto interactive = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;IU)");
  auto open_to_all = pipes->create_instance("mode-iu", interactive.get());
  ASSERT_TRUE(open_to_all) << open_to_all.error().text();
  EXPECT_EQ(socket_mode(pipe_path("mode-iu")), 0666u);

  auto by_default = pipes->create_instance("mode-default", nullptr);
  ASSERT_TRUE(by_default);
  EXPECT_EQ(socket_mode(pipe_path("mode-default")), 0600u);

  if (::geteuid() == 0) {
    const auto user = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" +
                                              unix_user_sid(4242) + ")");
    auto owned = pipes->create_instance("mode-user", user.get());
    ASSERT_TRUE(owned) << owned.error().text();
    struct stat info {};
    ASSERT_EQ(::stat(pipe_path("mode-user").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, 4242u);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace halvorine
