#include "bin/worker/inject/session_api.h"

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

// WTS sessions, user tokens and thread impersonation.
class WinSessionApi final : public SessionApi {
 public:
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override;
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override;
  bool impersonate(const UserToken& token) override;
  void revert_to_self() override { RevertToSelf(); }
  std::uint32_t current_thread_id() override { return GetCurrentThreadId(); }
};

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

}  // namespace

std::unique_ptr<SessionApi> make_session_api() { return std::make_unique<WinSessionApi>(); }

}  // namespace halvorine
