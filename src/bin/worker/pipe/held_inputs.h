// Keys and mouse buttons a client pressed and has not released yet.
//
// A client that goes away between a press and its release would otherwise
// leave the key or button down on the machine for good (a stuck Ctrl or
// Shift corrupts everything the local user types afterwards). The input
// server notes every event it forwards here and, when the connection ends,
// sends the releases this produces after the connection's last event. The
// injector releases each key with the record that pressed it, so a keyboard
// layout switched in between does not leave the old key down.
//
// Only what is injected is tracked: a key name the key table maps (names
// that inject nothing, however many, take no room) and buttons 1 to 3. A key
// is tracked once, whatever name pressed it ("KeyA"/"Keya", "MetaLeft"/
// "OSLeft" are one key), so the list can hold every key there is at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bin/worker/inject/key_table.h"
#include "bin/worker/input_event.h"

namespace halvorine {

class HeldInputs {
 public:
  // The most keys and buttons that can be held at once: every key of the
  // table (names sharing a key only lower the count) and the three buttons.
  static constexpr std::size_t kCapacity = kPhysicalKeys.size() + 3;

  // Notes an event forwarded to the injection thread.
  void note(const InputEvent& event);

  std::size_t held_keys() const;
  std::size_t held_buttons() const;
  bool empty() const { return held_.empty(); }

  // The releases of everything still held, in the order it was pressed: a
  // key up per key (under the name that pressed it), a button up at the last
  // mouse position. Clears the list.
  std::vector<InputEvent> take_releases();

 private:
  struct Held {
    KeyCode key;             // for a key
    std::uint8_t button = 0; // for a button (then `key` is unused)
    std::string name;        // the key's name as pressed
  };

  void press(Held held);
  void release(const KeyCode& key, std::uint8_t button);

  std::vector<Held> held_;  // in press order; small, so searched linearly
  std::uint16_t last_x_ = 0;
  std::uint16_t last_y_ = 0;
};

}  // namespace halvorine
