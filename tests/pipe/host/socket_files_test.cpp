// The Linux pipes in the file system: which socket directories are trusted,
// the modes and owners they and the sockets get, what a link swapped in
// meanwhile can reach, one worker per pipe, and clients that connect together.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <fmt/format.h>

#include "bin/worker/pipe/host/host_pipe_security.h"
#include "bin/worker/pipe/host/socket_files.h"
#include "bin/worker/pipe/input_pipe_server.h"
#include "bin/worker/pipe/pipe_api.h"
#include "client_pipe.h"
#include "fake_pipes.h"
#include "fake_clock.h"
#include "recording_logger.h"

namespace halvorine {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr uid_t kNobody = 65534;

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// A private scratch directory per test; HALVORINE_PIPE_DIR points into it.
class SocketFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Short: a socket's path must fit in 108 bytes.
    static int test_number = 0;
    root_ = fs::temp_directory_path() /
            ("hsf-" + std::to_string(::getpid()) + "-" + std::to_string(++test_number));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::permissions(root_, fs::perms(0755));
    use_dir(root_ / "pipes");
  }
  void TearDown() override {
    ::umask(022);
    fs::remove_all(root_);
  }
  void use_dir(const fs::path& dir) {
    dir_ = dir;
    ::setenv("HALVORINE_PIPE_DIR", dir.c_str(), 1);
  }

  fs::path root_;
  fs::path dir_;
  asio::io_context runtime_;
};

TEST_F(SocketFilesTest, DirectoryThatIsNotOnlyOursIsRefusedAndNothingIsCreatedInIt) {
  enum class Kind { directory, link, file };
  const struct {
    const char* name;
    Kind kind;
    mode_t mode;  // of a directory
    bool given_away;
    std::string why;  // after "socket directory DIR refused: "
  } cases[] = {
      {"other-owner", Kind::directory, 0755, true, "owned by uid 65534, not by the worker's uid 0"},
      {"group-writable", Kind::directory, 0775, false, "writable by others (mode 0775)"},
      {"sticky-world-writable", Kind::directory, 01777, false, "writable by others (mode 1777)"},
      {"symlink", Kind::link, 0, false, "not a directory (a link or another kind of file)"},
      {"file", Kind::file, 0, false, "not a directory (a link or another kind of file)"},
  };
  fs::create_directory(root_ / "real");
  fs::permissions(root_ / "real", fs::perms(0755));
  for (const auto& test : cases) {
    if (test.given_away && ::geteuid() != 0) continue;
    SCOPED_TRACE(test.name);
    use_dir(root_ / test.name);
    if (test.kind == Kind::directory) {
      fs::create_directory(dir_);
      fs::permissions(dir_, fs::perms(test.mode));
      if (test.given_away) {
        ASSERT_EQ(::chown(dir_.c_str(), kNobody, kNobody), 0);
      }
    } else if (test.kind == Kind::link) {
      fs::create_directory_symlink(root_ / "real", dir_);
    } else {
      std::ofstream(dir_).put('x');
    }
    auto pipes = make_pipe_api(runtime_.get_executor());
    auto instance = pipes->create_instance("halvorine-input", nullptr);
    ASSERT_FALSE(instance);
    EXPECT_EQ(instance.error().text(), "socket directory " + dir_.string() + " refused: " + test.why);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "halvorine-input")) ||
                 fs::exists(root_ / "real" / "halvorine-input"));
  }

  // A parent others may write (and not sticky) could have the directory swapped.
  const fs::path open_parent = root_ / "open";
  fs::create_directory(open_parent);
  fs::permissions(open_parent, fs::perms(0777));
  use_dir(open_parent / "pipes");
  auto pipes = make_pipe_api(runtime_.get_executor());
  auto instance = pipes->create_instance("halvorine-input", nullptr);
  ASSERT_FALSE(instance);
  EXPECT_EQ(instance.error().text(),
            fmt::format("socket directory {} refused: its parent {} lets others replace it (owner uid {}, "
                        "mode 0777)",
                        dir_.string(), open_parent.string(), ::geteuid()));
  EXPECT_FALSE(fs::exists(dir_));
}

// A sleep that runs `on_pause` at each retry pause and parks after `limit`.
class ScriptedSleep final : public AsyncSleep {
 public:
  std::vector<std::chrono::milliseconds> pauses;
  std::function<void()> on_pause;
  std::size_t limit = 2;
  asio::awaitable<void> sleep(std::chrono::milliseconds duration) override {
    pauses.push_back(duration);
    if (on_pause) on_pause();
    if (pauses.size() >= limit) co_await testing::park_forever();
  }
};

