#include "bin/worker/inject/injection_platform.h"

#include "bin/worker/inject/host/x_desktop_session_api.h"
#include "bin/worker/inject/host/x_input_sink.h"

namespace halvorine {

InjectionPlatform make_injection_platform() {
  auto attachment = std::make_shared<XAttachment>();
  return {std::make_unique<XDesktopSessionApi>(attachment), std::make_unique<XInputSink>(attachment)};
}

}  // namespace halvorine
