// Stand-in H.264 pictures with what a decoder needs to place them (first_mb
// in the slice's first byte, frame_num in the next one's low bits), and the
// rule of tests/secure/host/h264_continuity.py over them: a stream decodes from
// its start when it starts on an IDR with SPS and PPS before it and every later
// P-frame's frame_num follows the previous picture's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace halvorine::testing {

using Bytes = std::vector<std::uint8_t>;

class TestPictures {
 public:
  static Bytes sets() { return {0, 0, 0, 1, 0x67, 0x42, 0x80, 0, 0, 0, 1, 0x68, 0xCE, 0x80}; }
  // The next picture; `with_sets` puts SPS and PPS before an IDR.
  Bytes next(bool key, bool with_sets = true) {
    frame_num_ = key ? 0 : (frame_num_ + 1) % 16;
    Bytes out = key && with_sets ? sets() : Bytes{};
    const int count = 0x80 | (count_++ & 0x7F);  // a byte never zero
    for (const int b : {0, 0, 0, 1, key ? 0x65 : 0x41, 0x80, 0x10 | frame_num_, count}) {
      out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
  }

 private:
  int frame_num_ = 0;
  int count_ = 0;
};

// Empty when `stream` decodes from its start (see above), else what is wrong.
inline std::string continuity_error(std::span<const std::uint8_t> stream) {
  bool sps = false, pps = false;
  int pictures = 0, previous = -1;
  for (std::size_t i = 0; i + 5 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const int kind = stream[i + 3] & 0x1F, frame_num = stream[i + 5] & 0x0F;
    sps = sps || kind == 7;
    pps = pps || kind == 8;
    if ((kind == 1 || kind == 5) && (stream[i + 4] & 0x80) != 0) {
      const std::string picture = "picture " + std::to_string(pictures++);
      if (!sps || !pps) return picture + " has no parameter sets before it";
      if (kind == 1 && (previous < 0 || frame_num != (previous + 1) % 16)) {
        return picture + " has frame_num " + std::to_string(frame_num) + " after " + std::to_string(previous) +
               ": a picture it depends on is missing";
      }
      previous = frame_num;
    }
    i += 3;
  }
  return pictures == 0 ? "no picture" : "";
}

}  // namespace halvorine::testing