TEST_F(SocketFilesTest, RefusedDirectoryIsLoggedAndRetriedEveryTwoSecondsUntilItIsFixed) {
  fs::create_directory(dir_);
  fs::permissions(dir_, fs::perms(0777));
  std::unique_ptr<PipeApi> pipes;
  const auto security = make_pipe_security_platform();  // the real pipes need their own descriptors
  testing::RecordingLogger log;
  testing::FakeClock clock;
  ScriptedSleep sleep;
  asio::io_context runtime;  // destroyed first: the server still waits for a client in it
  pipes = make_pipe_api(runtime.get_executor());
  sleep.on_pause = [&] {
    if (sleep.pauses.size() == 2) fs::permissions(dir_, fs::perms(0755));  // the admin mends it
  };
  sleep.limit = 3;
  auto [sender, receiver] = make_input_channel();
  asio::co_spawn(runtime, serve_input_pipe({*pipes, *security, sleep, log, clock}, std::move(sender)),
                 asio::detached);
  testing::run_until_idle(runtime);
  const std::string refused =
      "CreateNamedPipe failed: socket directory " + dir_.string() + " refused: writable by others (mode 0777)";
  std::vector<std::string> lines;  // after the security messages
  for (const auto& line : log.lines()) {
    if (!line.starts_with("pipe:")) lines.push_back(line);
  }
  // Retried every 2 s, written once: a lasting failure must not fill the log.
  EXPECT_EQ(lines, (std::vector<std::string>{refused, "waiting for client"}));
  EXPECT_EQ(sleep.pauses, (std::vector<std::chrono::milliseconds>{kPipeRetryPause, kPipeRetryPause}));
}

TEST_F(SocketFilesTest, ModesAreFixedWhateverTheUmask) {
  auto pipes = make_pipe_api(runtime_.get_executor());
  const auto everyone = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;IU)");
  ::umask(077);  // would make the directory and an open socket private
  auto open_to_all = pipes->create_instance("mode-iu", everyone.get());
  ASSERT_TRUE(open_to_all) << open_to_all.error().text();
  EXPECT_EQ(mode_of(dir_), 0755u);
  EXPECT_EQ(mode_of(dir_ / "mode-iu"), 0666u);
  ::umask(0);  // would leave a private socket open to all
  auto private_socket = pipes->create_instance("mode-default", nullptr);
  ASSERT_TRUE(private_socket) << private_socket.error().text();
  EXPECT_EQ(mode_of(dir_ / "mode-default"), 0600u);
  // Only the sockets and their locks are left behind.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(dir_)) entries.push_back(entry.path().filename());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"mode-default", "mode-default.lock", "mode-iu", "mode-iu.lock"}));
  if (::geteuid() != 0) return;
  // The session user's socket is theirs alone.
  const auto user = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + unix_user_sid(4242) + ")");
  auto owned = pipes->create_instance("mode-user", user.get());
  ASSERT_TRUE(owned) << owned.error().text();
  struct stat info {};
  ASSERT_EQ(::lstat((dir_ / "mode-user").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, 4242u);
}

// Another process of ours swaps links in for the socket, its private
// directory and the directory inside while the worker creates the socket a few
// hundred times: whatever wins each race, the file and directory outside keep
// their mode, owner and contents.
TEST_F(SocketFilesTest, LinksSwappedInDuringCreationReachNothingOutside) {
  const fs::path outside = root_ / "outside";
  fs::create_directory(outside);
  fs::permissions(outside, fs::perms(0700));
  const fs::path target = outside / "target";
  std::ofstream(target) << "secret";
  fs::permissions(target, fs::perms(0640));
  fs::create_directory(dir_);
  fs::permissions(dir_, fs::perms(0755));
  const auto user = HostPipeSecurity::parse("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + unix_user_sid(4242) + ")");

  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    const fs::path socket = dir_ / "race", workspace = dir_ / ".race.new";
    for (unsigned turn = 0; !stop; ++turn) {
      std::error_code ignored;
      switch (turn % 3) {
        case 0:
          fs::remove(socket, ignored);
          fs::create_symlink(target, socket, ignored);
          break;
        case 1:
          if (fs::is_symlink(workspace, ignored)) break;
          fs::remove(workspace / "race", ignored);
          fs::create_symlink(target, workspace / "race", ignored);
          break;
        case 2:
          fs::remove(workspace, ignored);  // only when empty
          fs::create_directory_symlink(outside, workspace, ignored);
          break;
      }
    }
  });
  auto pipes = make_pipe_api(runtime_.get_executor());
  int created = 0;
  for (int round = 0; round < 300; ++round) {
    if (pipes->create_instance("race", ::geteuid() == 0 ? user.get() : nullptr)) ++created;
  }
  stop = true;
  swapper.join();

  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  // Nothing but the target, and links the swapper itself may have put there
  // through its own directory link.
  std::vector<fs::path> inside;
  for (const auto& entry : fs::directory_iterator(outside)) {
    if (!entry.is_symlink()) inside.push_back(entry.path());
  }
  EXPECT_EQ(inside, std::vector<fs::path>{target});
  EXPECT_GT(created, 0);
}

