#include "bin/worker/inject/injection_platform.h"

#include "bin/worker/inject/win/win_input_sink.h"
#include "bin/worker/inject/win/win_secure_attention.h"
#include "bin/worker/inject/win/win_session_api.h"

namespace halvorine {

InjectionPlatform make_injection_platform() {
  return {make_desktop_api(), std::make_unique<WinSessionApi>(), std::make_unique<WinInputSink>(),
          std::make_unique<WinSecureAttention>()};
}

}  // namespace halvorine
