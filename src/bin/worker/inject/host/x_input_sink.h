// InputSink on Linux: XTest requests on the display the thread is attached
// to. A key record with a scan code presses that physical key (its X keycode
// in common/physical_keys.inc), so the display's keyboard map gives the
// character; any other key
// presses a key that carries the keysym of its virtual key in the keyboard
// map as it is now, and is released on the keycode it was pressed on. Absolute
// positions 0..65535 are scaled to the screen; buttons 1/3/2 for
// left/right/middle; each wheel step is a press and release of button 4 (up)
// or 5 (down). Error codes are errno values: ENOTCONN when no display is
// attached or the connection is lost, ENOKEY when no keycode can produce the
// wanted keysym (not even a free one bound to it), EINVAL for a record the sink cannot replay.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "desktop/host/x_display.h"
#include "bin/worker/inject/input_sink.h"

namespace halvorine {

// The injection thread's XDesktopApi calls this with each new connection:
// the numpad keysyms are bound at once, so the keymap has settled before the
// first key reaches a client.
void bind_numpad_keysyms(XDisplayConnection& connection);

class XInputSink final : public InputSink {
 public:
  explicit XInputSink(std::shared_ptr<XAttachment> attachment) : attachment_(std::move(attachment)) {}
  SendOutcome send(std::span<const InputRecord> records) override;
  // The X backend does not read the display's key state: only a worker
  // stopped in order (SIGTERM) releases what its client held.
  bool is_down(std::uint16_t) override { return false; }

 private:
  int replay_keyboard(XDisplayConnection& connection, const KeyboardInput& key);

  std::shared_ptr<XAttachment> attachment_;
  // Per virtual key (+ 0x100 when extended), the keycode a key that goes by
  // keysym is held on; 0 when up. A map change may move its keysym elsewhere
  // meanwhile, but the server holds this keycode down.
  std::array<std::uint8_t, 0x200> held_on_{};
};

}  // namespace halvorine
