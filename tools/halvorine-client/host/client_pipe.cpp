#include "client_pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "common/host/unique_fd.h"

namespace halvorine::client {
namespace {

std::string describe(int code) { return Error::os(code).text(); }

class SocketPipe final : public ClientPipe {
 public:
  explicit SocketPipe(UniqueFd fd) : fd_(std::move(fd)) {}

  Result<void> write_all(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return std::unexpected(sent < 0 ? Error::last_os() : Error::os(EPIPE));
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return {};
  }

  Result<std::size_t> read_some(std::span<std::uint8_t> buffer) override {
    for (;;) {
      const ssize_t got = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EINTR) continue;
      // The server closing while data is unread shows as a reset: an end.
      if (errno == ECONNRESET) return 0;
      return std::unexpected(Error::last_os());
    }
  }

 private:
  UniqueFd fd_;
};

OpenError failed(OpenFailure failure, int code) { return OpenError{failure, describe(code)}; }

}  // namespace

std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path,
                                                                      ServerCheck check) {
  // With the check, the socket is reached through its directory, opened and
  // examined first: a directory swapped in afterwards is never connected to.
  UniqueFd directory;
  struct stat directory_info {};
  std::string connect_path = path;
  if (check == ServerCheck::worker_only) {
    const auto slash = path.rfind('/');
    const std::string directory_path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    directory.reset(::open(directory_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return std::unexpected(failed(errno == ENOENT ? OpenFailure::missing : OpenFailure::other, errno));
    if (::fstat(directory.get(), &directory_info) != 0) return std::unexpected(failed(OpenFailure::other, errno));
    connect_path = fmt::format("/proc/self/fd/{}/{}", directory.get(),
                               slash == std::string::npos ? path : path.substr(slash + 1));
  }

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (connect_path.size() >= sizeof address.sun_path) {
    return std::unexpected(OpenError{OpenFailure::other, "path too long for a socket"});
  }
  std::memcpy(address.sun_path, connect_path.c_str(), connect_path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(failed(OpenFailure::other, errno));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    const OpenFailure failure = code == ENOENT                    ? OpenFailure::missing
                                : code == EACCES || code == EPERM ? OpenFailure::access_refused
                                : code == ECONNREFUSED || code == EAGAIN ? OpenFailure::busy
                                                                         : OpenFailure::other;
    return std::unexpected(failed(failure, code));
  }
  if (check == ServerCheck::worker_only) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      return std::unexpected(failed(OpenFailure::other, errno));
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
  return std::make_unique<SocketPipe>(std::move(fd));
}

}  // namespace halvorine::client
