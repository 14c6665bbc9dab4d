#include "bin/worker/inject/session_api.h"

#include <unistd.h>

namespace halvorine {
namespace {

constexpr std::uint32_t kDisplaySession = 1;

class DisplayUserToken final : public UserToken {};

// One active session (id 1), whose user owns the display; the impersonation
// changes nothing.
class XSessionApi final : public SessionApi {
 public:
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override {
    return std::vector<SessionInfo>{{kDisplaySession, SessionState::active}};
  }
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override {
    if (session_id != kDisplaySession) return nullptr;
    return std::make_unique<DisplayUserToken>();
  }
  bool impersonate(const UserToken&) override { return true; }
  void revert_to_self() override {}
  std::uint32_t current_thread_id() override { return static_cast<std::uint32_t>(gettid()); }
};

}  // namespace

std::unique_ptr<SessionApi> make_session_api() { return std::make_unique<XSessionApi>(); }

}  // namespace halvorine
