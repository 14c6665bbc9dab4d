// A scriptable SessionApi: sessions and tokens the test lists, and counters
// for every call. Tokens it hands out report their closing back to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "bin/worker/inject/session_api.h"

namespace halvorine::testing {

class FakeSessionApi final : public SessionApi {
 public:
  // --- what the platform looks like -------------------------------------
  std::optional<std::vector<SessionInfo>> sessions = std::vector<SessionInfo>{{1, SessionState::active}};
  std::set<std::uint32_t> sessions_with_token = {1};
  bool impersonation_refused = false;
  std::uint32_t thread_id = 4242;

  // --- what happened ------------------------------------------------------
  int enumerations = 0;
  int tokens_open = 0;
  int reverts = 0;
  bool impersonating = false;

  class FakeToken final : public UserToken {
   public:
    explicit FakeToken(FakeSessionApi& api) : api(api) { ++api.tokens_open; }
    ~FakeToken() override { --api.tokens_open; }
    FakeSessionApi& api;
  };

  std::optional<std::vector<SessionInfo>> enumerate_sessions() override {
    ++enumerations;
    return sessions;
  }
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override {
    if (!sessions_with_token.contains(session_id)) return nullptr;
    return std::make_unique<FakeToken>(*this);
  }
  bool impersonate(const UserToken&) override {
    if (impersonation_refused) return false;
    impersonating = true;
    return true;
  }
  void revert_to_self() override {
    ++reverts;
    impersonating = false;
  }
  std::uint32_t current_thread_id() override { return thread_id; }
};

}  // namespace halvorine::testing
