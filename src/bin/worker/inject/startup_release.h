// What a worker killed outright left pressed. An orderly stop releases what
// its client held, but a worker that is killed cannot, and Windows keeps an
// injected key down after its injector is gone: Shift or the left button
// would stay down for the local user, also after a new worker started. So
// at start the injection thread releases the modifier keys and the buttons
// that the input desktop reports as down.
#pragma once

#include <cstddef>

#include "bin/worker/inject/input_sink.h"
#include "common/logger.h"

namespace halvorine {

// Sends the release of every modifier key (Shift, Control, Alt, Windows,
// left and right) and mouse button 1 to 3 that `sink` reports as down, and
// logs how many. Call on the injection thread, attached to the input desktop.
// Returns how many were released.
std::size_t release_input_left_down(InputSink& sink, Logger& log);

}  // namespace halvorine
