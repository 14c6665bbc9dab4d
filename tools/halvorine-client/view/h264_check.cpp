#include "view/h264_check.h"

#include <algorithm>

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

}  // namespace halvorine::client
