#include "bin/worker/inject/host/x_desktop_session_api.h"

#include <unistd.h>

#include "bin/worker/inject/host/virtual_key_keysyms.h"

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class DisplayUserToken final : public UserToken {};

}  // namespace

OwnedDesktop XDesktopSessionApi::open_input_desktop() {
  OwnedDesktop desktop = desktops_.open_input_desktop();
  // A new connection gets the numpad keysyms bound at once, so the keymap has
  // settled before the first key reaches a client.
  const XAttachment& attachment = *attachment_;
  if (attachment.connection && attachment.generation != prepared_generation_) {
    attachment.connection->prepare_keycodes(numpad_keysyms());
    prepared_generation_ = attachment.generation;
  }
  return desktop;
}

void XDesktopSessionApi::close_desktop(std::uintptr_t handle) { desktops_.close_desktop(handle); }

bool XDesktopSessionApi::read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
  return desktops_.read_desktop_name(desktop, units);
}

bool XDesktopSessionApi::set_thread_desktop(const OwnedDesktop& desktop) {
  return desktops_.set_thread_desktop(desktop);
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
