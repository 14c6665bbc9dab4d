#include "view/h264_check.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

namespace halvorine::client {
namespace {

// Calls visit(header byte, offset) for each NAL unit; false when the record
// does not start with a start code (leading zero bytes allowed) or a unit is
// empty. Stops early when visit returns false.
template <typename Visit>
bool for_each_nal(std::span<const std::uint8_t> record, std::string* problem, Visit visit) {
  std::size_t zeros = 0;
  while (zeros < record.size() && record[zeros] == 0) ++zeros;
  if (zeros < 2 || zeros == record.size() || record[zeros] != 1) {
    if (problem) *problem = "it does not start with a start code (00 00 01)";
    return false;
  }
  std::size_t pos = zeros + 1;
  const auto* data = record.data();
  for (;;) {
    if (pos >= record.size()) {
      if (problem) *problem = fmt::format("an empty NAL unit at the end (byte {})", pos);
      return false;
    }
    if (!visit(data[pos], pos)) return true;
    // The next start code: 00 00 01 (a fourth, leading zero belongs to it).
    std::size_t next = pos + 1;
    for (;;) {
      const auto* one = std::find(data + next, data + record.size(), std::uint8_t{1});
      next = static_cast<std::size_t>(one - data);
      if (next >= record.size()) return true;
      if (next >= pos + 3 && data[next - 1] == 0 && data[next - 2] == 0) break;
      ++next;
    }
    pos = next + 1;
  }
}

// Reads a NAL unit's payload bit by bit, skipping the emulation prevention
// bytes (00 00 03). Reading past the end gives zeros and marks it overrun.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  unsigned bit() {
    if (bit_ == 0) {
      if (pos_ >= bytes_.size()) {
        overrun_ = true;
        return 0;
      }
      current_ = bytes_[pos_];
      zeros_ = current_ == 0 ? zeros_ + 1 : 0;
      ++pos_;
      if (zeros_ == 2 && pos_ < bytes_.size() && bytes_[pos_] == 3) {
        ++pos_;
        zeros_ = 0;
      }
      bit_ = 8;
    }
    --bit_;
    return (current_ >> bit_) & 1;
  }
  unsigned bits(int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i) value = value << 1 | bit();
    return value;
  }
  // ue(v), up to 2^32 - 2; longer codes mark the reader overrun.
  std::uint32_t unsigned_code() {
    int zeros = 0;
    while (bit() == 0) {
      if (overrun_ || ++zeros > 31) {
        overrun_ = true;
        return 0;
      }
    }
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + bits(zeros));
  }
  std::int64_t signed_code() {
    const std::uint32_t code = unsigned_code();
    return code % 2 == 1 ? (std::int64_t{code} + 1) / 2 : -std::int64_t{code} / 2;
  }
  bool overrun() const { return overrun_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  int bit_ = 0;
  int zeros_ = 0;
  std::uint8_t current_ = 0;
  bool overrun_ = false;
};

void skip_scaling_list(BitReader& reader, int size) {
  std::int64_t last = 8, next = 8;
  for (int j = 0; j < size && next != 0 && !reader.overrun(); ++j) {
    next = (last + reader.signed_code() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

// The sequence parameter set (without its NAL header) against the limits.
std::string check_sequence(std::span<const std::uint8_t> payload) {
  BitReader reader(payload);
  const unsigned profile = reader.bits(8);
  reader.bits(16);  // constraint flags, level
  reader.unsigned_code();  // seq_parameter_set_id
  constexpr unsigned kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  if (std::ranges::find(kHighProfiles, profile) != std::end(kHighProfiles)) {
    const std::uint32_t chroma_format = reader.unsigned_code();
    if (chroma_format == 3) reader.bit();  // separate_colour_plane_flag
    reader.unsigned_code();                // bit depths
    reader.unsigned_code();
    reader.bit();  // qpprime_y_zero_transform_bypass_flag
    if (reader.bit() == 1) {  // seq_scaling_matrix_present_flag
      for (int i = 0; i < (chroma_format == 3 ? 12 : 8) && !reader.overrun(); ++i) {
        if (reader.bit() == 1) skip_scaling_list(reader, i < 6 ? 16 : 64);
      }
    }
  }
  reader.unsigned_code();  // log2_max_frame_num_minus4
  const std::uint32_t order_type = reader.unsigned_code();
  if (order_type == 0) {
    reader.unsigned_code();
  } else if (order_type == 1) {
    reader.bit();
    reader.signed_code();
    reader.signed_code();
    const std::uint32_t cycle = reader.unsigned_code();
    if (cycle > 255) return fmt::format("a picture order cycle of {} frames", cycle);
    for (std::uint32_t i = 0; i < cycle && !reader.overrun(); ++i) reader.signed_code();
  }
  const std::uint64_t references = reader.unsigned_code();
  reader.bit();  // gaps_in_frame_num_value_allowed_flag
  const std::uint64_t width_mbs = std::uint64_t{reader.unsigned_code()} + 1;
  const std::uint64_t height_units = std::uint64_t{reader.unsigned_code()} + 1;
  const std::uint64_t height_mbs = height_units * (reader.bit() == 1 ? 1 : 2);  // frame_mbs_only_flag
  if (reader.overrun()) return "a sequence parameter set that ends too early";
  const std::uint64_t width = width_mbs * 16, height = height_mbs * 16;
  if (std::max(width, height) > kMaxLongSide || std::min(width, height) > kMaxShortSide) {
    return fmt::format("pictures of {}x{}, larger than {}x{}", width, height, kMaxLongSide, kMaxShortSide);
  }
  if (references * width_mbs * height_mbs > kMaxReferenceMacroblocks) {
    return fmt::format("{} reference frames of {}x{}, more than the {} macroblocks of level 5.1", references, width,
                       height, kMaxReferenceMacroblocks);
  }
  return {};
}

}  // namespace

std::string h264_problem(std::span<const std::uint8_t> record) {
  std::string problem;
  for_each_nal(record, &problem, [&](std::uint8_t header, std::size_t offset) {
    const unsigned type = header & 0x1F;
    if ((header & 0x80) != 0) {
      problem = fmt::format("the NAL unit at byte {} has its forbidden bit set (header 0x{:02x})", offset, header);
    } else if (type == 0 || type > 23) {
      problem = fmt::format("the NAL unit at byte {} has type {}, which H.264 does not define", offset, type);
    }
    return problem.empty();
  });
  return problem;
}

bool holds_key_frame(std::span<const std::uint8_t> record) {
  bool found = false;
  for_each_nal(record, nullptr, [&](std::uint8_t header, std::size_t) {
    found = (header & 0x1F) == 5;
    return !found;
  });
  return found;
}


std::string sequence_problem(std::span<const std::uint8_t> record) {
  std::string problem;
  for_each_nal(record, nullptr, [&](std::uint8_t header, std::size_t offset) {
    if ((header & 0x1F) != 7) return true;
    // The unit runs to the next start code or the record's end.
    auto rest = record.subspan(offset + 1);
    for (std::size_t i = 0; i + 2 < rest.size(); ++i) {
      if (rest[i] == 0 && rest[i + 1] == 0 && rest[i + 2] == 1) {
        rest = rest.first(i);
        break;
      }
    }
    problem = check_sequence(rest);
    return problem.empty();
  });
  return problem;
}

}  // namespace halvorine::client
