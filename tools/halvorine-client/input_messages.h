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

// One mouse or key message before it is encoded (the view's input queue
// holds these).
struct InputMessage {
  enum class Kind : std::uint8_t { mouse, key };
  Kind kind = Kind::mouse;
  bool pressed = false;
  std::uint16_t x = 0;  // mouse: 0..65535 over the picture
  std::uint16_t y = 0;
  std::uint8_t button = 0;  // mouse: 0 none, 1 left, 2 right, 3 middle
  std::int8_t scroll = 0;   // mouse: wheel notches
  std::string_view key;     // key: its name; the text outlives the message
  std::uint8_t unused = 0;  // mouse: the wire's spare byte

  static InputMessage mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button = 0, bool pressed = false,
                            std::int8_t scroll = 0) {
    return {Kind::mouse, pressed, x, y, button, scroll, {}};
  }
  static InputMessage key_event(std::string_view name, bool pressed) { return {Kind::key, pressed, 0, 0, 0, 0, name}; }
  // A plain move: no button, no wheel.
  bool is_move() const { return kind == Kind::mouse && button == 0 && scroll == 0; }
  friend bool operator==(const InputMessage&, const InputMessage&) = default;
};

// Appends the message's wire bytes to `out`.
void append_message(const InputMessage& message, std::vector<std::uint8_t>& out);

}  // namespace halvorine::client
