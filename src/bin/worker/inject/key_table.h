// Maps the GUI's key names (W3C KeyboardEvent code values, plus the older
// "OSLeft"/"OSRight") to a Windows virtual-key code and the extended-key flag.
// Pure lookup: no state, no allocation, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace halvorine {

struct KeyCode {
  std::uint16_t virtual_key = 0;
  bool extended = false;
  friend bool operator==(const KeyCode&, const KeyCode&) = default;
};

// One row of the table of keys that are named rather than numbered.
struct NamedKey {
  std::string_view name;
  std::uint16_t virtual_key;
  bool extended;
};

inline constexpr bool kExtended = true;
inline constexpr bool kPlain = false;

// Keys outside the four numbered families (KeyA.., Digit0.., Numpad0.., F1..F24).
// Names are matched byte for byte, exact case.
inline constexpr std::array<NamedKey, 50> kNamedKeys{{
    {"Backquote", 0xC0, kPlain},        // VK_OEM_3
    {"Minus", 0xBD, kPlain},            // VK_OEM_MINUS
    {"Equal", 0xBB, kPlain},            // VK_OEM_PLUS
    {"BracketLeft", 0xDB, kPlain},      // VK_OEM_4
    {"BracketRight", 0xDD, kPlain},     // VK_OEM_6
    {"Backslash", 0xDC, kPlain},        // VK_OEM_5
    {"Semicolon", 0xBA, kPlain},        // VK_OEM_1
    {"Quote", 0xDE, kPlain},            // VK_OEM_7
    {"Comma", 0xBC, kPlain},            // VK_OEM_COMMA
    {"Period", 0xBE, kPlain},           // VK_OEM_PERIOD
    {"Slash", 0xBF, kPlain},            // VK_OEM_2
    {"Space", 0x20, kPlain},            // VK_SPACE
    {"Tab", 0x09, kPlain},              // VK_TAB
    {"Enter", 0x0D, kPlain},            // VK_RETURN
    {"Backspace", 0x08, kPlain},        // VK_BACK
    {"Escape", 0x1B, kPlain},           // VK_ESCAPE
    {"ShiftLeft", 0xA0, kPlain},        // VK_LSHIFT
    {"ShiftRight", 0xA1, kPlain},       // VK_RSHIFT
    {"ControlLeft", 0xA2, kPlain},      // VK_LCONTROL
    {"ControlRight", 0xA3, kExtended},  // VK_RCONTROL
    {"AltLeft", 0xA4, kPlain},          // VK_LMENU
    {"AltRight", 0xA5, kExtended},      // VK_RMENU
    {"MetaLeft", 0x5B, kExtended},      // VK_LWIN
    {"MetaRight", 0x5C, kExtended},     // VK_RWIN
    {"OSLeft", 0x5B, kExtended},        // VK_LWIN
    {"OSRight", 0x5C, kExtended},       // VK_RWIN
    {"ContextMenu", 0x5D, kExtended},   // VK_APPS
    {"CapsLock", 0x14, kPlain},         // VK_CAPITAL
    {"NumLock", 0x90, kExtended},       // VK_NUMLOCK
    {"ScrollLock", 0x91, kPlain},       // VK_SCROLL
    {"Insert", 0x2D, kExtended},        // VK_INSERT
    {"Delete", 0x2E, kExtended},        // VK_DELETE
    {"Home", 0x24, kExtended},          // VK_HOME
    {"End", 0x23, kExtended},           // VK_END
    {"PageUp", 0x21, kExtended},        // VK_PRIOR
    {"PageDown", 0x22, kExtended},      // VK_NEXT
    {"ArrowLeft", 0x25, kExtended},     // VK_LEFT
    {"ArrowUp", 0x26, kExtended},       // VK_UP
    {"ArrowRight", 0x27, kExtended},    // VK_RIGHT
    {"ArrowDown", 0x28, kExtended},     // VK_DOWN
    {"PrintScreen", 0x2C, kExtended},   // VK_SNAPSHOT
    {"Pause", 0x13, kPlain},            // VK_PAUSE
    {"NumpadAdd", 0x6B, kPlain},        // VK_ADD
    {"NumpadSubtract", 0x6D, kPlain},   // VK_SUBTRACT
    {"NumpadMultiply", 0x6A, kPlain},   // VK_MULTIPLY
    {"NumpadDivide", 0x6F, kExtended},  // VK_DIVIDE
    {"NumpadDecimal", 0x6E, kPlain},    // VK_DECIMAL
    {"NumpadComma", 0x6C, kPlain},      // VK_SEPARATOR
    {"NumpadEnter", 0x0D, kExtended},   // VK_RETURN
    {"NumpadEqual", 0xBB, kPlain},      // VK_OEM_PLUS
}};

// The key for `name`, or nullopt when the name is not one we inject. Only the
// letter of "Key<letter>" is case-insensitive; everything else is exact.
std::optional<KeyCode> lookup_key(std::string_view name);

}  // namespace halvorine
