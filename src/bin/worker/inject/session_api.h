// The seam to the platform's terminal sessions and thread identity, as the
// injection thread needs them beside the desktops (DesktopApi). Windows: WTS
// sessions, user tokens, impersonation. Linux: one active session (id 1)
// and an impersonation that changes nothing.
//
// Every call acts on, or for, the calling thread; one instance is used by the
// injection thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace halvorine {

// A session user's primary token. Owned: destroying it closes it (CloseHandle).
class UserToken {
 public:
  virtual ~UserToken() = default;
};

enum class SessionState { active, disconnected, other };

struct SessionInfo {
  std::uint32_t id = 0;
  SessionState state = SessionState::other;
  friend bool operator==(const SessionInfo&, const SessionInfo&) = default;
};

class SessionApi {
 public:
  virtual ~SessionApi() = default;

  // The local server's sessions in the system's order; nullopt when they
  // cannot be listed.
  virtual std::optional<std::vector<SessionInfo>> enumerate_sessions() = 0;
  // The token of the user logged on to `session_id`; nullptr when there is none.
  virtual std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) = 0;
  // Makes the calling thread act as the token's user; false when refused.
  virtual bool impersonate(const UserToken& token) = 0;
  // Drops any impersonation of the calling thread; failures are ignored.
  virtual void revert_to_self() = 0;

  virtual std::uint32_t current_thread_id() = 0;
};

// This platform's sessions. Defined by each backend.
std::unique_ptr<SessionApi> make_session_api();

}  // namespace halvorine
