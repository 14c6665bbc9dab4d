#include "bin/worker/inject/host/virtual_key_keysyms.h"

#include <X11/keysym.h>

#include <array>
#include <optional>

#include "common/physical_keys.h"

namespace halvorine {
namespace {

struct KeysymRow {
  std::uint16_t scan_code;  // 0xE0nn when extended
  std::uint8_t virtual_key;
  KeyMapping mapping;
  std::uint32_t keysym;
};

constexpr auto kKeysyms = std::to_array<KeysymRow>({
#define PHYSICAL_KEY(code, scan, virtual_key, x_keycode, keysym, mapping) \
  {scan, virtual_key, KeyMapping::mapping, XK_##keysym},
#include "common/physical_keys.inc"
#undef PHYSICAL_KEY
});

// What Windows sends for the numpad's keys with NumLock off: the navigation
// block's virtual keys without the extended flag. No key of the table sends
// them, but a record may carry them.
struct NumpadWithoutNumLock {
  std::uint8_t virtual_key;
  std::uint32_t keysym;
};
constexpr std::array<NumpadWithoutNumLock, 10> kNumpadWithoutNumLock{{
    {0x21, XK_KP_Prior}, {0x22, XK_KP_Next}, {0x23, XK_KP_End},   {0x24, XK_KP_Home},   {0x25, XK_KP_Left},
    {0x26, XK_KP_Up},    {0x27, XK_KP_Right}, {0x28, XK_KP_Down}, {0x2D, XK_KP_Insert}, {0x2E, XK_KP_Delete},
}};

// The fixed key with this virtual key; the one with this extended flag first.
std::optional<std::uint32_t> fixed_key_keysym(std::uint16_t virtual_key, std::optional<bool> extended) {
  for (const KeysymRow& row : kKeysyms) {
    const bool row_extended = (row.scan_code & 0xFF00) == 0xE000;
    if (row.mapping == KeyMapping::fixed && row.virtual_key == virtual_key &&
        (!extended || row_extended == *extended)) {
      return row.keysym;
    }
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t keysym_for_virtual_key(std::uint16_t virtual_key, bool extended) {
  if (auto keysym = fixed_key_keysym(virtual_key, extended)) return *keysym;
  if (!extended) {
    for (const auto& row : kNumpadWithoutNumLock) {
      if (row.virtual_key == virtual_key) return row.keysym;
    }
  }
  return fixed_key_keysym(virtual_key, std::nullopt).value_or(0);
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
