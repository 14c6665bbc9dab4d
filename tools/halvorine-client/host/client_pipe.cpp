#include "client_pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace halvorine::client {
namespace {

std::string describe(int code) { return fmt::format("{} (os error {})", std::strerror(code), code); }

class SocketPipe final : public ClientPipe {
 public:
  explicit SocketPipe(int fd) : fd_(fd) {}
  ~SocketPipe() override { ::close(fd_); }

  bool write_all(std::span<const std::uint8_t> bytes, std::string& detail) override {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) {
        detail = describe(sent < 0 ? errno : EPIPE);
        return false;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
  }

  std::ptrdiff_t read_some(std::span<std::uint8_t> buffer, std::string& detail) override {
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        // The server closing while data is unread shows as a reset: an end.
        if (errno == ECONNRESET) return 0;
        detail = describe(errno);
        return -1;
      }
      return got;
    }
  }

 private:
  int fd_;
};

}  // namespace

std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path,
                                                                      ServerCheck check) {
  // With the check, the socket is reached through its directory, opened and
  // examined first: a directory swapped in afterwards is never connected to.
  int directory = -1;
  struct stat directory_info {};
  std::string connect_path = path;
  if (check == ServerCheck::worker_only) {
    const auto slash = path.rfind('/');
    const std::string directory_path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    directory = ::open(directory_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
      const int code = errno;
      return std::unexpected(OpenError{code == ENOENT ? OpenFailure::missing : OpenFailure::other, describe(code)});
    }
    if (::fstat(directory, &directory_info) != 0) {
      const int code = errno;
      ::close(directory);
      return std::unexpected(OpenError{OpenFailure::other, describe(code)});
    }
    connect_path = fmt::format("/proc/self/fd/{}/{}", directory, slash == std::string::npos ? path : path.substr(slash + 1));
  }
  struct DirectoryCloser {
    int fd;
    ~DirectoryCloser() {
      if (fd >= 0) ::close(fd);
    }
  } closer{directory};

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (connect_path.size() >= sizeof address.sun_path) {
    return std::unexpected(OpenError{OpenFailure::other, "path too long for a socket"});
  }
  std::memcpy(address.sun_path, connect_path.c_str(), connect_path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(OpenError{OpenFailure::other, describe(errno)});
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    ::close(fd);
    const OpenFailure failure = code == ENOENT                    ? OpenFailure::missing
                                : code == EACCES || code == EPERM ? OpenFailure::access_refused
                                : code == ECONNREFUSED || code == EAGAIN ? OpenFailure::busy
                                                                         : OpenFailure::other;
    return std::unexpected(OpenError{failure, describe(code)});
  }
  auto pipe = std::make_unique<SocketPipe>(fd);
  if (check == ServerCheck::worker_only) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      return std::unexpected(OpenError{OpenFailure::other, describe(errno)});
    }
    const uid_t self = ::geteuid();
    const bool own_worker = peer.uid == self && directory_info.st_uid == self;
    if (peer.uid != 0 && !own_worker) {
      return std::unexpected(OpenError{
          OpenFailure::untrusted_server,
          fmt::format("the server (process {}) runs as uid {} in a directory owned by uid {}; the worker runs as "
                      "root",
                      peer.pid, peer.uid, directory_info.st_uid)});
    }
  }
  return pipe;
}

}  // namespace halvorine::client
