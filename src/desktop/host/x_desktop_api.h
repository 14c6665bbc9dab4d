// DesktopApi on Linux: the X display named by DISPLAY is the input desktop.
// Opening connects (once; a lost connection is replaced at the next open),
// the name is the root window's _HALVORINE_DESKTOP property or "Default",
// attaching marks the connection as the one the thread works on, closing
// keeps the connection for the next open.
#pragma once

#include <functional>
#include <memory>

#include "desktop/desktop_api.h"
#include "desktop/host/x_display.h"

namespace halvorine {

class XDesktopApi final : public DesktopApi {
 public:
  // Called with each new connection, before the open that made it returns.
  using ConnectionReady = std::function<void(XDisplayConnection&)>;

  // `attachment` may be shared with another object of the same thread that
  // works where this API attached it (the injection thread's input sink).
  explicit XDesktopApi(std::shared_ptr<XAttachment> attachment, ConnectionReady connection_ready = {})
      : attachment_(std::move(attachment)), connection_ready_(std::move(connection_ready)) {}

  OwnedDesktop open_input_desktop() override;
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override;
  bool set_thread_desktop(const OwnedDesktop& desktop) override;
  void close_desktop(std::uintptr_t handle) override;

 private:
  // The live connection `desktop` was opened on; nullptr when it was replaced or lost.
  XDisplayConnection* connection_of(const OwnedDesktop& desktop) const;

  std::shared_ptr<XAttachment> attachment_;
  ConnectionReady connection_ready_;
};

}  // namespace halvorine
