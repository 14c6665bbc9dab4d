#include "bin/worker/inject/injection_platform.h"

#include "bin/worker/inject/host/x_input_sink.h"
#include "desktop/host/x_desktop_api.h"

namespace halvorine {

InjectionPlatform make_injection_platform() {
  auto attachment = std::make_shared<XAttachment>();
  // X has no secure attention sequence: Ctrl+Alt+Del goes out as keys.
  return {std::make_unique<XDesktopApi>(attachment, bind_numpad_keysyms), make_session_api(),
          std::make_unique<XInputSink>(attachment), nullptr};
}

}  // namespace halvorine
