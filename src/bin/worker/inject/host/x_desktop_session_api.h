// DesktopSessionApi on Linux: the desktop module's X display as the input
// desktop; one active session (id 1) whose user owns the display; the
// impersonation changes nothing.
#pragma once

#include <memory>

#include "bin/worker/inject/desktop_session_api.h"
#include "desktop/host/x_desktop_api.h"

namespace halvorine {

class XDesktopSessionApi final : public DesktopSessionApi {
 public:
  // `attachment` is shared with the input sink, which injects where this API
  // has attached the thread.
  explicit XDesktopSessionApi(std::shared_ptr<XAttachment> attachment)
      : attachment_(attachment), desktops_(std::move(attachment)) {}

  OwnedDesktop open_input_desktop() override;
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override;
  bool set_thread_desktop(const OwnedDesktop& desktop) override;
  void close_desktop(std::uintptr_t handle) override;
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override;
  std::unique_ptr<UserToken> query_user_token(std::uint32_t session_id) override;
  bool impersonate(const UserToken& token) override;
  void revert_to_self() override;
  std::uint32_t current_thread_id() override;

 private:
  std::shared_ptr<XAttachment> attachment_;
  XDesktopApi desktops_;
  std::uintptr_t prepared_generation_ = 0;  // connection whose numpad keysyms are bound
};

}  // namespace halvorine
