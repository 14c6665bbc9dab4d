// The input pipe's wire messages as halvorine-client writes them, from a
// small text language (one message per line or argument):
//   key NAME down|up
//   mouse X Y [button=N] [down|up] [scroll=N] [unused=N]
//   hex BYTES...            raw bytes, e.g. "hex 01 80 00" or "hex 018000"
//   sleep MS                pause before the next message (nothing is sent)
// Integers are big-endian on the wire; scroll is -128..127.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace halvorine::client {

struct ClientMessage {
  std::vector<std::uint8_t> bytes;        // what to write (may be empty)
  std::chrono::milliseconds pause{0};     // for "sleep"
};

// Parses one message; the error says what is wrong with it.
std::expected<ClientMessage, std::string> parse_client_message(std::string_view text);

std::vector<std::uint8_t> encode_key(std::string_view name, bool pressed);
std::vector<std::uint8_t> encode_mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button,
                                       bool pressed, std::int8_t scroll, std::uint8_t unused = 0);

}  // namespace halvorine::client
