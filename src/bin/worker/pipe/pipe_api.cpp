#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {

asio::awaitable<Result<void>> PipeInstance::read_exact(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto read = co_await read_some(buffer);
    if (!read) co_return std::unexpected(std::move(read.error()));
    buffer = buffer.subspan(*read);
  }
  co_return Result<void>{};
}

}  // namespace halvorine
