#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {

Error pipe_name_taken_error() { return Error::message("the pipe's name is owned by another process"); }

bool is_pipe_name_taken(const Error& error) { return error == pipe_name_taken_error(); }

asio::awaitable<Result<void>> PipeInstance::read_exact(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto read = co_await read_some(buffer);
    if (!read) co_return std::unexpected(std::move(read.error()));
    buffer = buffer.subspan(*read);
  }
  co_return Result<void>{};
}

}  // namespace halvorine
