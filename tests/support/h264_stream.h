// A stand-in encoder's pictures as NAL units that carry what a decoder needs
// to place a picture (the first slice's first_mb bit, frame_num in a byte of
// its own), and the rule of tests/secure/host/h264_continuity.py over them:
// a stream decodes from its start when its first picture is an IDR with a
// sequence and a picture parameter set before it, and every later P-frame's
// frame_num follows the previous picture's (an IDR starting over).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace halvorine::testing {

using Bytes = std::vector<std::uint8_t>;

class TestPictures {
 public:
  static Bytes sps() { return {0, 0, 0, 1, 0x67, 0x42, 0x80}; }
  static Bytes pps() { return {0, 0, 0, 1, 0x68, 0xCE, 0x80}; }
  // The next picture; `with_sets` puts SPS and PPS before an IDR.
  Bytes next(bool key, bool with_sets = true) {
    frame_num_ = key ? 0 : (frame_num_ + 1) % 16;
    Bytes out = key && with_sets ? sps() : Bytes{};
    // Byte by byte: GCC 12 sees a false out-of-bounds copy in range inserts here.
    for (const std::uint8_t b : key && with_sets ? pps() : Bytes{}) out.push_back(b);
    const int header = key ? 0x65 : 0x41, count = 0x80 | (count_++ & 0x7F);  // never a zero byte
    for (const int b : {0, 0, 0, 1, header, 0x80, 0x10 | frame_num_, count}) out.push_back(static_cast<std::uint8_t>(b));
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
  for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const int kind = stream[i + 3] & 0x1F;
    sps = sps || kind == 7;
    pps = pps || kind == 8;
    const bool first_slice = i + 5 < stream.size() && (stream[i + 4] & 0x80) != 0;
    if ((kind == 1 || kind == 5) && first_slice) {
      const int frame_num = stream[i + 5] & 0x0F;
      if (!sps || !pps) return "picture " + std::to_string(pictures) + " has no parameter sets before it";
      const int expected = kind == 5 ? 0 : previous < 0 ? -1 : (previous + 1) % 16;
      if (frame_num != expected) {
        return "picture " + std::to_string(pictures) + " has frame_num " + std::to_string(frame_num) +
               ", expected " + std::to_string(expected) + ": a picture it depends on is missing";
      }
      previous = frame_num;
      ++pictures;
    }
    i += 3;
  }
  return pictures == 0 ? "no picture" : "";
}

}  // namespace halvorine::testing
