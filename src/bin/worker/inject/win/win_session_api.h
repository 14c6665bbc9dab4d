// SessionApi on Win32: WTS sessions, user tokens and thread impersonation.
#pragma once

#include "bin/worker/inject/session_api.h"

namespace halvorine {

class WinSessionApi final : public SessionApi {
 public:
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override;
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override;
  bool impersonate(const UserToken& token) override;
  void revert_to_self() override;
  std::uint32_t current_thread_id() override;
};

}  // namespace halvorine
