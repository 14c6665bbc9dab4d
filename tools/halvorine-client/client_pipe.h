// The GUI side of a worker pipe: a blocking client connection.
//
// Windows: CreateFileW on \\.\pipe\NAME. Linux: connect() to the socket NAME
// in the pipe directory. Opening tells apart the failures a user can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

namespace halvorine::client {

enum class OpenFailure { missing, access_refused, busy, other };

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

std::expected<std::unique_ptr<ClientPipe>, OpenError> open_client_pipe(const std::string& path);

}  // namespace halvorine::client
