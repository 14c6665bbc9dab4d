// SessionApi on Linux: one active session (id 1), whose user owns the
// display; the impersonation changes nothing.
#pragma once

#include "bin/worker/inject/session_api.h"

namespace halvorine {

class XSessionApi final : public SessionApi {
 public:
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override;
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override;
  bool impersonate(const UserToken& token) override;
  void revert_to_self() override;
  std::uint32_t current_thread_id() override;
};

}  // namespace halvorine
