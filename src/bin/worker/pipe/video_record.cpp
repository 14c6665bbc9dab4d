#include "bin/worker/pipe/video_record.h"

#include <algorithm>

#include <fmt/format.h>

namespace halvorine {
namespace {

// How many bytes of `buffer` came before the stream ended (all of them, or
// fewer at the end).
Result<std::size_t> read_until_full(const ReadSome& read_some, std::span<std::uint8_t> buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    auto read = read_some(buffer.subspan(got));
    if (!read) return std::unexpected(std::move(read.error()));
    if (*read == 0) break;
    got += *read;
  }
  return got;
}

}  // namespace

std::array<std::uint8_t, 4> video_record_header(std::size_t size) {
  const auto length = static_cast<std::uint32_t>(size);
  return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

Result<VideoRecord> read_record(const ReadSome& read_some, std::vector<std::uint8_t>& buffer,
                                std::uint32_t max_length, std::size_t padding) {
  std::array<std::uint8_t, 4> header{};
  auto got = read_until_full(read_some, header);
  if (!got) return std::unexpected(std::move(got.error()));
  if (*got == 0) return VideoRecord{VideoRecord::Kind::end, 0};
  if (*got < header.size()) {
    return std::unexpected(Error::message(fmt::format("stream ended inside a record ({} of 4 bytes)", *got)));
  }
  const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                               static_cast<std::uint32_t>(header[3]) << 24;
  if (length > max_length) return VideoRecord{VideoRecord::Kind::too_long, length};
  if (buffer.size() < length + padding) buffer.resize(length + padding);
  std::fill_n(buffer.begin() + length, padding, std::uint8_t{0});
  got = read_until_full(read_some, std::span(buffer).first(length));
  if (!got) return std::unexpected(std::move(got.error()));
  if (*got == 0 && length > 0) return std::unexpected(Error::message("stream ended after a record's length field"));
  if (*got < length) {
    return std::unexpected(Error::message(fmt::format("stream ended inside a record ({} of {} bytes)", *got, length)));
  }
  return VideoRecord{VideoRecord::Kind::frame, length};
}

}  // namespace halvorine
