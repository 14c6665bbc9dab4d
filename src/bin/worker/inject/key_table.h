// Maps the GUI's key names (W3C KeyboardEvent code values, plus the older
// "OSLeft"/"OSRight") to a Windows virtual-key code and the extended-key flag,
// and, for the keys of the writing system (letters, digits, punctuation), to
// the set-1 scan code of the physical key. The names are physical positions:
// which character such a key types is the input desktop's layout's business,
// so the injector asks that layout for the virtual key of the scan code and
// keeps the table's (US) virtual key only as a fallback.
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
  // The set-1 scan code of a writing-system key; 0 for every other key, which
  // goes by its virtual key alone on every layout. Never E0-prefixed: these
  // keys sit in the main block and none is extended.
  std::uint16_t scan_code = 0;
  friend bool operator==(const KeyCode&, const KeyCode&) = default;
};

// One row of the table of keys that are named rather than numbered.
struct NamedKey {
  std::string_view name;
  std::uint16_t virtual_key;
  bool extended;
  std::uint16_t scan_code;  // writing-system keys only, else 0
};

inline constexpr bool kExtended = true;
inline constexpr bool kPlain = false;

// Keys outside the four numbered families (KeyA.., Digit0.., Numpad0.., F1..F24).
// Names are matched byte for byte, exact case. Columns: name, virtual key,
// extended, scan code.
inline constexpr std::array<NamedKey, 50> kNamedKeys{{
    {"Backquote", 0xC0, kPlain, 0x29},        // VK_OEM_3
    {"Minus", 0xBD, kPlain, 0x0C},            // VK_OEM_MINUS
    {"Equal", 0xBB, kPlain, 0x0D},            // VK_OEM_PLUS
    {"BracketLeft", 0xDB, kPlain, 0x1A},      // VK_OEM_4
    {"BracketRight", 0xDD, kPlain, 0x1B},     // VK_OEM_6
    {"Backslash", 0xDC, kPlain, 0x2B},        // VK_OEM_5
    {"Semicolon", 0xBA, kPlain, 0x27},        // VK_OEM_1
    {"Quote", 0xDE, kPlain, 0x28},            // VK_OEM_7
    {"Comma", 0xBC, kPlain, 0x33},            // VK_OEM_COMMA
    {"Period", 0xBE, kPlain, 0x34},           // VK_OEM_PERIOD
    {"Slash", 0xBF, kPlain, 0x35},            // VK_OEM_2
    {"Space", 0x20, kPlain, 0},               // VK_SPACE
    {"Tab", 0x09, kPlain, 0},                 // VK_TAB
    {"Enter", 0x0D, kPlain, 0},               // VK_RETURN
    {"Backspace", 0x08, kPlain, 0},           // VK_BACK
    {"Escape", 0x1B, kPlain, 0},              // VK_ESCAPE
    {"ShiftLeft", 0xA0, kPlain, 0},           // VK_LSHIFT
    {"ShiftRight", 0xA1, kPlain, 0},          // VK_RSHIFT
    {"ControlLeft", 0xA2, kPlain, 0},         // VK_LCONTROL
    {"ControlRight", 0xA3, kExtended, 0},     // VK_RCONTROL
    {"AltLeft", 0xA4, kPlain, 0},             // VK_LMENU
    {"AltRight", 0xA5, kExtended, 0},         // VK_RMENU
    {"MetaLeft", 0x5B, kExtended, 0},         // VK_LWIN
    {"MetaRight", 0x5C, kExtended, 0},        // VK_RWIN
    {"OSLeft", 0x5B, kExtended, 0},           // VK_LWIN
    {"OSRight", 0x5C, kExtended, 0},          // VK_RWIN
    {"ContextMenu", 0x5D, kExtended, 0},      // VK_APPS
    {"CapsLock", 0x14, kPlain, 0},            // VK_CAPITAL
    {"NumLock", 0x90, kExtended, 0},          // VK_NUMLOCK
    {"ScrollLock", 0x91, kPlain, 0},          // VK_SCROLL
    {"Insert", 0x2D, kExtended, 0},           // VK_INSERT
    {"Delete", 0x2E, kExtended, 0},           // VK_DELETE
    {"Home", 0x24, kExtended, 0},             // VK_HOME
    {"End", 0x23, kExtended, 0},              // VK_END
    {"PageUp", 0x21, kExtended, 0},           // VK_PRIOR
    {"PageDown", 0x22, kExtended, 0},         // VK_NEXT
    {"ArrowLeft", 0x25, kExtended, 0},        // VK_LEFT
    {"ArrowUp", 0x26, kExtended, 0},          // VK_UP
    {"ArrowRight", 0x27, kExtended, 0},       // VK_RIGHT
    {"ArrowDown", 0x28, kExtended, 0},        // VK_DOWN
    {"PrintScreen", 0x2C, kExtended, 0},      // VK_SNAPSHOT
    {"Pause", 0x13, kPlain, 0},               // VK_PAUSE
    {"NumpadAdd", 0x6B, kPlain, 0},           // VK_ADD
    {"NumpadSubtract", 0x6D, kPlain, 0},      // VK_SUBTRACT
    {"NumpadMultiply", 0x6A, kPlain, 0},      // VK_MULTIPLY
    {"NumpadDivide", 0x6F, kExtended, 0},     // VK_DIVIDE
    {"NumpadDecimal", 0x6E, kPlain, 0},       // VK_DECIMAL
    {"NumpadComma", 0x6C, kPlain, 0},         // VK_SEPARATOR
    {"NumpadEnter", 0x0D, kExtended, 0},      // VK_RETURN
    {"NumpadEqual", 0xBB, kPlain, 0},         // VK_OEM_PLUS
}};

// Set-1 scan codes of the letter keys "KeyA".."KeyZ" and of the digit keys
// "Digit0".."Digit9", in that order.
inline constexpr std::array<std::uint16_t, 26> kLetterScanCodes{
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,  // A..M
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,  // N..Z
};
inline constexpr std::array<std::uint16_t, 10> kDigitScanCodes{
    0x0B, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,  // 0..9
};

// The key for `name`, or nullopt when the name is not one we inject. Only the
// letter of "Key<letter>" is case-insensitive; everything else is exact.
std::optional<KeyCode> lookup_key(std::string_view name);

}  // namespace halvorine
