#include "../process_setup.h"

#include "common/win/win_sdk.h"

namespace halvorine {

void prepare_capture_process() {
  // Fails harmlessly when a manifest or a shim set the awareness first.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

}  // namespace halvorine
