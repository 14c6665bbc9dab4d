// Pipes as Unix-domain stream sockets. A listening socket exists per
// instance and only until its client is accepted: the socket file stays but
// nobody listens, so a later client is refused like a busy named pipe. Clients
// that connected in the same instant as the accepted one are already past
// their connect (their writes may have succeeded): they are taken from the
// backlog and served next, never dropped.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <map>

#include <fmt/format.h>

#include "bin/worker/pipe/host/host_pipe_security.h"
#include "bin/worker/pipe/host/socket_files.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/stream_io.h"

namespace halvorine {
namespace {

using asio::local::stream_protocol;

// Connections already accepted by the kernel, waiting for their turn.
using WaitingClients = std::deque<stream_protocol::socket>;

Error to_error(const asio::error_code& error) {
  if (error == asio::error::eof) return Error::early_eof();
  return Error::os(error.value());
}

// Default security admits the worker's own user and root, as a named pipe's
// default descriptor gives write access only to them.
bool admits(const HostPipeSecurity* security, uid_t uid) {
  if (security) return security->admits(uid);
  return uid == 0 || uid == geteuid();
}

bool admitted(stream_protocol::socket& socket, const HostPipeSecurity* security) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
         admits(security, peer.uid);
}

class UnixSocketInstance final : public PipeInstance {
 public:
  // Listens on `acceptor`; clients that connected alongside the accepted one
  // go to `waiting`.
  UnixSocketInstance(stream_protocol::acceptor acceptor, const HostPipeSecurity* security,
                     std::shared_ptr<WaitingClients> waiting)
      : acceptor_(std::move(acceptor)),
        socket_(acceptor_.get_executor()),
        security_(security),
        waiting_(std::move(waiting)) {}
  // Serves a client taken from the backlog earlier.
  explicit UnixSocketInstance(stream_protocol::socket connected)
      : acceptor_(connected.get_executor()), socket_(std::move(connected)), security_(nullptr) {}
  ~UnixSocketInstance() override { close(); }

  asio::awaitable<Result<void>> wait_for_client() override {
    if (socket_.is_open()) co_return Result<void>{};
    for (;;) {
      asio::error_code error;
      co_await acceptor_.async_accept(socket_, asio::redirect_error(asio::use_awaitable, error));
      if (error) co_return std::unexpected(to_error(error));
      if (admitted(socket_, security_)) break;
      // Not admitted: as on Windows, the server never serves such a client.
      socket_.close(error);
    }
    take_backlog();
    co_return Result<void>{};
  }

  asio::awaitable<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer) override {
    return read_some_from(socket_, buffer, to_error);
  }

  // Gathered: the length field and the frame leave in one sendmsg when they fit.
  asio::awaitable<Result<void>> write_all(std::span<const asio::const_buffer> buffers) override {
    return write_all_to(socket_, buffers, to_error, EPIPE);
  }

  void close() override {
    asio::error_code ignored;
    socket_.close(ignored);
    acceptor_.close(ignored);
  }

  Result<std::uint32_t> client_process_id() override {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      return std::unexpected(Error::last_os().context("SO_PEERCRED"));
    }
    if (peer.pid <= 0) return std::unexpected(Error::message("SO_PEERCRED: no process"));
    return static_cast<std::uint32_t>(peer.pid);
  }

 private:
  // Stops listening without losing a client: connects are refused from the
  // shutdown on, and whoever got in before it is taken from the backlog.
  void take_backlog() {
    asio::error_code error;
    ::shutdown(acceptor_.native_handle(), SHUT_RD);
    acceptor_.non_blocking(true, error);
    for (;;) {
      stream_protocol::socket next(acceptor_.get_executor());
      acceptor_.accept(next, error);
      if (error) break;
      if (admitted(next, security_)) waiting_->push_back(std::move(next));
    }
    acceptor_.close(error);
  }

  stream_protocol::acceptor acceptor_;
  stream_protocol::socket socket_;
  const HostPipeSecurity* security_;
  std::shared_ptr<WaitingClients> waiting_;
};

