// The pipe seam's reads and writes over an Asio stream, shared by the
// backends (a Unix socket, a named-pipe handle). Each backend says how an
// Asio error reads as an Error and which code a short write gets.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.h"

namespace halvorine {

using AsioErrorReader = Error (*)(const asio::error_code&);

// At least one byte into `buffer`; a read of nothing is the end of the stream.
template <typename Stream>
asio::awaitable<Result<std::size_t>> read_some_from(Stream& stream, std::span<std::uint8_t> buffer,
                                                    AsioErrorReader read_error) {
  asio::error_code error;
  const std::size_t read = co_await stream.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                                           asio::redirect_error(asio::use_awaitable, error));
  if (error) co_return std::unexpected(read_error(error));
  if (read == 0) co_return std::unexpected(Error::early_eof());
  co_return read;
}

// Every byte of `buffers`, in order; a write that stops short fails as
// Error::os(short_write_code).
template <typename Stream>
asio::awaitable<Result<void>> write_all_to(Stream& stream, std::span<const asio::const_buffer> buffers,
                                           AsioErrorReader write_error, int short_write_code) {
  asio::error_code error;
  const std::size_t total = asio::buffer_size(buffers);
  const std::size_t written =
      co_await asio::async_write(stream, buffers, asio::redirect_error(asio::use_awaitable, error));
  if (error) co_return std::unexpected(write_error(error));
  if (written != total) co_return std::unexpected(Error::os(short_write_code));
  co_return Result<void>{};
}

}  // namespace halvorine
