// The GUI side of a worker pipe: a blocking client connection.
//
// Windows: CreateFileW on \\.\pipe\NAME. Linux: connect() to the socket NAME
// in the pipe directory. Opening tells apart the failures a user can act on.
//
// Anyone who can create the pipe first, or add an instance of it, can pose
// as the worker and receive everything the GUI types. With
// ServerCheck::worker_only the connection is kept only when the server is the
// privileged worker:
//   Windows: the server process (GetNamedPipeServerProcessId) runs in
//            session 0, where only services run, or as LocalSystem;
//   Linux:   the server (SO_PEERCRED) is root, or it is this client's own
//            user and the socket's directory is that user's too (a worker
//            run without root for development). The directory is opened
//            first and the socket reached through it, so the directory
//            checked is the one connected through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "common/error.h"

namespace halvorine::client {

enum class OpenFailure { missing, access_refused, busy, untrusted_server, other };

enum class ServerCheck { worker_only, any };

struct OpenError {
  OpenFailure failure;
  std::string detail;  // the system's message and code
};

// One connection; used by one thread at a time. Errors are the system's
// (Error::os).
class ClientPipe {
 public:
  virtual ~ClientPipe() = default;
  // Writes all of `bytes`; blocks while the server does not read.
  virtual Result<void> write_all(std::span<const std::uint8_t> bytes) = 0;
  // Reads up to buffer.size() bytes (at least one unless the stream ended):
  // the count, 0 once the server has closed the stream.
  virtual Result<std::size_t> read_some(std::span<std::uint8_t> buffer) = 0;
};

// ServerCheck::any is for tests that run their own servers.
std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path,
                                                                      ServerCheck check = ServerCheck::any);

}  // namespace halvorine::client
