#include "bin/worker/inject/injection_thread.h"

#include <fmt/format.h>

#include "bin/worker/inject/injection_platform.h"
#include "bin/worker/inject/injector.h"
#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/secure_attention_keys.h"
#include "bin/worker/inject/startup_release.h"

namespace halvorine {

void run_injection_thread(InputReceiver receiver, DesktopApi& desktops, SessionApi& sessions, InputSink& sink,
                          Logger& log, const Clock& clock, SecureAttention* secure_attention, ServingLatch* serving,
                          std::string secure_desktop) {
  log.log(fmt::format("inject: thread injectie pornit thread_id={}", sessions.current_thread_id()));

  // This thread's own state: desktop attachment, identity and throttles
  // persist from one event to the next.
  InputDesktop desktop(desktops, sessions, log, clock);
  Injector injector(sink, log, clock);
  SecureAttentionKeys secure_attention_keys(secure_attention, desktop, log, clock);
  SecureInputGate gate(log, clock, std::move(secure_desktop));

  // Only a worker that serves may release anything: a second one would lift
  // keys the first one's client holds. No event comes before that anyway.
  if (!serving || serving->wait()) {
    // On the input desktop first: that is whose key state is read.
    desktop.ensure();
    release_input_left_down(sink, log);
  }

  while (std::optional<InputEvent> event = receiver.receive()) {
    if (auto* verdict = std::get_if<ClientVerdict>(&*event)) {
      gate.begin(std::move(*verdict));
      continue;
    }
    desktop.ensure();
    const SecureInputGate::Pass pass = gate.admit(*event, desktop.attached_name());
    if (pass == SecureInputGate::Pass::drop) continue;
    if (const auto* key = std::get_if<KeyEvent>(&*event)) {
      if (!secure_attention_keys.consume(key->name, key->pressed)) {
        injector.inject_key(key->name, key->pressed);
      }
    } else if (const auto* mouse = std::get_if<MouseEvent>(&*event)) {
      if (pass == SecureInputGate::Pass::release_button) {
        injector.release_button(mouse->button);
      } else {
        injector.inject_mouse(mouse->x, mouse->y, mouse->button, mouse->pressed, mouse->scroll);
      }
    }
  }

  secure_attention_keys.flush();
  desktop.revert_impersonation();
  log.log("inject: channel inchis, thread injectie oprit");
}

void run_injection_thread(InputReceiver receiver, Logger& log, const Clock& clock, ServingLatch* serving,
                          std::string secure_desktop) {
  InjectionPlatform platform = make_injection_platform();
  run_injection_thread(std::move(receiver), *platform.desktops, *platform.sessions, *platform.sink, log, clock,
                       platform.secure_attention.get(), serving, std::move(secure_desktop));
}

}  // namespace halvorine
