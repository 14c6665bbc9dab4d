// The names the view sends for the keys its window reports, from the key
// table the worker injects by (common/physical_keys.inc):
//   X: the keycode of the X server's evdev layout (Linux input code + 8),
//      what Xorg, Xvfb and XWayland use;
//   Windows: the set-1 scan code of a key message (WM_KEYDOWN lParam bits
//      16..23) and its extended bit (bit 24, sent after an E0 prefix).
// A code without a row has no name we send: empty.
#pragma once

#include <string_view>

namespace halvorine::client {

std::string_view x_keycode_name(unsigned keycode);
std::string_view scan_code_name(unsigned scan_code, bool extended);

}  // namespace halvorine::client
