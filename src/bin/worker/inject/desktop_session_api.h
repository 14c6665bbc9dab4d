// The seam to the platform's desktops, terminal sessions and thread identity,
// as the injection thread needs them. Windows: input desktop, WTS sessions,
// user tokens, impersonation. Linux: the X display named by DISPLAY stands in
// for the input desktop, with one active session (id 1) and an impersonation
// that changes nothing.
//
// Every call acts on, or for, the calling thread; one instance is used by the
// injection thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace halvorine {

class DesktopSessionApi;

// An open desktop, owned: destroying it closes it through the API that opened
// it (CloseDesktop). Move-only and allocation-free, since one is opened for
// every injected event. Empty when default-constructed or moved from.
class OwnedDesktop {
 public:
  OwnedDesktop() = default;
  OwnedDesktop(DesktopSessionApi& api, std::uintptr_t handle) : api_(&api), handle_(handle) {}
  OwnedDesktop(OwnedDesktop&& other) noexcept
      : api_(std::exchange(other.api_, nullptr)), handle_(std::exchange(other.handle_, 0)) {}
  OwnedDesktop& operator=(OwnedDesktop&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = std::exchange(other.api_, nullptr);
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  OwnedDesktop(const OwnedDesktop&) = delete;
  OwnedDesktop& operator=(const OwnedDesktop&) = delete;
  ~OwnedDesktop() { reset(); }

  explicit operator bool() const { return api_ != nullptr; }
  // The platform's handle (an HDESK on Windows), meaningful to the API only.
  std::uintptr_t handle() const { return handle_; }
  inline void reset();

 private:
  DesktopSessionApi* api_ = nullptr;
  std::uintptr_t handle_ = 0;
};

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

// Desktop names are read into a buffer of this many UTF-16 units (512 bytes).
inline constexpr std::size_t kDesktopNameUnits = 256;

class DesktopSessionApi {
 public:
  virtual ~DesktopSessionApi() = default;

  // The desktop that currently receives input, opened with full access;
  // empty when it cannot be opened.
  virtual OwnedDesktop open_input_desktop() = 0;
  // Writes the desktop's name, NUL-terminated when it is shorter than the
  // buffer; false when the name cannot be read or does not fit.
  virtual bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) = 0;
  // Attaches the calling thread to `desktop` (which must come from this API).
  virtual bool set_thread_desktop(const OwnedDesktop& desktop) = 0;
  // Closes a desktop this API opened; only OwnedDesktop calls it. Failures
  // (such as closing the desktop a thread is attached to) are ignored.
  virtual void close_desktop(std::uintptr_t handle) = 0;

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

void OwnedDesktop::reset() {
  if (api_ != nullptr) std::exchange(api_, nullptr)->close_desktop(std::exchange(handle_, 0));
}

}  // namespace halvorine
