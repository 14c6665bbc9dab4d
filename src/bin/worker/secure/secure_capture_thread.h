// The secure-capture thread's body as the worker starts it.
#pragma once

#include <string>

#include "bin/worker/key_frame_request.h"
#include "bin/worker/secure/secure_capture_loop.h"
#include "common/clock.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// Initialises COM for the thread (a failure is ignored), then runs the loop
// on this platform's desktops, DesktopDuplicator and VideoEncoder for ever.
// `key_frames`, `log` and `clock` live as long as the process.
[[noreturn]] void run_secure_capture_thread(VideoSender frames, KeyFrameRequest& key_frames, Logger& log,
                                            const Clock& clock,
                                            std::string secure_desktop = std::string(kSecureDesktopName));

}  // namespace halvorine
