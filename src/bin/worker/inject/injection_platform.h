// The platform objects the injection thread works through. Each backend
// (win/, host/) defines make_injection_platform.
#pragma once

#include <memory>

#include "bin/worker/inject/input_sink.h"
#include "bin/worker/inject/secure_attention.h"
#include "bin/worker/inject/session_api.h"
#include "desktop/desktop_api.h"

namespace halvorine {

struct InjectionPlatform {
  std::unique_ptr<DesktopApi> desktops;
  std::unique_ptr<SessionApi> sessions;
  std::unique_ptr<InputSink> sink;
  std::unique_ptr<SecureAttention> secure_attention;  // null where the platform has none
};

// Creating the objects does not touch the desktop yet: the first
// open_input_desktop does. Use from the injection thread only.
InjectionPlatform make_injection_platform();

}  // namespace halvorine
