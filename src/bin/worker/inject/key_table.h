// Maps the GUI's key names (W3C KeyboardEvent code values, plus the older
// "OSLeft"/"OSRight") to what one input record needs: a Windows virtual-key
// code and the extended-key flag, and, for a key whose meaning the layout
// decides (letters, digits, punctuation, the ISO and Japanese/Korean keys),
// the set-1 scan code of the physical key. The names are physical positions:
// which character such a key types is the input desktop's layout's business,
// so the injector asks that layout for the virtual key of the scan code and
// keeps the table's (US) virtual key only as a fallback. The keys are the
// rows of common/physical_keys.inc.
// Pure lookup: no state, no allocation, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "common/physical_keys.h"

namespace halvorine {

struct KeyCode {
  std::uint16_t virtual_key = 0;
  bool extended = false;
  // The set-1 scan code of a layout key; 0 for a fixed key, which goes by its
  // virtual key alone on every layout. Never E0-prefixed: no layout key is.
  std::uint16_t scan_code = 0;
  friend bool operator==(const KeyCode&, const KeyCode&) = default;
};

// Older names for keys of the table, still accepted on the wire.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kKeyNameAliases{{
    {"OSLeft", "MetaLeft"},
    {"OSRight", "MetaRight"},
}};

// The key for `name`, or nullopt when the name is not one we inject. Names
// are matched whole and byte for byte, except the letter of "Key<letter>",
// which may be lower case.
std::optional<KeyCode> lookup_key(std::string_view name);

}  // namespace halvorine
