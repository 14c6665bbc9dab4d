// The window's physical key codes → the input pipe's key names (KeyboardEvent
// code values, the names the worker's key table accepts).
//
// X: the keycode of the X server's evdev layout (Linux input code + 8), what
// Xorg, Xvfb and XWayland use. Windows: the set-1 scan code of a key message
// (WM_KEYDOWN lParam bits 16..23) and its extended bit (bit 24).
// Pure data: empty result for a key that has no name we send.
#pragma once

#include <string_view>

namespace halvorine::client {

std::string_view x_keycode_name(unsigned keycode);
std::string_view scan_code_name(unsigned scan_code, bool extended);

}  // namespace halvorine::client
