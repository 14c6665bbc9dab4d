// Move-only owner of an HDESK (see unique_resource.h). Closing a desktop some
// thread is attached to fails; that failure is ignored.
#pragma once

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

struct DesktopTraits {
  using Value = HDESK;
  static HDESK invalid() { return nullptr; }
  static BOOL close(HDESK desktop) { return CloseDesktop(desktop); }
};
using UniqueDesktop = UniqueResource<DesktopTraits>;

}  // namespace halvorine
