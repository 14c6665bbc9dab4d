#include "bin/worker/pipe/input_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorine {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
  std::vector<InputEvent> events;
  int dropped = 0;
  std::string end;  // the line the server logs when the connection ends
  friend bool operator==(const Decoded&, const Decoded&) = default;
};

// Decodes `stream` delivered in pieces of `chunk` bytes, then an end of stream.
Decoded decode(const Bytes& stream, std::size_t chunk) {
  Decoded out;
  InputDecoder decoder;
  std::span<const std::uint8_t> rest(stream);
  while (out.end.empty()) {
    if (rest.empty()) {
      out.end = decoder.read_failure_message("early eof");
      break;
    }
    auto input = rest.first(std::min(chunk, rest.size()));
    rest = rest.subspan(input.size());
    for (;;) {
      const auto outcome = decoder.feed(input);
      if (outcome == InputDecoder::Outcome::need_more) break;
      if (outcome == InputDecoder::Outcome::dropped) {
        ++out.dropped;
        continue;
      }
      if (outcome == InputDecoder::Outcome::violation) {
        out.end = decoder.violation_message();
        break;
      }
      out.events.push_back(std::move(decoder.event()));
    }
  }
  return out;
}

Decoded decode(const Bytes& stream) { return decode(stream, stream.size() + 1); }

Bytes key_message(bool pressed, const std::string& name) {
  Bytes bytes(4 + name.size());
  bytes[0] = 0x02;
  bytes[1] = pressed;
  bytes[2] = static_cast<std::uint8_t>(name.size() >> 8);
  bytes[3] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), bytes.begin() + 4);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(InputDecoder, DecodesTheTwoWireExamples) {
  const auto decoded = decode(Bytes{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF, 0x02,
                                    0x00, 0x00, 0x05, 0x45, 0x6E, 0x74, 0x65, 0x72});
  ASSERT_EQ(decoded.events.size(), 2u);
  EXPECT_EQ(std::get<MouseEvent>(decoded.events[0]), (MouseEvent{32768, 16384, 1, true, -1}));
  EXPECT_EQ(std::get<KeyEvent>(decoded.events[1]), (KeyEvent{"Enter", false}));
  EXPECT_EQ(decoded.end, "read type byte error: early eof");
}

TEST(InputDecoder, UnusedByteAndNonZeroPressedValuesAreAccepted) {
  const auto decoded = decode(Bytes{0x01, 0xFF, 0xFF, 0x00, 0x00, 0x07, 0x80, 0xAB, 0x7F});
  ASSERT_EQ(decoded.events.size(), 1u);
  EXPECT_EQ(std::get<MouseEvent>(decoded.events[0]), (MouseEvent{65535, 0, 7, true, 127}));
  EXPECT_EQ(std::get<MouseEvent>(decode(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0x80}).events[0]).scroll, -128);
}

TEST(InputDecoder, KeyNameLengthLimits) {
  EXPECT_EQ(decode(key_message(true, "")).events, (std::vector<InputEvent>{KeyEvent{"", true}}));

  const std::string longest(64, 'K');
  EXPECT_EQ(decode(key_message(true, longest)).events,
            (std::vector<InputEvent>{KeyEvent{longest, true}}));

  // 65 aborts at the header: the name is never read, so even a stream that
  // ends right after the header reports the length, not a short read.
  const auto too_long = decode(Bytes{0x02, 0x01, 0x00, 0x41});
  EXPECT_TRUE(too_long.events.empty());
  EXPECT_EQ(too_long.end, "key_len 65 exceeds 64 — aborting");
  EXPECT_EQ(decode(Bytes{0x02, 0x01, 0xFF, 0xFF}).end, "key_len 65535 exceeds 64 — aborting");
}

TEST(InputDecoder, InvalidUtf8NameIsDroppedAndTheConnectionGoesOn) {
  const auto decoded = decode(concat({key_message(true, "\xC3\x28"), key_message(true, "\xED\xA0\x80"),
                                      key_message(false, "KeyA")}));
  EXPECT_EQ(decoded.dropped, 2);
  EXPECT_EQ(decoded.events, (std::vector<InputEvent>{KeyEvent{"KeyA", false}}));
  EXPECT_EQ(decoded.end, "read type byte error: early eof");
  // Multi-byte UTF-8 is a valid name, passed on as is.
  EXPECT_EQ(decode(key_message(true, "Zürich")).events,
            (std::vector<InputEvent>{KeyEvent{"Zürich", true}}));
}

TEST(InputDecoder, UnknownTypeBytesCloseTheConnection) {
  EXPECT_EQ(decode(Bytes{0x00}).end, "unknown type byte 0x00 — closing connection");
  EXPECT_EQ(decode(Bytes{0x07}).end, "unknown type byte 0x07 — closing connection");
  EXPECT_EQ(decode(Bytes{0xFF}).end, "unknown type byte 0xff — closing connection");
  // Events before the bad byte are delivered; nothing after it is read.
  const auto decoded = decode(concat({key_message(true, "KeyA"), Bytes{0x03}, key_message(true, "KeyB")}));
  EXPECT_EQ(decoded.events, (std::vector<InputEvent>{KeyEvent{"KeyA", true}}));
  EXPECT_EQ(decoded.end, "unknown type byte 0x03 — closing connection");
}

TEST(InputDecoder, StreamEndingInsideAMessageNamesThePartThatWasCut) {
  EXPECT_EQ(decode(Bytes{0x01, 0x80, 0x00}).end, "read mouse payload error");
  EXPECT_EQ(decode(Bytes{0x01}).end, "read mouse payload error");
  EXPECT_EQ(decode(Bytes{0x02, 0x01}).end, "read key header error");
  EXPECT_EQ(decode(Bytes{0x02, 0x01, 0x00, 0x04, 'K', 'e'}).end, "read key bytes error");
  EXPECT_EQ(decode(Bytes{0x02, 0x01, 0x00, 0x04}).end, "read key bytes error");
  InputDecoder fresh;
  EXPECT_EQ(fresh.read_failure_message("Broken pipe (os error 32)"),
            "read type byte error: Broken pipe (os error 32)");
}

TEST(InputDecoder, AnySplitDecodesLikeOneWrite) {
  const Bytes stream = concat({Bytes{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF},
                               key_message(true, "ShiftLeft"), key_message(true, ""),
                               key_message(true, "\xFF"), Bytes{0x01, 0, 1, 0, 2, 0, 0, 0, 0},
                               key_message(false, std::string(64, 'x')), Bytes{0x02, 0x00}});
  const Decoded whole = decode(stream);
  ASSERT_EQ(whole.events.size(), 5u);
  EXPECT_EQ(whole.dropped, 1);
  EXPECT_EQ(whole.end, "read key header error");
  for (std::size_t chunk = 1; chunk <= 20; ++chunk) {
    EXPECT_EQ(decode(stream, chunk), whole) << "chunk " << chunk;
  }
}

TEST(InputDecoder, MouseLogLineOnlyForButtonsAndWheel) {
  EXPECT_EQ(mouse_log_line(MouseEvent{32768, 16384, 1, true, -1}),
            "MOUSE recv nx=32768 ny=16384 → inject abs_x=32768 abs_y=16384 btn=1 pressed=true "
            "scroll=-1");
  EXPECT_EQ(mouse_log_line(MouseEvent{5, 6, 0, true, 0}), "");
  EXPECT_EQ(mouse_log_line(MouseEvent{5, 6, 0, false, 1}),
            "MOUSE recv nx=5 ny=6 → inject abs_x=5 abs_y=6 btn=0 pressed=false scroll=1");
}

}  // namespace
}  // namespace halvorine
