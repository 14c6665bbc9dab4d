#include "bin/worker/inject/host/x_desktop_session_api.h"

#include <unistd.h>

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class DisplayUserToken final : public UserToken {};

}  // namespace

// The desktop calls are the desktop module's; desktops opened here close through it.
OwnedDesktop XDesktopSessionApi::open_input_desktop() { return desktops_.open_input_desktop(); }

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
