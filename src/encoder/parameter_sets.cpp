#include "encoder/parameter_sets.h"

#include <vector>

#include "encoder/annex_b.h"

namespace halvorine {
namespace {

constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

bool is_vcl(int type) { return type >= kNalTypeSlice && type <= kNalTypeIdrSlice; }

// NAL unit types that, after a slice, open the next access unit.
bool opens_access_unit(int type) {
  return (type >= kNalTypeSei && type <= kNalTypeAccessUnitDelimiter) || (type >= 14 && type <= 18);
}

}  // namespace

void ParameterSets::note(std::span<const std::uint8_t> stream) {
  for_each_nal(stream, [&](const NalUnit& nal) {
    if (nal.type != kNalTypeSps && nal.type != kNalTypePps) return;
    const std::size_t length = nal.end - nal.header;
    if (length < 2 || length > kMaxBytes) return;
    EncodedFrame& kept = nal.type == kNalTypeSps ? sps_ : pps_;
    kept.assign(std::begin(kStartCode), std::end(kStartCode));
    kept.insert(kept.end(), stream.begin() + static_cast<std::ptrdiff_t>(nal.header),
                stream.begin() + static_cast<std::ptrdiff_t>(nal.end));
  });
}

EncodedFrame ParameterSets::bytes() const {
  EncodedFrame out = sps_;
  out.insert(out.end(), pps_.begin(), pps_.end());
  return out;
}

bool ParameterSets::complete_key_frames(EncodedFrame& stream) const {
  // Where to insert, and what: found first, applied afterwards.
  struct Insertion {
    std::size_t at;
    bool sps;
    bool pps;
  };
  std::vector<Insertion> insertions;
  std::size_t unit_start = 0;
  bool after_slice = false;
  bool has_sps = false;
  bool has_pps = false;
  for_each_nal(stream, [&](const NalUnit& nal) {
    const bool new_picture = is_vcl(nal.type) && after_slice && starts_picture(stream, nal);
    if ((after_slice && opens_access_unit(nal.type)) || new_picture) {
      unit_start = nal.start;
      has_sps = has_pps = false;
    }
    if (unit_start == nal.start && nal.type == kNalTypeAccessUnitDelimiter) {
      unit_start = nal.end;  // parameter sets go after the delimiter
    }
    has_sps = has_sps || nal.type == kNalTypeSps;
    has_pps = has_pps || nal.type == kNalTypePps;
    if (nal.type == kNalTypeIdrSlice && starts_picture(stream, nal) && !(has_sps && has_pps)) {
      insertions.push_back({unit_start, !has_sps, !has_pps});
      has_sps = has_pps = true;
    }
    after_slice = is_vcl(nal.type);
  });
  if (insertions.empty()) return true;
  if (!complete()) return false;
  EncodedFrame out;
  out.reserve(stream.size() + insertions.size() * (sps_.size() + pps_.size()));
  std::size_t copied = 0;
  for (const Insertion& insertion : insertions) {
    out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied),
               stream.begin() + static_cast<std::ptrdiff_t>(insertion.at));
    if (insertion.sps) out.insert(out.end(), sps_.begin(), sps_.end());
    if (insertion.pps) out.insert(out.end(), pps_.begin(), pps_.end());
    copied = insertion.at;
  }
  out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(copied), stream.end());
  stream = std::move(out);
  return true;
}

}  // namespace halvorine
