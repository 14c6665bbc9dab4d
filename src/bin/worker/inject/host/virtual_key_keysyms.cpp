#include "bin/worker/inject/host/virtual_key_keysyms.h"

#include <X11/keysym.h>

#include <array>

namespace halvorine {
namespace {

struct KeysymRow {
  std::uint16_t virtual_key;
  std::uint32_t plain;     // without the extended flag
  std::uint32_t extended;  // with it
};

// Keys outside the contiguous ranges handled in keysym_for_virtual_key.
constexpr std::array<KeysymRow, 36> kKeysyms{{
    {0x08, XK_BackSpace, XK_BackSpace},
    {0x09, XK_Tab, XK_Tab},
    {0x0D, XK_Return, XK_KP_Enter},
    {0x13, XK_Pause, XK_Pause},
    {0x14, XK_Caps_Lock, XK_Caps_Lock},
    {0x1B, XK_Escape, XK_Escape},
    {0x20, XK_space, XK_space},
    {0x21, XK_KP_Prior, XK_Prior},
    {0x22, XK_KP_Next, XK_Next},
    {0x23, XK_KP_End, XK_End},
    {0x24, XK_KP_Home, XK_Home},
    {0x25, XK_KP_Left, XK_Left},
    {0x26, XK_KP_Up, XK_Up},
    {0x27, XK_KP_Right, XK_Right},
    {0x28, XK_KP_Down, XK_Down},
    {0x2C, XK_Print, XK_Print},
    {0x2D, XK_KP_Insert, XK_Insert},
    {0x2E, XK_KP_Delete, XK_Delete},
    {0x5B, XK_Super_L, XK_Super_L},
    {0x5C, XK_Super_R, XK_Super_R},
    {0x5D, XK_Menu, XK_Menu},
    {0x6A, XK_KP_Multiply, XK_KP_Multiply},
    {0x6B, XK_KP_Add, XK_KP_Add},
    {0x6C, XK_KP_Separator, XK_KP_Separator},
    {0x6D, XK_KP_Subtract, XK_KP_Subtract},
    {0x6E, XK_KP_Decimal, XK_KP_Decimal},
    {0x6F, XK_KP_Divide, XK_KP_Divide},
    {0x90, XK_Num_Lock, XK_Num_Lock},
    {0x91, XK_Scroll_Lock, XK_Scroll_Lock},
    {0xA0, XK_Shift_L, XK_Shift_L},
    {0xA1, XK_Shift_R, XK_Shift_R},
    {0xA2, XK_Control_L, XK_Control_R},
    {0xA3, XK_Control_R, XK_Control_R},
    {0xA4, XK_Alt_L, XK_Alt_R},
    {0xA5, XK_Alt_R, XK_Alt_R},
    {0xBB, XK_equal, XK_equal},  // NumpadEqual
}};

}  // namespace

std::uint32_t keysym_for_virtual_key(std::uint16_t virtual_key, bool extended) {
  if (virtual_key >= 0x60 && virtual_key <= 0x69) return XK_KP_0 + (virtual_key - 0x60);
  if (virtual_key >= 0x70 && virtual_key <= 0x87) return XK_F1 + (virtual_key - 0x70);
  for (const KeysymRow& row : kKeysyms) {
    if (row.virtual_key == virtual_key) return extended ? row.extended : row.plain;
  }
  return 0;
}

std::vector<std::uint32_t> numpad_keysyms() {
  std::vector<std::uint32_t> keysyms;
  for (std::uint16_t virtual_key = 0x60; virtual_key <= 0x69; ++virtual_key) {  // VK_NUMPAD0..9
    keysyms.push_back(keysym_for_virtual_key(virtual_key, false));
  }
  keysyms.push_back(keysym_for_virtual_key(0x6E, false));  // VK_DECIMAL
  return keysyms;
}

}  // namespace halvorine
