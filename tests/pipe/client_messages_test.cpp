// halvorine-client's message language: what other tests script it with.
#include "input_messages.h"

#include <gtest/gtest.h>

namespace halvorine::client {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) {
  auto message = parse_client_message(text);
  EXPECT_TRUE(message) << text << ": " << (message ? "" : message.error());
  return message ? message->bytes : Bytes{};
}

TEST(ClientMessages, EncodeTheWireFormat) {
  EXPECT_EQ(bytes_of("mouse 32768 16384 button=1 down scroll=-1"),
            (Bytes{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF}));
  EXPECT_EQ(bytes_of("  mouse 1 2  "), (Bytes{0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bytes_of("mouse 0 65535 unused=171 up button=3"),
            (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0xAB, 0x00}));
  EXPECT_EQ(bytes_of("key Enter up"), (Bytes{0x02, 0x00, 0x00, 0x05, 'E', 'n', 't', 'e', 'r'}));
  EXPECT_EQ(bytes_of("key KeyA down"), (Bytes{0x02, 0x01, 0x00, 0x04, 'K', 'e', 'y', 'A'}));
  EXPECT_EQ(bytes_of("hex 01 80 00"), (Bytes{0x01, 0x80, 0x00}));
  EXPECT_EQ(bytes_of("hex 0a0B ff"), (Bytes{0x0A, 0x0B, 0xFF}));
  const auto pause = parse_client_message("sleep 250");
  ASSERT_TRUE(pause);
  EXPECT_TRUE(pause->bytes.empty());
  EXPECT_EQ(pause->pause, std::chrono::milliseconds(250));
}

TEST(ClientMessages, RejectMistakesWithAReason) {
  for (const char* text : {"", "key", "key KeyA", "key KeyA sideways", "mouse 1", "mouse 65536 0",
                           "mouse -1 0", "mouse 1 2 scroll=128", "mouse 1 2 button=256",
                           "mouse 1 2 click", "hex 1", "hex zz", "sleep", "sleep soon", "jump 1 2"}) {
    const auto message = parse_client_message(text);
    ASSERT_FALSE(message) << text;
    EXPECT_FALSE(message.error().empty()) << text;
  }
}

}  // namespace
}  // namespace halvorine::client
