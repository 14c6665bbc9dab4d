// Turns the view window's pointer and keyboard events into input-pipe
// messages: positions to 0..65535 over the picture (the window's scaling
// undone), moves coalesced to one message per 8 ms at most, the wheel one
// message per notch, keys by name. Remembers what is held so that it can
// release it when the window loses the keyboard or the program ends.
// Used on the window's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "input_messages.h"
#include "view/window_event.h"

namespace halvorine::client {

inline constexpr std::chrono::milliseconds kMoveInterval{8};

class InputForwarder {
 public:
  // Takes each message for the input pipe; must not block.
  using Send = std::function<void(const InputMessage&)>;
  InputForwarder(const Clock& clock, Send send) : clock_(clock), send_(std::move(send)) {}

  // `width` x `height`: the client area the picture fills.
  void handle(const WindowEvent& event, int width, int height);
  // Sends a coalesced move whose time has come.
  void tick();
  // When tick() has something to send; nullopt when nothing waits.
  std::optional<Clock::MonotonicTime> next_tick() const;
  // Releases every key and button still held.
  void release_all();

 private:
  struct Position {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
  };
  static Position normalise(int x, int y, int width, int height);
  void send_mouse(Position at, std::uint8_t button, bool pressed, std::int8_t scroll);

  const Clock& clock_;
  Send send_;
  Position last_{};
  std::optional<Position> pending_move_;
  std::optional<Clock::MonotonicTime> last_move_sent_;
  std::vector<std::string_view> held_keys_;
  unsigned held_buttons_ = 0;  // bit N: wire button N
  std::set<unsigned> nameless_reported_;
};

}  // namespace halvorine::client
