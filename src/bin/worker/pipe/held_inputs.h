// Keys and mouse buttons a client pressed and has not released yet.
//
// A client that goes away between a press and its release would otherwise
// leave the key or button down on the machine for good (a stuck Ctrl or
// Shift corrupts everything the local user types afterwards). The input
// server notes every event it forwards here and, when the connection ends,
// sends the releases this produces after the connection's last event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "bin/worker/input_event.h"

namespace halvorine {

class HeldInputs {
 public:
  // At most this many distinct held keys and buttons are remembered; a
  // client pressing ever new names cannot grow the list without bound.
  static constexpr std::size_t kCapacity = 256;

  // Notes an event forwarded to the injection thread.
  void note(const InputEvent& event);

  std::size_t held_keys() const;
  std::size_t held_buttons() const;
  bool empty() const { return held_.empty(); }

  // The releases of everything still held, in the order it was pressed: a
  // key up per key name, a button up at the last mouse position. Clears the
  // list.
  std::vector<InputEvent> take_releases();

 private:
  struct HeldButton {
    std::uint8_t button;
    friend bool operator==(const HeldButton&, const HeldButton&) = default;
  };
  using Held = std::variant<std::string, HeldButton>;

  void press(Held held);
  void release(const Held& held);

  std::vector<Held> held_;  // in press order; small, so searched linearly
  std::uint16_t last_x_ = 0;
  std::uint16_t last_y_ = 0;
};

}  // namespace halvorine
