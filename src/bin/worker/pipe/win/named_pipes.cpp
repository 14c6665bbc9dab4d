// Overlapped named pipes on the Asio runtime: the instance handle is an
// asio::windows::stream_handle; ConnectNamedPipe goes through an
// overlapped_ptr so its completion arrives on the same I/O completion port.
//
// Per name the worker holds either nothing, or instances it made itself:
// whenever it holds none it asks for the name's first instance, so a process
// that made the name first is noticed (and never shares its clients with the
// worker). While a client is served, one more instance listens ("the
// spare"): a client that opens the pipe then connects to it and waits,
// without being read, until create_instance hands the spare out as the next
// instance, where its wait_for_client completes at once.
#include "common/win/win_sdk.h"

#include <asio/async_result.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>

#include <map>
#include <memory>
#include <string>

#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/stream_io.h"
#include "bin/worker/pipe/win/machine_lock.h"
#include "bin/worker/pipe/win/win_pipe_security.h"
#include "common/utf16.h"
#include "common/win/unique_handle.h"

namespace halvorine {
namespace {

Error os_error(const asio::error_code& error) { return Error::os(error.value()); }

Error to_error(const asio::error_code& error) {
  // A client that closed its end shows as a broken pipe: the end of the stream.
  if (error == asio::error::eof || error.value() == ERROR_BROKEN_PIPE ||
      error.value() == ERROR_HANDLE_EOF) {
    return Error::early_eof();
  }
  return os_error(error);
}

// One pipe name as this worker holds it; shared by the API and the instances.
class PipeName {
 public:
  PipeName(std::string_view name, SECURITY_ATTRIBUTES* attributes)
      : wide_(utf8_to_utf16(pipe_path(name))), attributes_(attributes) {}

  // A new instance; the name's first when the worker holds none. A first
  // instance refused means another process owns the name.
  Result<UniqueHandle> create() {
    const bool first = held_ == 0;
    if (first && exists()) return std::unexpected(pipe_name_taken_error());
    const DWORD open_mode = kPipeCreation.open_mode | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    UniqueHandle handle(CreateNamedPipeW(reinterpret_cast<const wchar_t*>(wide_.c_str()), open_mode,
                                         kPipeCreation.pipe_mode, kPipeCreation.max_instances,
                                         kPipeCreation.output_buffer_size, kPipeCreation.input_buffer_size,
                                         kPipeCreation.default_timeout_ms, attributes_));
    if (!handle) {
      const DWORD error = GetLastError();
      if (first && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)) {
        return std::unexpected(pipe_name_taken_error());
      }
      return std::unexpected(Error::os(static_cast<int>(error)));
    }
    ++held_;
    return handle;
  }

  // The instance listening beside the one being served, if any.
  UniqueHandle take_spare() { return std::move(spare_); }

  // A client is being served: keep one instance listening. A failure only
  // means the next client waits for the next instance, as before.
  void keep_listening() {
    if (spare_) return;
    if (auto spare = create()) spare_ = std::move(*spare);
  }

  void closed() { --held_; }

 private:
  // Whether any process serves the name now. Asked before asking for the
  // first instance, which Windows alone refuses atomically (Wine ignores the
  // flag). Waiting for an instance does not connect to it: a server never
  // gets to act on the worker's behalf.
  bool exists() const {
    const auto* name = reinterpret_cast<const wchar_t*>(wide_.c_str());
    if (WaitNamedPipeW(name, 1)) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }

  std::u16string wide_;
  SECURITY_ATTRIBUTES* attributes_;  // nullptr: default security
  int held_ = 0;                     // instances open, the spare included
  UniqueHandle spare_;
};

class NamedPipeInstance final : public PipeInstance {
 public:
  NamedPipeInstance(asio::windows::stream_handle handle, std::shared_ptr<PipeName> name)
      : handle_(std::move(handle)), name_(std::move(name)) {}
  ~NamedPipeInstance() override { close(); }

