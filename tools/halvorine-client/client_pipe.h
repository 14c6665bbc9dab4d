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

namespace halvorine::client {

enum class OpenFailure { missing, access_refused, busy, untrusted_server, other };

enum class ServerCheck { worker_only, any };

struct OpenError {
  OpenFailure failure;
  std::string detail;  // the system's message and code
};

class ClientPipe {
 public:
  virtual ~ClientPipe() = default;
  // Writes all of `bytes`; false (with detail) on failure.
  virtual bool write_all(std::span<const std::uint8_t> bytes, std::string& detail) = 0;
  // Reads up to buffer.size() bytes: >0 read, 0 end of stream, -1 error (with detail).
  virtual std::ptrdiff_t read_some(std::span<std::uint8_t> buffer, std::string& detail) = 0;
};

// ServerCheck::any is for tests that run their own servers.
std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path,
                                                                      ServerCheck check = ServerCheck::any);

}  // namespace halvorine::client
