#include "bin/worker/pipe/input_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<InputEvent>;

struct Decoded {
  Events events;
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
      } else if (outcome == InputDecoder::Outcome::violation) {
        out.end = decoder.violation_message();
        break;
      } else {
        out.events.push_back(std::move(decoder.event()));
      }
    }
  }
  return out;
}

Bytes key(bool pressed, const std::string& name) {
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

// Every stream gives the same outcome in one write and split at any size.
TEST(InputDecoder, StreamsDecodeAlikeHoweverTheyAreSplit) {
  const std::string eof = "read type byte error: early eof", longest(64, 'K');
  const struct {
    Bytes stream;
    Decoded expected;
  } cases[] = {
      // The two wire examples.
      {{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF, 0x02, 0x00, 0x00, 0x05, 'E', 'n', 't', 'e', 'r'},
       {{MouseEvent{32768, 16384, 1, true, -1}, KeyEvent{"Enter", false}}, 0, eof}},
      // The unused byte and any non-zero pressed value are accepted; scroll is signed.
      {{0x01, 0xFF, 0xFF, 0x00, 0x00, 0x07, 0x80, 0xAB, 0x7F, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80},
       {{MouseEvent{65535, 0, 7, true, 127}, MouseEvent{0, 0, 0, false, -128}}, 0, eof}},
      // Names of 0 to 64 bytes; multi-byte UTF-8 passes as it is.
      {concat({key(true, ""), key(true, longest), key(true, "Zürich")}),
       {{KeyEvent{"", true}, KeyEvent{longest, true}, KeyEvent{"Zürich", true}}, 0, eof}},
      // 65 aborts at the header: the name is never read, so even a stream
      // that ends right after it reports the length, not a short read.
      {{0x02, 0x01, 0x00, 0x41}, {{}, 0, "key_len 65 exceeds 64 — aborting"}},
      {{0x02, 0x01, 0xFF, 0xFF}, {{}, 0, "key_len 65535 exceeds 64 — aborting"}},
      // A name that is not UTF-8 is dropped and the connection goes on.
      {concat({key(true, "\xC3\x28"), key(true, "\xED\xA0\x80"), key(false, "KeyA")}),
       {{KeyEvent{"KeyA", false}}, 2, eof}},
      // An unknown type byte ends it: what came before is delivered, nothing after is read.
      {{0x00}, {{}, 0, "unknown type byte 0x00 — closing connection"}},
      {{0xFF}, {{}, 0, "unknown type byte 0xff — closing connection"}},
      {concat({key(true, "KeyA"), Bytes{0x03}, key(true, "KeyB")}),
       {{KeyEvent{"KeyA", true}}, 0, "unknown type byte 0x03 — closing connection"}},
      // A stream that ends inside a message names the part that was cut.
      {{0x01}, {{}, 0, "read mouse payload error"}},
      {{0x01, 0x80, 0x00}, {{}, 0, "read mouse payload error"}},
      {{0x02, 0x01}, {{}, 0, "read key header error"}},
      {{0x02, 0x01, 0x00, 0x04}, {{}, 0, "read key bytes error"}},
      {{0x02, 0x01, 0x00, 0x04, 'K', 'e'}, {{}, 0, "read key bytes error"}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk = 1; chunk <= c.stream.size(); ++chunk) {
      ASSERT_EQ(decode(c.stream, chunk), c.expected) << "case " << (&c - cases) << ", chunk " << chunk;
    }
  }
  EXPECT_EQ(InputDecoder().read_failure_message("Broken pipe (os error 32)"),
            "read type byte error: Broken pipe (os error 32)");
}

}  // namespace
}  // namespace halvorine
