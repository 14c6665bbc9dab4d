#include "bin/worker/inject/host/x_desktop_session_api.h"

#include <unistd.h>

#include <algorithm>

#include "common/utf16.h"

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class XDesktop final : public Desktop {
 public:
  explicit XDesktop(std::shared_ptr<XDisplayConnection> connection) : connection(std::move(connection)) {}
  std::shared_ptr<XDisplayConnection> connection;
};

class DisplayUserToken final : public UserToken {};

}  // namespace

std::unique_ptr<Desktop> XDesktopSessionApi::open_input_desktop() {
  // One connection serves every open: reconnecting per event would cost a
  // full X handshake. A lost connection is replaced.
  auto& connection = attachment_->connection;
  if (connection && connection->lost()) connection.reset();
  if (!connection) connection = XDisplayConnection::open();
  if (!connection) return nullptr;
  return std::make_unique<XDesktop>(connection);
}

bool XDesktopSessionApi::read_desktop_name(const Desktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
  const std::optional<std::string> name = static_cast<const XDesktop&>(desktop).connection->desktop_name();
  if (!name) return false;
  const std::u16string wide = utf8_to_utf16(*name);
  if (wide.size() + 1 > units.size()) return false;  // the name and its NUL must fit, as on Windows
  std::ranges::copy(wide, units.begin());
  units[wide.size()] = u'\0';
  return true;
}

bool XDesktopSessionApi::set_thread_desktop(const Desktop& desktop) {
  if (static_cast<const XDesktop&>(desktop).connection->lost()) return false;
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
