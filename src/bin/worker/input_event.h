// One decoded message of the input pipe, moved from the pipe server to the
// injection thread through the input channel.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "common/unbounded_channel.h"

namespace halvorine {

struct MouseEvent {
  std::uint16_t x = 0;  // absolute, 0..65535 across the virtual desktop
  std::uint16_t y = 0;
  std::uint8_t button = 0;  // 1 left, 2 right, 3 middle, anything else none
  bool pressed = false;
  std::int32_t scroll = 0;  // wheel steps, -128..127
  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct KeyEvent {
  std::string name;  // W3C KeyboardEvent code value, valid UTF-8, at most 64 bytes
  bool pressed = false;
  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// Who sends the events that follow it, up to the next verdict: the input
// pipe server sends one per connection, once it has identified the client,
// before that connection's first event. Only a client installed beside the
// worker (client_trust.h) drives the secure desktop.
struct ClientVerdict {
  bool trusted = false;
  std::string image;   // the client's image path; empty when it could not be read
  std::string reason;  // why it is not trusted beyond its place, if there is more to say
  friend bool operator==(const ClientVerdict&, const ClientVerdict&) = default;
};

using InputEvent = std::variant<MouseEvent, KeyEvent, ClientVerdict>;

using InputSender = UnboundedSender<InputEvent>;
using InputReceiver = UnboundedReceiver<InputEvent>;

// The input pipe server stops reading its client once this many events wait
// for the injection thread, and reads on when they are down to half: a client
// writing faster than events can be injected then waits in its pipe, and the
// queue (with the releases of a closing connection) stays small: about 15 ms
// of injection at the 68 000 moves/s measured on Linux, so the mark adds
// little lag; the half left when the server wakes keeps injection busy.
inline constexpr ChannelWatermarks kInputChannelWatermarks{1024, 512};

inline std::pair<InputSender, InputReceiver> make_input_channel() {
  return make_unbounded_channel<InputEvent>(kInputChannelWatermarks);
}

}  // namespace halvorine
