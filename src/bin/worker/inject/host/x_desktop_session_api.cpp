#include "bin/worker/inject/host/x_desktop_session_api.h"

#include <unistd.h>

#include <algorithm>

#include "bin/worker/inject/host/virtual_key_keysyms.h"
#include "common/utf16.h"

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class DisplayUserToken final : public UserToken {};

}  // namespace

OwnedDesktop XDesktopSessionApi::open_input_desktop() {
  // One connection serves every open: reconnecting per event would cost a
  // full X handshake. A lost connection is replaced.
  XAttachment& attachment = *attachment_;
  if (attachment.connection && attachment.connection->lost()) attachment.connection.reset();
  if (!attachment.connection) {
    attachment.connection = XDisplayConnection::open();
    if (!attachment.connection) return {};
    attachment.connection->prepare_keycodes(numpad_keysyms());
    ++attachment.generation;
  }
  return OwnedDesktop(*this, attachment.generation);
}

void XDesktopSessionApi::close_desktop(std::uintptr_t) {}  // the connection stays for the next open

XDisplayConnection* XDesktopSessionApi::connection_of(const OwnedDesktop& desktop) const {
  const XAttachment& attachment = *attachment_;
  if (!attachment.connection || desktop.handle() != attachment.generation || attachment.connection->lost()) {
    return nullptr;
  }
  return attachment.connection.get();
}

bool XDesktopSessionApi::read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
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

bool XDesktopSessionApi::set_thread_desktop(const OwnedDesktop& desktop) {
  if (!connection_of(desktop)) return false;
  attachment_->attached = true;
  return true;
}

std::optional<std::vector<SessionInfo>> XDesktopSessionApi::enumerate_sessions() {
  return std::vector<SessionInfo>{{kDisplaySession, SessionState::active}};
}

std::unique_ptr<UserToken> XDesktopSessionApi::query_user_token(std::uint32_t session_id) {
  if (session_id != kDisplaySession) return nullptr;
  return std::make_unique<DisplayUserToken>();
}

bool XDesktopSessionApi::impersonate(const UserToken&) { return true; }

void XDesktopSessionApi::revert_to_self() {}

std::uint32_t XDesktopSessionApi::current_thread_id() { return static_cast<std::uint32_t>(gettid()); }

}  // namespace halvorine
