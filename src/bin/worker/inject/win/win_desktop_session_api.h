// DesktopSessionApi on Win32: the desktop module's desktops, WTS sessions,
// user tokens and thread impersonation.
#pragma once

#include "bin/worker/inject/desktop_session_api.h"
#include "desktop/win/win_desktop_api.h"

namespace halvorine {

class WinDesktopSessionApi final : public DesktopSessionApi {
 public:
  OwnedDesktop open_input_desktop() override;
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override;
  bool set_thread_desktop(const OwnedDesktop& desktop) override;
  void close_desktop(std::uintptr_t handle) override;
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override;
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override;
  bool impersonate(const UserToken& token) override;
  void revert_to_self() override;
  std::uint32_t current_thread_id() override;

 private:
  WinDesktopApi desktops_;
};

}  // namespace halvorine
