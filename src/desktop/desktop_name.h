// Desktop names as both desktop-following threads read them.
#pragma once

#include <optional>
#include <string>

#include "desktop/desktop_api.h"

namespace halvorine {

// The desktop's name: the UTF-16 units before the first NUL (all 256 when
// there is none), decoded with every unpaired surrogate replaced by U+FFFD;
// nullopt when it cannot be read. Present names may be empty.
std::optional<std::string> desktop_name(DesktopApi& api, const OwnedDesktop& desktop);

}  // namespace halvorine
