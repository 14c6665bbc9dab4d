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

// The offset of the access unit that holds the first IDR slice of `stream`,
// when that access unit also carries a sequence and a picture parameter set
// before the slice: a point where a decoder can start from nothing. The
// offset is that of the access unit's first start code (a 4-byte start code
// included). Nullopt when the stream has no such access unit.
std::optional<std::size_t> key_frame_start(std::span<const std::uint8_t> stream);

}  // namespace halvorine
