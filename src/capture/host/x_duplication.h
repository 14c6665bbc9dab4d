// Duplication of an X screen, standing in for DXGI desktop duplication: the
// display is the one adapter, its screens are the outputs; DAMAGE reports
// the changed rectangles, XFIXES the pointer shape, XQueryPointer the
// pointer position, and MIT-SHM copies the changed rectangles into a
// persistent image of the screen.
#pragma once

#include <memory>

#include "capture/capture_platform.h"
#include "desktop/host/x_display.h"

namespace halvorine {

// A factory over `connection`, else over a fresh connection to DISPLAY; an
// error when there is none.
Result<std::unique_ptr<CaptureFactory>> make_x_capture_factory(std::shared_ptr<XConnection> connection = nullptr);

}  // namespace halvorine
