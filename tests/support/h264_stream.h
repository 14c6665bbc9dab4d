// Stand-in H.264 pictures with what a decoder needs to place them (first_mb
// in the slice's first byte, frame_num in the next one's low bits, the stream
// type they belong to in its high bits), and the rule of
// tests/secure/host/h264_continuity.py over them: a stream decodes from its
// start when it starts on an IDR with SPS and PPS before it and every later
// P-frame's frame_num follows the previous picture's. Beyond that rule, a
// picture must follow the SPS of its own stream type when that SPS names one
// (an encoder's new output type changes its parameter sets: older ones decode
// its pictures wrongly).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halvorine::testing {

using Bytes = std::vector<std::uint8_t>;

class TestPictures {
 public:
  // The parameter sets of stream type `type` (0 to 14).
  static Bytes sets(int type = 0) {
    return {0, 0, 0, 1, 0x67, 0x42, static_cast<std::uint8_t>(0x80 | type), 0, 0, 0, 1, 0x68, 0xCE, 0x80};
  }
  Bytes sets_now() const { return sets(type_); }
  // The next picture; `with_sets` puts SPS and PPS before an IDR. `tag`, when
  // given, follows the slice header (what the picture was made of).
  Bytes next(bool key, bool with_sets = true, std::optional<std::size_t> tag = std::nullopt) {
    frame_num_ = key ? 0 : (frame_num_ + 1) % 16;
    Bytes out = key && with_sets ? sets(type_) : Bytes{};
    const int count = 0x80 | (count_++ & 0x7F);  // a byte never zero
    for (const int b : {0, 0, 0, 1, key ? 0x65 : 0x41, 0x80, (type_ + 1) << 4 | frame_num_, count}) {
      out.push_back(static_cast<std::uint8_t>(b));
    }
    for (int shift = 0; tag && shift < 21; shift += 7) {
      out.push_back(static_cast<std::uint8_t>(0x80 | (*tag >> shift & 0x7F)));
    }
    return out;
  }
  // Pictures from now on are of a new stream type (a new output type).
  void new_type() { type_ = (type_ + 1) % 15; }

 private:
  int frame_num_ = 0;
  int count_ = 0;
  int type_ = 0;
};

// The tag of the first picture of `stream` (see TestPictures::next), if it has one.
inline std::optional<std::size_t> first_picture_tag(std::span<const std::uint8_t> stream) {
  for (std::size_t i = 0; i + 9 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const int kind = stream[i + 3] & 0x1F;
    if (kind != 1 && kind != 5) continue;
    std::size_t tag = 0;
    for (int k = 0; k < 3; ++k) {
      if ((stream[i + 7 + k] & 0x80) == 0) return std::nullopt;
      tag |= std::size_t{stream[i + 7 + k] & 0x7FU} << (7 * k);
    }
    return tag;
  }
  return std::nullopt;
}

// Empty when `stream` decodes from its start (see above), else what is wrong.
inline std::string continuity_error(std::span<const std::uint8_t> stream) {
  bool sps = false, pps = false;
  int pictures = 0, previous = -1, type = -1;  // -1: an SPS that names no type
  for (std::size_t i = 0; i + 5 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const int kind = stream[i + 3] & 0x1F, frame_num = stream[i + 5] & 0x0F;
    sps = sps || kind == 7;
    pps = pps || kind == 8;
    if (kind == 7) type = (stream[i + 5] & 0xF0) == 0x80 ? stream[i + 5] & 0x0F : -1;
    if ((kind == 1 || kind == 5) && (stream[i + 4] & 0x80) != 0) {
      const std::string picture = "picture " + std::to_string(pictures++);
      if (!sps || !pps) return picture + " has no parameter sets before it";
      if (type >= 0 && (stream[i + 5] >> 4) - 1 != type) {
        return picture + " is of stream type " + std::to_string((stream[i + 5] >> 4) - 1) +
               " after the parameter sets of type " + std::to_string(type);
      }
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
