#include "bin/worker/inject/injection_platform.h"

#include "bin/worker/inject/win/win_input_sink.h"
#include "bin/worker/inject/win/win_secure_attention.h"

namespace halvorine {

InjectionPlatform make_injection_platform() {
  return {make_desktop_api(), make_session_api(), std::make_unique<WinInputSink>(),
          std::make_unique<WinSecureAttention>()};
}

}  // namespace halvorine
