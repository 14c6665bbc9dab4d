// A scriptable DesktopSessionApi: one input desktop whose name the test sets,
// sessions and tokens the test lists, and counters for every call. Desktops
// and tokens it hands out report their closing back to it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bin/worker/inject/desktop_session_api.h"
#include "common/utf16.h"

namespace halvorine::testing {

class FakeDesktopSessionApi : public DesktopSessionApi {
 public:
  // --- what the platform looks like -------------------------------------
  std::optional<std::string> input_desktop = "Default";  // nullopt: the name cannot be read
  bool open_fails = false;
  bool open_fails_while_impersonating = false;  // the user may not open it; SYSTEM can
  std::set<std::string> attach_refused;         // names SetThreadDesktop fails for
  bool attach_fails_without_name = false;
  std::optional<std::vector<SessionInfo>> sessions = std::vector<SessionInfo>{{1, SessionState::active}};
  std::set<std::uint32_t> sessions_with_token = {1};
  bool impersonation_refused = false;
  std::uint32_t thread_id = 4242;

  // --- what happened ------------------------------------------------------
  int opens = 0;
  int desktops_open = 0;  // handed out and not yet closed
  int enumerations = 0;
  int token_queries = 0;
  int tokens_open = 0;
  int reverts = 0;
  bool impersonating = false;
  std::optional<std::string> attached;  // name of the desktop the thread sits on
  int attaches = 0;

 private:
  std::uintptr_t last_handle = 0;
  std::map<std::uintptr_t, std::optional<std::string>> names;  // open desktops

 public:

  class FakeToken final : public UserToken {
   public:
    explicit FakeToken(FakeDesktopSessionApi& api) : api(api) { ++api.tokens_open; }
    ~FakeToken() override { --api.tokens_open; }
    FakeDesktopSessionApi& api;
  };

  OwnedDesktop open_input_desktop() override {
    ++opens;
    if (open_fails || (open_fails_while_impersonating && impersonating)) return {};
    const std::uintptr_t handle = ++last_handle;
    names[handle] = input_desktop;  // a desktop keeps the name it had when opened
    ++desktops_open;
    return OwnedDesktop(*this, handle);
  }
  void close_desktop(std::uintptr_t handle) override {
    if (names.erase(handle) == 1) --desktops_open;
  }
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override {
    const auto& name = names.at(desktop.handle());
    if (!name) return false;
    const std::u16string wide = utf8_to_utf16(*name);
    if (wide.size() > units.size()) return false;
    std::copy(wide.begin(), wide.end(), units.begin());
    if (wide.size() < units.size()) units[wide.size()] = u'\0';
    return true;
  }
  bool set_thread_desktop(const OwnedDesktop& desktop) override {
    const auto& name = names.at(desktop.handle());
    if (name ? attach_refused.contains(*name) : attach_fails_without_name) return false;
    attached = name;
    ++attaches;
    return true;
  }
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override {
    ++enumerations;
    return sessions;
  }
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override {
    ++token_queries;
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
