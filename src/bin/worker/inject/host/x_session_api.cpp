#include "bin/worker/inject/host/x_session_api.h"

#include <unistd.h>

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class DisplayUserToken final : public UserToken {};

}  // namespace

std::optional<std::vector<SessionInfo>> XSessionApi::enumerate_sessions() {
  return std::vector<SessionInfo>{{kDisplaySession, SessionState::active}};
}

std::unique_ptr<UserToken> XSessionApi::query_user_token(std::uint32_t session_id) {
  if (session_id != kDisplaySession) return nullptr;
  return std::make_unique<DisplayUserToken>();
}

bool XSessionApi::impersonate(const UserToken&) { return true; }

void XSessionApi::revert_to_self() {}

std::uint32_t XSessionApi::current_thread_id() { return static_cast<std::uint32_t>(gettid()); }

}  // namespace halvorine
