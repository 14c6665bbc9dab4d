// Windows virtual-key codes (with the extended-key flag) to X keysyms, so the
// Linux backend can replay the fixed keys of common/physical_keys.inc, which
// go by virtual key (layout keys go by their physical key instead). The
// extended flag picks between keys that share a virtual key: numpad Enter
// and Enter, the navigation block and the numpad keys with NumLock off.
#pragma once

#include <cstdint>
#include <vector>

namespace halvorine {

// The keysym to press for `virtual_key`, or 0 when there is none.
std::uint32_t keysym_for_virtual_key(std::uint16_t virtual_key, bool extended);

// The keysyms of Numpad0..Numpad9 and NumpadDecimal: keys typed often, that
// X keyboard maps put behind NumLock, so the X backend binds them up front.
std::vector<std::uint32_t> numpad_keysyms();

}  // namespace halvorine
