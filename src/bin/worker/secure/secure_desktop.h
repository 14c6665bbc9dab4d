// How the secure-capture thread follows the input desktop: it attaches to
// every input desktop it sees (keeping its own attachment, apart from the
// injection thread's) and reports the desktop's name. Only the loop decides
// what a name means.
#pragma once

#include <optional>
#include <string>

#include "desktop/desktop_api.h"

namespace halvorine {

struct SecureDesktopState {
  OwnedDesktop attached_desktop;  // closed when replaced
  std::optional<std::string> attached_name;
};

struct FollowedDesktop {
  std::optional<std::string> name;  // absent: not opened, or unreadable
  bool attached = false;
};

// Opens the input desktop and, unless it is the one already attached (same
// name, byte for byte), attaches the calling thread to it. A failed open
// changes nothing; a failed attach keeps the previous attachment.
FollowedDesktop follow_input_desktop(SecureDesktopState& state, DesktopApi& desktops);

}  // namespace halvorine
