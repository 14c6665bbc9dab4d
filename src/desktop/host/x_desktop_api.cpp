#include "desktop/host/x_desktop_api.h"

#include <algorithm>

#include "common/utf16.h"

namespace halvorine {

OwnedDesktop XDesktopApi::open_input_desktop() {
  // One connection serves every open: reconnecting per event would cost a
  // full X handshake. A lost connection is replaced.
  XAttachment& attachment = *attachment_;
  if (attachment.connection && attachment.connection->lost()) attachment.connection.reset();
  if (!attachment.connection) {
    attachment.connection = XDisplayConnection::open();
    if (!attachment.connection) return {};
    ++attachment.generation;
    if (connection_ready_) connection_ready_(*attachment.connection);
  }
  return OwnedDesktop(*this, attachment.generation);
}

void XDesktopApi::close_desktop(std::uintptr_t) {}  // the connection stays for the next open

XDisplayConnection* XDesktopApi::connection_of(const OwnedDesktop& desktop) const {
  const XAttachment& attachment = *attachment_;
  if (!attachment.connection || desktop.handle() != attachment.generation || attachment.connection->lost()) {
    return nullptr;
  }
  return attachment.connection.get();
}

bool XDesktopApi::read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
  XDisplayConnection* connection = connection_of(desktop);
  if (!connection) return false;
  const std::optional<std::string> name = connection->desktop_name();
  if (!name) return false;
  const std::u16string wide = utf8_to_utf16(*name);
  if (wide.size() + 1 > units.size()) return false;  // the name and its NUL must fit, as on Windows
  std::ranges::copy(wide, units.begin());
  units[wide.size()] = u'\0';
  return true;
}

bool XDesktopApi::set_thread_desktop(const OwnedDesktop& desktop) {
  if (!connection_of(desktop)) return false;
  attachment_->attached = true;
  return true;
}

std::unique_ptr<DesktopApi> make_desktop_api() {
  return std::make_unique<XDesktopApi>(std::make_shared<XAttachment>());
}

}  // namespace halvorine
