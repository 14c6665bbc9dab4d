// Windows virtual-key codes (with the extended-key flag) to X keysyms, so the
// Linux backend can replay what the key table produces. The extended flag
// picks between keys that share a virtual key: numpad Enter and Enter, the
// navigation block and the numpad keys with NumLock off.
#pragma once

#include <cstdint>

namespace halvorine {

// The keysym to press for `virtual_key`, or 0 when there is none.
std::uint32_t keysym_for_virtual_key(std::uint16_t virtual_key, bool extended);

}  // namespace halvorine
