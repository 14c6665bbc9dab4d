// The Linux form of the pipes' access list: SDDL parsing and who is
// admitted (the socket file's mode and owner: socket_files_test.cpp).
#include "bin/worker/pipe/host/host_pipe_security.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <filesystem>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include "bin/worker/pipe/pipe_api.h"
#include "client_pipe.h"

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

constexpr uid_t kNobody = 65534;

// What a client running as `uid` gets when it opens `path`: 0 connected (and,
// with `read_to_end`, then saw the end of the stream), 1 refused access, 2
// anything else.
int open_as(uid_t uid, const std::string& path, bool read_to_end = false) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    auto pipe = client::open_client_pipe(path);
    if (!pipe) ::_exit(pipe.error().failure == client::OpenFailure::access_refused ? 1 : 2);
    if (!read_to_end) ::_exit(0);
    std::uint8_t byte = 0;
    const auto read = (*pipe)->read_some(std::span(&byte, 1));
    ::_exit(read && *read == 0 ? 0 : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HostPipeAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    dir_ = std::filesystem::temp_directory_path() /
           ("halvorine-pipe-access-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    // Everyone may reach the sockets (only their modes count); only the worker may write here.
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    ::setenv("HALVORINE_PIPE_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
  asio::io_context runtime_;
};

TEST_F(HostPipeAccess, OtherUsersAreRefusedByDefaultAndForAnotherSessionUser) {
  auto pipes = make_pipe_api(runtime_.get_executor());
  auto by_default = pipes->create_instance("access-default", nullptr);
  ASSERT_TRUE(by_default);
  EXPECT_EQ(open_as(kNobody, pipe_path("access-default")), 1);

  const auto other_user = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" +
                                                  unix_user_sid(4242) + ")");
  auto for_other = pipes->create_instance("access-other", other_user.get());
  ASSERT_TRUE(for_other);
  EXPECT_EQ(open_as(kNobody, pipe_path("access-other")), 1);
}

TEST_F(HostPipeAccess, SessionUserIsServed) {
  auto pipes = make_pipe_api(runtime_.get_executor());
  const auto nobody = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" +
                                              unix_user_sid(kNobody) + ")");
  auto instance = pipes->create_instance("access-user", nobody.get());
  ASSERT_TRUE(instance);
  auto served = asio::co_spawn(runtime_, (*instance)->wait_for_client(), asio::use_future);
  EXPECT_EQ(open_as(kNobody, pipe_path("access-user")), 0);  // connects, then leaves
  runtime_.run();
  EXPECT_TRUE(served.get());
}

TEST_F(HostPipeAccess, PeerNotAdmittedIsDroppedAndTheWaitGoesOn) {
  auto pipes = make_pipe_api(runtime_.get_executor());
  auto instance = pipes->create_instance("access-peer", nullptr);
  ASSERT_TRUE(instance);
  // Widen the file mode by hand: only the peer-credential check is left.
  std::filesystem::permissions(pipe_path("access-peer"), std::filesystem::perms::all);
  bool done = false;
  asio::co_spawn(runtime_, (*instance)->wait_for_client(), [&](std::exception_ptr, Result<void>) { done = true; });
  const pid_t child = ::fork();
  if (child == 0) ::_exit(open_as(kNobody, pipe_path("access-peer"), true));
  // The stranger is accepted, checked and dropped: it sees the end of the stream.
  int status = -1;
  for (int turns = 0; ::waitpid(child, &status, WNOHANG) == 0 && turns < 2000; ++turns) {
    runtime_.run_one_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  runtime_.poll();
  EXPECT_FALSE(done);
  auto root = client::open_client_pipe(pipe_path("access-peer"));
  ASSERT_TRUE(root);
  for (int turns = 0; !done && turns < 2000; ++turns) runtime_.run_one_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace halvorine