  asio::awaitable<Result<void>> wait_for_client() override {
    asio::error_code error;
    auto token = asio::redirect_error(asio::use_awaitable, error);
    co_await asio::async_initiate<decltype(token), void(asio::error_code, std::size_t)>(
        [this](auto handler) {
          asio::windows::overlapped_ptr overlapped(handle_.get_executor(), std::move(handler));
          const BOOL ok = ConnectNamedPipe(handle_.native_handle(), overlapped.get());
          const DWORD last = GetLastError();
          if (ok || last == ERROR_IO_PENDING) {
            overlapped.release();  // the completion port reports the outcome
          } else if (last == ERROR_PIPE_CONNECTED || last == ERROR_NO_DATA) {
            // The client opened the pipe before this wait (and may even have
            // closed it again, ERROR_NO_DATA): it counts as connected, and its
            // first read sees the end of the stream.
            overlapped.complete(asio::error_code(), 0);
          } else {
            overlapped.complete(asio::error_code(static_cast<int>(last), asio::system_category()),
                                0);
          }
        },
        token);
    if (error) co_return std::unexpected(os_error(error));
    name_->keep_listening();
    co_return Result<void>{};
  }

  asio::awaitable<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer) override {
    return read_some_from(handle_, buffer, to_error);
  }

  // A handle writes one buffer per WriteFile: the length field, then the frame.
  // A broken pipe stays an OS error here: only a read sees the end of the stream.
  asio::awaitable<Result<void>> write_all(std::span<const asio::const_buffer> buffers) override {
    return write_all_to(handle_, buffers, os_error, ERROR_NO_DATA);
  }

  void close() override {
    if (!handle_.is_open()) return;
    asio::error_code ignored;
    handle_.cancel(ignored);  // CancelIoEx: a pending read completes as aborted
    handle_.close(ignored);
    name_->closed();
  }

  Result<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(handle_.native_handle(), &pid)) {
      return std::unexpected(Error::last_os().context("GetNamedPipeClientProcessId"));
    }
    return static_cast<std::uint32_t>(pid);
  }

 private:
  asio::windows::stream_handle handle_;
  std::shared_ptr<PipeName> name_;
};

class NamedPipes final : public PipeApi {
 public:
  NamedPipes(asio::any_io_executor executor, Logger* log) : executor_(std::move(executor)), lock_(log) {}

  Result<std::unique_ptr<PipeInstance>> create_instance(std::string_view name,
                                                        const PipeSecurity* security) override {
    if (auto locked = lock_.acquire(name); !locked) return std::unexpected(std::move(locked.error()));
    SECURITY_ATTRIBUTES* attributes =
        security ? static_cast<const WinPipeSecurity*>(security)->attributes() : nullptr;
    auto& state = names_[std::string(name)];
    if (!state) state = std::make_shared<PipeName>(name, attributes);
    UniqueHandle handle = state->take_spare();
    if (!handle) {
      auto created = state->create();
      if (!created) return std::unexpected(std::move(created.error()));
      handle = std::move(*created);
    }
    asio::windows::stream_handle stream(executor_);
    asio::error_code error;
    stream.assign(handle.get(), error);
    if (error) {
      state->closed();
      return std::unexpected(Error::os(error.value()));
    }
    handle.release();
    return std::make_unique<NamedPipeInstance>(std::move(stream), state);
  }

 private:
  asio::any_io_executor executor_;
  // Released after the names are gone (and with them the spares).
  MachineLock lock_;
  std::map<std::string, std::shared_ptr<PipeName>, std::less<>> names_;
};

}  // namespace

std::unique_ptr<PipeApi> make_pipe_api(asio::any_io_executor executor, Logger* log) {
  return std::make_unique<NamedPipes>(std::move(executor), log);
}

std::string pipe_path(std::string_view name) {
  std::string path = R"(\\.\pipe\)";
  path.append(name);
  return path;
}

}  // namespace halvorine