// Per pipe name: the lock that keeps other workers off it and the clients
// waiting for their turn.
struct PipeEndpoint {
  UniqueFd lock;
  dev_t directory_device = 0;
  ino_t directory_inode = 0;
  std::shared_ptr<WaitingClients> waiting = std::make_shared<WaitingClients>();
};

class UnixSocketPipes final : public PipeApi {
 public:
  explicit UnixSocketPipes(asio::any_io_executor executor) : executor_(std::move(executor)) {}

  Result<std::unique_ptr<PipeInstance>> create_instance(std::string_view name,
                                                        const PipeSecurity* security) override {
    const auto* host_security = static_cast<const HostPipeSecurity*>(security);
    PipeEndpoint& endpoint = endpoints_[std::string(name)];
    if (!endpoint.waiting->empty()) {
      auto next = std::move(endpoint.waiting->front());
      endpoint.waiting->pop_front();
      return std::make_unique<UnixSocketInstance>(std::move(next));
    }

    const std::string path = pipe_path(name);
    const std::string directory_path = path.substr(0, path.rfind('/'));
    auto directory = open_socket_directory(directory_path);
    if (!directory) return std::unexpected(std::move(directory.error()));
    if (auto locked = hold_lock(endpoint, directory->get(), name); !locked) {
      return std::unexpected(std::move(locked.error()));
    }
    // Another server on the path (one that predates the lock) keeps it.
    if (server_listens(directory->get(), name)) {
      return std::unexpected(Error::message(fmt::format("a server is already listening on {}", path)));
    }
    // Connecting needs write access to the socket file: its mode and owner
    // are the access list's file-system half, the peer check the other.
    const bool everyone = host_security && host_security->admits_everyone();
    const mode_t mode = everyone ? 0666 : 0600;
    std::optional<uid_t> owner;
    if (host_security && host_security->user() && !everyone) owner = host_security->user();
    auto listening = make_listening_socket(directory->get(), name, mode, owner, kBacklog);
    if (!listening) return std::unexpected(std::move(listening.error()));

    stream_protocol::acceptor acceptor(executor_);
    asio::error_code error;
    acceptor.assign(stream_protocol(), listening->get(), error);
    if (error) return std::unexpected(to_error(error));
    listening->release();
    return std::make_unique<UnixSocketInstance>(std::move(acceptor), host_security, endpoint.waiting);
  }

 private:
  // At most this many clients get past connect while one is being accepted.
  static constexpr int kBacklog = 1;

  // Keeps (or takes) the pipe's lock in the directory now at the path; a
  // directory replaced since the lock was taken needs a lock of its own.
  static Result<void> hold_lock(PipeEndpoint& endpoint, int directory, std::string_view name) {
    struct stat info {};
    if (::fstat(directory, &info) != 0) return std::unexpected(Error::last_os());
    if (endpoint.lock && endpoint.directory_device == info.st_dev &&
        endpoint.directory_inode == info.st_ino) {
      return {};
    }
    endpoint.lock.reset();
    auto lock = lock_pipe_name(directory, name);
    if (!lock) return std::unexpected(std::move(lock.error()));
    endpoint.lock = std::move(*lock);
    endpoint.directory_device = info.st_dev;
    endpoint.directory_inode = info.st_ino;
    return {};
  }

  asio::any_io_executor executor_;
  std::map<std::string, PipeEndpoint, std::less<>> endpoints_;
};

}  // namespace

std::unique_ptr<PipeApi> make_pipe_api(asio::any_io_executor executor, Logger*) {
  return std::make_unique<UnixSocketPipes>(std::move(executor));
}

std::string pipe_path(std::string_view name) {
  std::string dir;
  if (const char* override_dir = std::getenv("HALVORINE_PIPE_DIR"); override_dir && *override_dir) {
    dir = override_dir;
  } else if (geteuid() == 0) {
    dir = "/run/halvorine";
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    dir = fmt::format("{}/halvorine", runtime);
  } else {
    dir = fmt::format("/tmp/halvorine-{}", geteuid());
  }
  return fmt::format("{}/{}", dir, name);
}

}  // namespace halvorine
