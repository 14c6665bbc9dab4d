#include "bin/worker/inject/win/win_session_api.h"

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

std::optional<std::vector<SessionInfo>> WinSessionApi::enumerate_sessions() {
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

std::unique_ptr<UserToken> WinSessionApi::query_user_token(std::uint32_t session_id) {
  UniqueHandle token;
  if (!WTSQueryUserToken(session_id, token.put()) || !token) return nullptr;
  return std::make_unique<WinUserToken>(std::move(token));
}

bool WinSessionApi::impersonate(const UserToken& token) {
  return ImpersonateLoggedOnUser(static_cast<const WinUserToken&>(token).get()) != FALSE;
}

void WinSessionApi::revert_to_self() { RevertToSelf(); }

std::uint32_t WinSessionApi::current_thread_id() { return GetCurrentThreadId(); }

}  // namespace halvorine