// A plain listening socket at `path`, as another server would leave it.
int listen_at(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd, 1), 0);
  return fd;
}

TEST_F(SocketFilesTest, ASecondServerLeavesTheFirstInChargeAndAStaleSocketIsReplaced) {
  auto first = make_pipe_api(runtime_.get_executor());
  auto second = make_pipe_api(runtime_.get_executor());
  ASSERT_TRUE(first->create_instance("halvorine-input", nullptr));
  auto refused = second->create_instance("halvorine-input", nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(),
            "another worker is serving halvorine-input (it holds halvorine-input.lock)");
  first.reset();  // the first worker is gone: its lock with it
  ASSERT_TRUE(second->create_instance("halvorine-input", nullptr));

  // A server that takes no lock but listens keeps its path; once it has
  // stopped, its socket file is stale and replaced.
  const int foreign = listen_at(dir_ / "halvorine-secure-video");
  auto third = make_pipe_api(runtime_.get_executor());
  auto busy = third->create_instance("halvorine-secure-video", nullptr);
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().text(), "a server is already listening on " + (dir_ / "halvorine-secure-video").string());
  ::close(foreign);
  auto replaced = third->create_instance("halvorine-secure-video", nullptr);
  ASSERT_TRUE(replaced) << replaced.error().text();
  auto client = client::open_client_pipe(pipe_path("halvorine-secure-video"));
  EXPECT_TRUE(client) << client.error().detail;
}

asio::awaitable<Bytes> serve_one(PipeInstance& instance) {
  Bytes got;
  if (!co_await instance.wait_for_client()) co_return got;
  std::array<std::uint8_t, 64> buffer{};
  while (auto read = co_await instance.read_some(buffer)) got.insert(got.end(), buffer.begin(), buffer.begin() + *read);
  co_return got;
}

TEST_F(SocketFilesTest, ClientsThatConnectTogetherAreServedInTurnAndLaterOnesAreRefused) {
  auto pipes = make_pipe_api(runtime_.get_executor());
  auto instance = pipes->create_instance("halvorine-input", nullptr);
  ASSERT_TRUE(instance);
  // Both get past connect before the server accepts either: both have written.
  auto a = client::open_client_pipe(pipe_path("halvorine-input"));
  auto b = client::open_client_pipe(pipe_path("halvorine-input"));
  ASSERT_TRUE(a) << a.error().detail;
  ASSERT_TRUE(b) << b.error().detail;
  ASSERT_TRUE((*a)->write_all(Bytes{0xA1, 0xA2}));
  ASSERT_TRUE((*b)->write_all(Bytes{0xB1}));
  a->reset();
  b->reset();

  auto first = asio::co_spawn(runtime_, serve_one(**instance), asio::use_future);
  runtime_.run();
  EXPECT_EQ(first.get(), (Bytes{0xA1, 0xA2}));
  // While the first is served the pipe is busy, as a named pipe would be.
  auto late = client::open_client_pipe(pipe_path("halvorine-input"));
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().failure, client::OpenFailure::busy);
  instance->reset();

  auto next = pipes->create_instance("halvorine-input", nullptr);
  ASSERT_TRUE(next);
  auto second = asio::co_spawn(runtime_, serve_one(**next), asio::use_future);
  runtime_.restart();
  runtime_.run();
  EXPECT_EQ(second.get(), (Bytes{0xB1}));
}

}  // namespace
}  // namespace halvorine
