#include "encoder/annex_b.h"

namespace halvorine {
namespace {

bool is_slice(int type) { return type >= kNalTypeSlice && type <= kNalTypeIdrSlice; }

// NAL unit types that, after a slice, open the next access unit.
bool opens_access_unit(int type) {
  return (type >= kNalTypeSei && type <= kNalTypeAccessUnitDelimiter) || (type >= 14 && type <= 18);
}

}  // namespace

std::optional<std::size_t> key_frame_start(std::span<const std::uint8_t> stream) {
  std::size_t unit_start = 0;
  bool after_slice = false;
  int previous_slice = 0;
  bool has_sps = false;
  bool has_pps = false;
  const std::size_t size = stream.size();
  for (std::size_t i = 0; i + 3 < size; ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const std::size_t code = i > 0 && stream[i - 1] == 0 ? i - 1 : i;
    const int type = stream[i + 3] & 0x1F;
    i += 3;
    if (is_slice(type)) {
      // An IDR slice right after a slice of another kind is a new picture
      // with no parameter sets of its own.
      const bool new_picture =
          after_slice && (previous_slice == kNalTypeIdrSlice) != (type == kNalTypeIdrSlice);
      if (type == kNalTypeIdrSlice && has_sps && has_pps && !new_picture) return unit_start;
      after_slice = true;
      previous_slice = type;
      continue;
    }
    if (after_slice && opens_access_unit(type)) {
      after_slice = false;
      unit_start = code;
      has_sps = has_pps = false;
    }
    has_sps = has_sps || type == kNalTypeSps;
    has_pps = has_pps || type == kNalTypePps;
  }
  return std::nullopt;
}

}  // namespace halvorine
