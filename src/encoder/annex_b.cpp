#include "encoder/annex_b.h"

namespace halvorine {
namespace {

bool is_slice(int type) { return type >= kNalTypeSlice && type <= kNalTypeIdrSlice; }

// NAL unit types that, after a slice, open the next access unit.
bool opens_access_unit(int type) {
  return (type >= kNalTypeSei && type <= kNalTypeAccessUnitDelimiter) || (type >= 14 && type <= 18);
}

}  // namespace

bool starts_picture(std::span<const std::uint8_t> stream, const NalUnit& nal) {
  return nal.header + 1 < nal.end && (stream[nal.header + 1] & 0x80) != 0;
}

bool is_annex_b(std::span<const std::uint8_t> bytes) {
  const bool starts_with_code = (bytes.size() >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1) ||
                                (bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1);
  if (!starts_with_code) return false;
  bool valid = true;
  for_each_nal(bytes, [&](const NalUnit& nal) {
    valid = valid && nal.header < nal.end && (bytes[nal.header] & 0x80) == 0 && nal.type != 0;
  });
  return valid;
}

std::size_t picture_count(std::span<const std::uint8_t> stream) {
  std::size_t pictures = 0;
  for_each_nal(stream, [&](const NalUnit& nal) {
    if (is_slice(nal.type) && starts_picture(stream, nal)) ++pictures;
  });
  return pictures;
}

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
