// The one table of physical keys (physical_keys.inc), shared by every program
// that names keys: the worker's key lookup and its X backend, and the
// reference client's view. A key's name is its W3C code value, a position on
// the keyboard; its codes are what each platform calls that position.
// Pure constexpr data and lookups: no state, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace halvorine {

// How a key reaches a desktop (see physical_keys.inc).
enum class KeyMapping : std::uint8_t {
  layout,  // the desktop's layout decides what it types: sent as the physical key
  fixed,   // the same key on every layout: sent by its virtual key
};

struct PhysicalKey {
  std::string_view code;      // W3C KeyboardEvent code value
  std::uint16_t scan_code;    // set 1, 0xE0nn when E0-prefixed
  std::uint8_t virtual_key;   // Windows, US layout
  std::uint8_t x_keycode;     // evdev code + 8
  KeyMapping mapping;

  constexpr bool extended() const { return (scan_code & 0xFF00) == 0xE000; }
  constexpr std::uint8_t scan_byte() const { return static_cast<std::uint8_t>(scan_code & 0xFF); }
};

inline constexpr auto kPhysicalKeys = std::to_array<PhysicalKey>({
#define PHYSICAL_KEY(code, scan, virtual_key, x_keycode, keysym, mapping) \
  {code, scan, virtual_key, x_keycode, KeyMapping::mapping},
#include "common/physical_keys.inc"
#undef PHYSICAL_KEY
});

// The row named `code` (exact, whole name), or nullptr.
constexpr const PhysicalKey* find_key_by_code(std::string_view code) {
  for (const PhysicalKey& key : kPhysicalKeys) {
    if (key.code == code) return &key;
  }
  return nullptr;
}

// The row of the key Windows reports as `scan_byte` with the extended bit
// `extended`, or nullptr.
constexpr const PhysicalKey* find_key_by_scan_code(unsigned scan_byte, bool extended) {
  if (scan_byte > 0xFF) return nullptr;
  const unsigned scan_code = scan_byte | (extended ? 0xE000u : 0u);
  for (const PhysicalKey& key : kPhysicalKeys) {
    if (key.scan_code == scan_code) return &key;
  }
  return nullptr;
}

// The row of X keycode `x_keycode`, or nullptr.
constexpr const PhysicalKey* find_key_by_x_keycode(unsigned x_keycode) {
  for (const PhysicalKey& key : kPhysicalKeys) {
    if (key.x_keycode == x_keycode) return &key;
  }
  return nullptr;
}

}  // namespace halvorine
