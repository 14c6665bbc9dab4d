// Pipes as Unix-domain stream sockets. One listening socket exists per
// instance and only until its client is accepted: the socket file stays but
// nobody listens, so a second client is refused like a busy named pipe.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>

#include "bin/worker/pipe/host/host_pipe_security.h"
#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {
namespace {

using asio::local::stream_protocol;

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

class UnixSocketInstance final : public PipeInstance {
 public:
  UnixSocketInstance(stream_protocol::acceptor acceptor, const HostPipeSecurity* security)
      : acceptor_(std::move(acceptor)), socket_(acceptor_.get_executor()), security_(security) {}
  ~UnixSocketInstance() override { close(); }

  asio::awaitable<Result<void>> wait_for_client() override {
    for (;;) {
      asio::error_code error;
      co_await acceptor_.async_accept(socket_, asio::redirect_error(asio::use_awaitable, error));
      if (error) co_return std::unexpected(to_error(error));
      ucred peer{};
      socklen_t size = sizeof peer;
      if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
          admits(security_, peer.uid)) {
        break;
      }
      // Not admitted: as on Windows, the server never serves such a client.
      socket_.close(error);
    }
    asio::error_code ignored;
    acceptor_.close(ignored);
    co_return Result<void>{};
  }

  asio::awaitable<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer) override {
    asio::error_code error;
    const std::size_t read = co_await socket_.async_read_some(
        asio::buffer(buffer.data(), buffer.size()), asio::redirect_error(asio::use_awaitable, error));
    if (error) co_return std::unexpected(to_error(error));
    if (read == 0) co_return std::unexpected(Error::early_eof());
    co_return read;
  }

  asio::awaitable<Result<void>> write_all(std::span<const asio::const_buffer> buffers) override {
    asio::error_code error;
    const std::size_t total = asio::buffer_size(buffers);
    // Gathered: the length field and the frame leave in one sendmsg when they fit.
    const std::size_t written = co_await asio::async_write(
        socket_, buffers, asio::redirect_error(asio::use_awaitable, error));
    if (error) co_return std::unexpected(to_error(error));
    if (written != total) co_return std::unexpected(Error::os(EPIPE));
    co_return Result<void>{};
  }

  void close() override {
    asio::error_code ignored;
    socket_.close(ignored);
    acceptor_.close(ignored);
  }

 private:
  stream_protocol::acceptor acceptor_;
  stream_protocol::socket socket_;
  const HostPipeSecurity* security_;
};

class UnixSocketPipes final : public PipeApi {
 public:
  explicit UnixSocketPipes(asio::any_io_executor executor) : executor_(std::move(executor)) {}

  Result<std::unique_ptr<PipeInstance>> create_instance(std::string_view name,
                                                        const PipeSecurity* security) override {
    const auto* host_security = static_cast<const HostPipeSecurity*>(security);
    const std::string path = pipe_path(name);
    std::error_code fs_error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), fs_error);
    if (fs_error) return std::unexpected(Error::os(fs_error.value()));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(Error::last_os());

    stream_protocol::acceptor acceptor(executor_);
    asio::error_code error;
    acceptor.open(stream_protocol(), error);
    if (error) return std::unexpected(to_error(error));
    // The mode the socket file is created with comes from the socket's inode
    // on Linux: set it before bind so there is no moment of wider access.
    const mode_t mode = host_security && host_security->admits_everyone() ? 0666 : 0600;
    if (::fchmod(acceptor.native_handle(), mode) != 0) return std::unexpected(Error::last_os());
    acceptor.bind(stream_protocol::endpoint(path), error);
    if (error) return std::unexpected(to_error(error));
    // The umask may have narrowed the mode; a named user owns the socket.
    if (::chmod(path.c_str(), mode) != 0) return std::unexpected(Error::last_os());
    if (host_security && host_security->user() && !host_security->admits_everyone()) {
      if (::chown(path.c_str(), *host_security->user(), static_cast<gid_t>(-1)) != 0) {
        return std::unexpected(Error::last_os());
      }
    }
    acceptor.listen(1, error);
    if (error) return std::unexpected(to_error(error));
    return std::make_unique<UnixSocketInstance>(std::move(acceptor), host_security);
  }

 private:
  asio::any_io_executor executor_;
};

}  // namespace

std::unique_ptr<PipeApi> make_pipe_api(asio::any_io_executor executor) {
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
