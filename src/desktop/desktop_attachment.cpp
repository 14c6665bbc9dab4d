#include "desktop/desktop_attachment.h"

#include "desktop/desktop_name.h"

namespace halvorine {

DesktopAttachment::Followed DesktopAttachment::follow(DesktopApi& api) {
  OwnedDesktop opened = api.open_input_desktop();
  if (!opened) return {};
  std::optional<std::string> name = desktop_name(api, opened);
  // An unchanged desktop: `opened` closes here.
  const bool attached = holds(name) || attach(api, std::move(opened), name);
  return {std::move(name), attached};
}

bool DesktopAttachment::attach(DesktopApi& api, OwnedDesktop opened, const std::optional<std::string>& name) {
  if (!api.set_thread_desktop(opened)) return false;
  desktop_ = std::move(opened);
  name_ = name;
  return true;
}

}  // namespace halvorine
