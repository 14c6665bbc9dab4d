// The latest sequence and picture parameter sets of one encoder's stream,
// and their use: put in front of a key frame that comes without them, so a
// decoder can start there. Transforms differ in where they put them: in every
// IDR, only in the first one, or only in their output type.
//
// Threading: one thread (the encoder's).
#pragma once

#include <cstdint>
#include <span>

#include "encoder/encoded_frame.h"

namespace halvorine {

class ParameterSets {
 public:
  // A parameter set longer than this is no parameter set (a faulty encoder).
  static constexpr std::size_t kMaxBytes = 4096;

  void clear() {
    sps_.clear();
    pps_.clear();
  }
  // Both kinds are known.
  bool complete() const { return !sps_.empty() && !pps_.empty(); }

  // Keeps the last SPS and the last PPS of `stream` (Annex-B).
  void note(std::span<const std::uint8_t> stream);

  // The kept SPS and PPS, each behind a 4-byte start code.
  EncodedFrame bytes() const;

  // Puts the kept SPS and/or PPS in front of every IDR picture of `stream`
  // whose access unit lacks them (after its delimiter, if it has one). False
  // when such a picture was found and nothing could be put in front of it.
  bool complete_key_frames(EncodedFrame& stream) const;

 private:
  EncodedFrame sps_;  // each with its 4-byte start code
  EncodedFrame pps_;
};

}  // namespace halvorine
