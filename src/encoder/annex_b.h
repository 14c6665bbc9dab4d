// Reading an H.264 Annex-B byte stream just far enough to tell where a key
// frame begins. The stream's integrity depends on it: after a loss, nothing
// may reach the GUI before an IDR picture with its parameter sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace halvorine {

inline constexpr int kNalTypeSlice = 1;
inline constexpr int kNalTypeIdrSlice = 5;
inline constexpr int kNalTypeSei = 6;
inline constexpr int kNalTypeSps = 7;
inline constexpr int kNalTypePps = 8;
inline constexpr int kNalTypeAccessUnitDelimiter = 9;

// One NAL unit of an Annex-B stream: the offset of its start code (a 4-byte
// one included), of its header byte, and of its end (the next start code, or
// the end of the stream).
struct NalUnit {
  std::size_t start = 0;
  std::size_t header = 0;
  std::size_t end = 0;
  int type = 0;
};

// Calls visit(const NalUnit&) for every NAL unit of `stream`, in order.
// Bytes before the first start code belong to no NAL unit.
template <typename Visit>
void for_each_nal(std::span<const std::uint8_t> stream, Visit&& visit) {
  const std::size_t size = stream.size();
  auto next_code = [&](std::size_t from) {
    for (std::size_t i = from; i + 2 < size; ++i) {
      if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) return i;
    }
    return size;
  };
  std::size_t code = next_code(0);
  while (code < size) {
    const std::size_t header = code + 3;
    std::size_t next = next_code(header);
    NalUnit nal{code > 0 && stream[code - 1] == 0 ? code - 1 : code, header, next,
                header < size ? stream[header] & 0x1F : -1};
    if (next < size && next > header && stream[next - 1] == 0) nal.end = next - 1;
    if (nal.type >= 0) visit(nal);
    code = next;
  }
}

// Whether `nal`, a slice, is the first slice of its picture
// (first_mb_in_slice is 0: the slice header starts with a 1 bit).
bool starts_picture(std::span<const std::uint8_t> stream, const NalUnit& nal);

// Whether `bytes` look like H.264 in Annex-B form: a start code first, and
// every NAL unit a header with forbidden_zero_bit 0 and a type other than 0.
bool is_annex_b(std::span<const std::uint8_t> bytes);

// The number of pictures that begin in `stream`.
std::size_t picture_count(std::span<const std::uint8_t> stream);

// The offset of the access unit that holds the first IDR slice of `stream`,
// when that access unit also carries a sequence and a picture parameter set
// before the slice: a point where a decoder can start from nothing. The
// offset is that of the access unit's first start code (a 4-byte start code
// included). Nullopt when the stream has no such access unit.
std::optional<std::size_t> key_frame_start(std::span<const std::uint8_t> stream);

}  // namespace halvorine
