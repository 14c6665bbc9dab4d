// Turns one decoded input event into input records and hands them to the
// InputSink. Failures never reach the caller: they are logged through two
// once-per-second throttles (one shared by both keyboard messages, one for
// the mouse) and the event is lost. One Injector per injection thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "bin/worker/inject/input_sink.h"
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

 private:
  InputSink& sink_;
  Logger& log_;
  const Clock& clock_;
  LogThrottle keyboard_throttle_;
  LogThrottle mouse_throttle_;
};

}  // namespace halvorine
