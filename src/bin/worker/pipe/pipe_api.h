// The pipe seam: one server-side pipe instance at a time, driven from
// coroutines on the worker's Asio runtime.
//
// Windows: overlapped named pipes (\\.\pipe\NAME). The first instance of a
// name is created as the first (FILE_FLAG_FIRST_PIPE_INSTANCE), so a name
// another process made first is noticed, never shared; while a client is
// served one more instance listens, and the client that connects to it waits
// and is served next (create_instance hands it out), so no later server can
// catch it. One worker per machine: the backend serves nothing while another
// worker holds the machine-wide mutex (machine_lock.h). Linux: a Unix-domain socket NAME in
// the pipe directory, listening only until a client is accepted (clients
// that connected in the same instant are served next).
// Every operation returns its failure as an Error value; an end of stream is
// Error::early_eof(). Objects are used only from the runtime's thread.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "bin/worker/pipe/pipe_security.h"
#include "common/error.h"
#include "common/logger.h"

namespace halvorine {

// The creation parameters both pipes share, as CreateNamedPipeW takes them.
struct PipeCreationParameters {
  std::uint32_t open_mode;      // PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED
  std::uint32_t pipe_mode;      // byte type, byte read mode, wait, reject remote clients
  std::uint32_t max_instances;  // PIPE_UNLIMITED_INSTANCES
  std::uint32_t output_buffer_size;
  std::uint32_t input_buffer_size;
  std::uint32_t default_timeout_ms;  // 0: the system default
};
inline constexpr PipeCreationParameters kPipeCreation{0x40000003, 0x8, 255, 65536, 65536, 0};

inline constexpr std::string_view kInputPipeName = "halvorine-input";
inline constexpr std::string_view kVideoPipeName = "halvorine-secure-video";

// One instance of a pipe: waits for one client, then carries its bytes.
// Destroying it closes it like close().
class PipeInstance {
 public:
  virtual ~PipeInstance() = default;

  // Completes once a client is connected; a client that connected after the
  // instance was created and before this call counts.
  virtual asio::awaitable<Result<void>> wait_for_client() = 0;

  // Reads at least one byte into `buffer` (non-empty); early_eof at the end.
  virtual asio::awaitable<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer) = 0;

  // Writes every byte of `buffers`, in order, or fails. A write that accepts
  // no byte is a failure.
  virtual asio::awaitable<Result<void>> write_all(std::span<const asio::const_buffer> buffers) = 0;

  // Closes the instance; a pending operation completes with an error. The
  // client sees the end of the stream. Idempotent.
  virtual void close() = 0;

  // The process id of the connected client, as the system recorded it when
  // the client connected (GetNamedPipeClientProcessId, SO_PEERCRED).
  virtual Result<std::uint32_t> client_process_id() = 0;
};

class PipeApi {
 public:
  virtual ~PipeApi() = default;

  // Creates one instance of pipe `name` (one of the names above) with
  // kPipeCreation and `security` (nullptr: the platform's default
  // security). `security`, when given, outlives the instance.
  virtual Result<std::unique_ptr<PipeInstance>> create_instance(std::string_view name,
                                                                const PipeSecurity* security) = 0;
};

// The error create_instance returns when another process owns the pipe's
// name (it created the name's first instance).
Error pipe_name_taken_error();
bool is_pipe_name_taken(const Error& error);

// The platform's pipes, with instances bound to `executor` (the runtime's).
// `log` (may be null; outlives the pipes) hears what the backend notices
// beside the instances (Windows: a lock name someone else took).
std::unique_ptr<PipeApi> make_pipe_api(asio::any_io_executor executor, Logger* log = nullptr);

// Where a client finds pipe `name`: "\\.\pipe\NAME" on Windows; on Linux
// the socket NAME in $HALVORINE_PIPE_DIR, else /run/halvorine for root, else
// $XDG_RUNTIME_DIR/halvorine (/tmp/halvorine-UID without a runtime dir).
std::string pipe_path(std::string_view name);

}  // namespace halvorine
