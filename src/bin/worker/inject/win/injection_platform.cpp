#include "bin/worker/inject/injection_platform.h"

#include "bin/worker/inject/win/win_desktop_session_api.h"
#include "bin/worker/inject/win/win_input_sink.h"
#include "bin/worker/inject/win/win_secure_attention.h"

namespace halvorine {

InjectionPlatform make_injection_platform() {
  return {std::make_unique<WinDesktopSessionApi>(), std::make_unique<WinInputSink>(),
          std::make_unique<WinSecureAttention>()};
}

}  // namespace halvorine
