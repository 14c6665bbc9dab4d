// The injection thread's body: takes input events from the input channel one
// by one, in order, keeps the thread on the input desktop under the right
// identity, and injects each event. Returns once every sender is gone and the
// queue is drained, after reverting any impersonation. At start, once this
// worker is known to serve, it attaches to the input desktop and releases
// what a killed worker left down there.
#pragma once

#include "bin/worker/inject/input_sink.h"
#include "bin/worker/inject/secure_attention.h"
#include "bin/worker/inject/secure_input_gate.h"
#include "bin/worker/inject/session_api.h"
#include "bin/worker/input_event.h"
#include "bin/worker/serving_latch.h"
#include "common/clock.h"
#include "common/logger.h"
#include "desktop/desktop_api.h"

namespace halvorine {

// `desktops`, `sessions`, `sink`, `log`, `clock`, `secure_attention` and `serving` must
// outlive the call. Without `secure_attention`, Ctrl+Alt+Del is injected as
// plain keys. With `serving`, the release at start waits until it opens, and
// is skipped when it is abandoned (a worker that never serves touches no
// key); without it, the release comes at once.
// On the desktop named `secure_desktop` only a trusted client's input goes
// in (secure_input_gate.h).
void run_injection_thread(InputReceiver receiver, DesktopApi& desktops, SessionApi& sessions, InputSink& sink,
                          Logger& log, const Clock& clock, SecureAttention* secure_attention = nullptr,
                          ServingLatch* serving = nullptr, std::string secure_desktop = std::string(kWinlogonDesktop));

// The same, on this platform's desktops, sessions, input sink and secure attention
// sequence.
void run_injection_thread(InputReceiver receiver, Logger& log, const Clock& clock, ServingLatch* serving,
                          std::string secure_desktop = std::string(kWinlogonDesktop));

}  // namespace halvorine
