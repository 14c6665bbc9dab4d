// A stand-in encoder's pictures in real H.264 syntax (as far as a decoder
// reads to place a picture: parameter set ids, slice type, frame_num), and
// the check a GUI's decoder needs: the stream starts on an IDR with its
// parameter sets, and no reference picture is missing (frame_num has no gap).
// The same rule as tests/secure/host/h264_continuity.py, for tests in C++.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace halvorine::testing {

using Bytes = std::vector<std::uint8_t>;

class BitWriter {
 public:
  void u(int bits, std::uint32_t value) {
    for (int i = bits - 1; i >= 0; --i) put((value >> i) & 1);
  }
  void ue(std::uint32_t value) {
    const std::uint32_t x = value + 1;
    int length = 0;
    while ((x >> length) > 1) ++length;
    u(length, 0);
    u(length + 1, x);
  }
  // rbsp_stop_one_bit and alignment.
  Bytes finish() {
    put(1);
    while (used_ != 0) put(0);
    return bytes_;
  }

 private:
  void put(std::uint32_t bit) {
    if (used_ == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<std::uint8_t>(bit << (7 - used_));
    used_ = (used_ + 1) % 8;
  }
  Bytes bytes_;
  int used_ = 0;
};

// One encoder's pictures: frame_num counts from each IDR, 4 bits wide.
class TestPictures {
 public:
  static Bytes nal(std::uint8_t header, const Bytes& payload) {
    // Byte by byte: GCC 12 sees a false out-of-bounds copy in a range insert here.
    Bytes out{0, 0, 0, 1, header};
    for (const std::uint8_t byte : payload) out.push_back(byte);
    return out;
  }
  static Bytes sps() {
    BitWriter w;
    w.u(8, 66);  // baseline
    w.u(16, 30);
    w.ue(0);     // seq_parameter_set_id
    w.ue(0);     // log2_max_frame_num_minus4
    return nal(0x67, w.finish());
  }
  static Bytes pps() {
    BitWriter w;
    w.ue(0);  // pic_parameter_set_id
    w.ue(0);  // seq_parameter_set_id
    return nal(0x68, w.finish());
  }
  // The next picture, an IDR or a P-frame; `with_sets`: SPS and PPS before
  // an IDR.
  Bytes next(bool key, bool with_sets = true) {
    frame_num_ = key ? 0 : (frame_num_ + 1) % 16;
    BitWriter w;
    w.ue(0);              // first_mb_in_slice
    w.ue(key ? 7 : 5);    // slice_type I / P
    w.ue(0);              // pic_parameter_set_id
    w.u(4, frame_num_);
    w.u(8, 0x80 | (count_++ & 0x7F));  // which picture, never a zero byte
    Bytes out = key && with_sets ? sps() : Bytes{};
    if (key && with_sets) {
      const Bytes p = pps();
      out.insert(out.end(), p.begin(), p.end());
    }
    const Bytes slice = nal(key ? 0x65 : 0x41, w.finish());
    out.insert(out.end(), slice.begin(), slice.end());
    return out;
  }

 private:
  std::uint32_t frame_num_ = 0;
  std::uint32_t count_ = 0;
};

// Empty when `stream` decodes from its start: its first picture an IDR whose
// parameter sets came before it, every later one's frame_num the previous
// reference picture's plus one (an IDR starting over). Otherwise what is
// wrong. Reads baseline parameter sets only (what TestPictures writes).
inline std::string continuity_error(std::span<const std::uint8_t> stream) {
  struct Reader {
    std::span<const std::uint8_t> data;
    std::size_t pos = 0;
    std::uint32_t u(int n) {
      std::uint32_t v = 0;
      for (int i = 0; i < n; ++i, ++pos) {
        const std::size_t byte = pos >> 3;
        v = v << 1 | (byte < data.size() ? (data[byte] >> (7 - (pos & 7))) & 1 : 0);
      }
      return v;
    }
    std::uint32_t ue() {
      int zeros = 0;
      while (u(1) == 0 && zeros < 32) ++zeros;
      return (1U << zeros) - 1 + u(zeros);
    }
  };
  std::vector<std::span<const std::uint8_t>> units;
  std::size_t begin = std::string::npos;
  for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    if (begin != std::string::npos) units.push_back(stream.subspan(begin, i - begin));
    begin = i + 3;
    i += 2;
  }
  if (begin != std::string::npos) units.push_back(stream.subspan(begin));
  std::map<std::uint32_t, std::uint32_t> sps_bits, pps_sps;
  int pictures = 0;
  int previous = -1;
  for (auto unit : units) {
    while (!unit.empty() && unit.back() == 0) unit = unit.first(unit.size() - 1);
    if (unit.empty()) continue;
    const int ref = unit[0] >> 5 & 3, kind = unit[0] & 0x1F;
    Reader r{unit.subspan(1)};
    if (kind == 7) {
      r.u(24);
      const std::uint32_t id = r.ue();
      sps_bits[id] = r.ue() + 4;
    } else if (kind == 8) {
      const std::uint32_t id = r.ue();
      pps_sps[id] = r.ue();
    } else if ((kind == 1 || kind == 5) && r.ue() == 0) {
      r.ue();
      const auto pps = pps_sps.find(r.ue());
      if (pps == pps_sps.end() || !sps_bits.contains(pps->second)) {
        return "picture " + std::to_string(pictures) + " has no parameter sets before it";
      }
      const std::uint32_t bits = sps_bits[pps->second];
      const int frame_num = static_cast<int>(r.u(static_cast<int>(bits)));
      const int expected = kind == 5 ? 0 : previous < 0 ? -1 : (previous + 1) % (1 << bits);
      if (frame_num != expected) {
        return "picture " + std::to_string(pictures) + (kind == 5 ? " (IDR)" : " (P)") +
               " has frame_num " + std::to_string(frame_num) + ", expected " +
               std::to_string(expected) + ": a picture it depends on is missing";
      }
      if (ref != 0) previous = frame_num;
      ++pictures;
    }
  }
  return pictures == 0 ? "no picture" : "";
}

}  // namespace halvorine::testing
