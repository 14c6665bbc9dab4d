// halvorine-client's check of whom it talks to, on Linux: a server is the
// worker when it runs as root, or as the client's own user in that user's
// own directory. Servers and clients run as real users (needs root).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "client_pipe.h"

namespace halvorine {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kRoot = 0;
constexpr uid_t kDaemon = 1;
constexpr uid_t kNobody = 65534;

void become(uid_t uid) {
  if (uid != kRoot && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(90);
}

// A server listening on `path` as `uid`, until killed.
pid_t start_server(uid_t uid, const fs::path& path) {
  int ready[2];
  EXPECT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    become(uid);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(91);
    ::chmod(path.c_str(), 0666);
    if (::listen(fd, 8) != 0) ::_exit(92);
    (void)::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  char byte = 0;
  ::close(ready[1]);
  EXPECT_EQ(::read(ready[0], &byte, 1), 1) << "server did not start";
  ::close(ready[0]);
  return child;
}

// What a client running as `uid` gets: 0 connected, 6 untrusted server, 7 other.
int connect_as(uid_t uid, const fs::path& path, client::ServerCheck check) {
  const pid_t child = ::fork();
  if (child == 0) {
    become(uid);
    auto pipe = client::open_client_pipe(path, check);
    if (pipe) ::_exit(0);
    ::_exit(pipe.error().failure == client::OpenFailure::untrusted_server ? 6 : 7);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ClientServerCheck, OnlyRootOrTheClientsOwnWorkerInItsOwnDirectoryIsTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run servers and clients as other users";
  struct Case {
    const char* name;
    uid_t directory_owner;
    mode_t directory_mode;
    uid_t server;
    uid_t client;
    int expected;
  };
  const std::vector<Case> cases{
      {"the worker as root", kRoot, 0755, kRoot, kNobody, 0},
      {"a development worker of the client's own user", kNobody, 0755, kNobody, kNobody, 0},
      {"another user's listener in a shared directory", kRoot, 01777, kNobody, kDaemon, 6},
      {"another user's listener in a directory they made", kNobody, 0755, kNobody, kDaemon, 6},
      {"the client's own user, in another user's directory", kDaemon, 01777, kNobody, kNobody, 6},
  };
  const fs::path base = fs::temp_directory_path() / ("hcc-" + std::to_string(::getpid()));
  fs::create_directories(base);
  fs::permissions(base, fs::perms(0755));
  int number = 0;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const fs::path dir = base / std::to_string(++number);
    fs::create_directory(dir);
    ASSERT_EQ(::chown(dir.c_str(), test.directory_owner, test.directory_owner), 0);
    fs::permissions(dir, fs::perms(test.directory_mode));
    const fs::path socket = dir / "halvorine-input";
    const pid_t server = start_server(test.server, socket);
    EXPECT_EQ(connect_as(test.client, socket, client::ServerCheck::worker_only), test.expected);
    // The check is the only difference: without it every case connects.
    EXPECT_EQ(connect_as(test.client, socket, client::ServerCheck::any), 0);
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
  }
  fs::remove_all(base);
}

}  // namespace
}  // namespace halvorine
