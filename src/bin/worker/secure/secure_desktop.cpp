#include "bin/worker/secure/secure_desktop.h"

#include "desktop/desktop_name.h"

namespace halvorine {

FollowedDesktop follow_input_desktop(SecureDesktopState& state, DesktopApi& desktops) {
  OwnedDesktop opened = desktops.open_input_desktop();
  if (!opened) return {};
  std::optional<std::string> name = desktop_name(desktops, opened);
  if (state.attached_desktop && name && state.attached_name && *name == *state.attached_name) {
    return {std::move(name), true};  // `opened` closes here
  }
  if (!desktops.set_thread_desktop(opened)) return {std::move(name), false};
  state.attached_desktop = std::move(opened);  // closes the previous desktop
  state.attached_name = name;
  return {std::move(name), true};
}

}  // namespace halvorine
