// The secure-video stream's record: a 4-byte little-endian length, then that
// many bytes of one frame. The worker writes records with
// video_record_header; every reader of the stream (halvorine-client's
// recorder and view, tests) reads them with read_record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/error.h"

namespace halvorine {

// The most a reader accepts in one record: far above any frame the worker
// writes, and what a reader allocates at most for a record.
inline constexpr std::uint32_t kMaxVideoRecordBytes = 64u << 20;

// The 4-byte little-endian record header for a frame of `size` bytes.
std::array<std::uint8_t, 4> video_record_header(std::size_t size);

// Reads up to buffer.size() bytes (at least one unless the stream ended):
// the count, 0 at the end of the stream.
using ReadSome = std::function<Result<std::size_t>(std::span<std::uint8_t>)>;

struct VideoRecord {
  enum class Kind {
    frame,     // the payload is in the buffer's first `length` bytes
    end,       // the stream ended cleanly between two records
    too_long,  // the header announced more than the limit; nothing was read or allocated for it
  };
  Kind kind = Kind::end;
  std::uint32_t length = 0;  // as announced
};

// Reads one record into `buffer`, which grows to length + `padding` (never
// past max_length + `padding`) and is reused; the `padding` bytes after the
// payload are zero. A stream cut inside a record is an error ("stream ended
// ..."), as is a failed read.
Result<VideoRecord> read_record(const ReadSome& read_some, std::vector<std::uint8_t>& buffer,
                                std::uint32_t max_length, std::size_t padding = 0);

}  // namespace halvorine
