#include "bin/worker/inject/win/win_desktop_session_api.h"

#include "bin/worker/inject/win/unique_wts_memory.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

class WinUserToken final : public UserToken {
 public:
  explicit WinUserToken(UniqueHandle token) : token_(std::move(token)) {}
  HANDLE get() const { return token_.get(); }

 private:
  UniqueHandle token_;
};

}  // namespace

// The desktop calls are the desktop module's; desktops opened here close through it.
OwnedDesktop WinDesktopSessionApi::open_input_desktop() { return desktops_.open_input_desktop(); }

void WinDesktopSessionApi::close_desktop(std::uintptr_t handle) { desktops_.close_desktop(handle); }

bool WinDesktopSessionApi::read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
  return desktops_.read_desktop_name(desktop, units);
}

bool WinDesktopSessionApi::set_thread_desktop(const OwnedDesktop& desktop) {
  return desktops_.set_thread_desktop(desktop);
}

std::optional<std::vector<SessionInfo>> WinDesktopSessionApi::enumerate_sessions() {
  UniqueWtsMemory<WTS_SESSION_INFOW> list;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, list.put(), &count)) return std::nullopt;
  std::vector<SessionInfo> sessions;
  sessions.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    const WTS_SESSION_INFOW& info = list.get()[i];
    const SessionState state = info.State == WTSActive         ? SessionState::active
                               : info.State == WTSDisconnected ? SessionState::disconnected
                                                               : SessionState::other;
    sessions.push_back({static_cast<std::uint32_t>(info.SessionId), state});
  }
  return sessions;
}

std::unique_ptr<UserToken> WinDesktopSessionApi::query_user_token(std::uint32_t session_id) {
  UniqueHandle token;
  if (!WTSQueryUserToken(session_id, token.put()) || !token) return nullptr;
  return std::make_unique<WinUserToken>(std::move(token));
}

bool WinDesktopSessionApi::impersonate(const UserToken& token) {
  return ImpersonateLoggedOnUser(static_cast<const WinUserToken&>(token).get()) != FALSE;
}

void WinDesktopSessionApi::revert_to_self() { RevertToSelf(); }

std::uint32_t WinDesktopSessionApi::current_thread_id() { return GetCurrentThreadId(); }

}  // namespace halvorine
