// NAL unit types of an Annex-B byte stream, for checking encoder output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halvorine::testing {

inline constexpr int kNalSlice = 1;
inline constexpr int kNalIdrSlice = 5;
inline constexpr int kNalSps = 7;
inline constexpr int kNalPps = 8;

// The nal_unit_type of every NAL unit, in stream order.
inline std::vector<int> nal_types(std::span<const std::uint8_t> stream) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      types.push_back(stream[i + 3] & 0x1F);
      i += 3;
    }
  }
  return types;
}

inline bool contains(const std::vector<int>& types, int type) {
  for (int t : types) {
    if (t == type) return true;
  }
  return false;
}

}  // namespace halvorine::testing
