// Turns one decoded input event into input records and hands them to the
// InputSink. Failures never reach the caller: they are logged through two
// once-per-second throttles (one shared by both keyboard messages, one for
// the mouse) and the event is lost. One Injector per injection thread.
//
// A writing-system key (one with a scan code in the key table) goes out as
// its physical key: the record carries the scan code and the virtual key
// that the input desktop's layout gives it, so that layout decides the
// character (the GUI's names are physical positions). Every other key goes
// by the table's virtual key alone. A key is released with the record that
// pressed it, even when the layout changed in between: a layout switch must
// not leave the old virtual key down.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "bin/worker/inject/input_sink.h"
#include "bin/worker/inject/key_table.h"
#include "common/log_throttle.h"
#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

class Injector {
 public:
  // All three must outlive the Injector.
  Injector(InputSink& sink, Logger& log, const Clock& clock) : sink_(sink), log_(log), clock_(clock) {}

  void inject_key(std::string_view name, bool pressed);
  // x, y: absolute 0..65535 over the virtual desktop, passed on unchanged.
  // button: 1 left, 2 right, 3 middle, anything else none. scroll: wheel steps.
  void inject_mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button, bool pressed,
                    std::int32_t scroll);
  // The up of `button` (1 to 3) where the pointer is, without moving it.
  void release_button(std::uint8_t button);

 private:
  KeyboardInput keyboard_input(const KeyCode& key, bool pressed);
  void send_mouse(std::span<const InputRecord> records);

  InputSink& sink_;
  Logger& log_;
  const Clock& clock_;
  LogThrottle keyboard_throttle_;
  LogThrottle mouse_throttle_;
  // Per scan code, the virtual key a writing-system key was pressed with and
  // not yet released; 0 when up. Scan codes of the table are below 0x80.
  std::array<std::uint16_t, 0x80> pressed_with_{};
};

}  // namespace halvorine
