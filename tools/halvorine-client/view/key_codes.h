// The physical keys the view sends, one row per key: its name on the input
// pipe (a KeyboardEvent code value the worker's key table accepts) and the
// codes the platforms' windows report for it:
//   X: the keycode of the X server's evdev layout (Linux input code + 8),
//      what Xorg, Xvfb and XWayland use;
//   Windows: the set-1 scan code of a key message (WM_KEYDOWN lParam bits
//      16..23) and its extended bit (bit 24, sent after an E0 prefix).
// Pure data; a code without a row has no name we send.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace halvorine::client {

struct PhysicalKey {
  std::string_view name;
  std::uint8_t x_keycode;
  std::uint8_t scan_code;
  bool extended;
};

inline constexpr bool kExtended = true;
inline constexpr bool kPlain = false;

// In X keycode order.
inline constexpr std::array<PhysicalKey, 118> kPhysicalKeys{{
    {"Escape",           9, 0x01, kPlain},
    {"Digit1",          10, 0x02, kPlain},
    {"Digit2",          11, 0x03, kPlain},
    {"Digit3",          12, 0x04, kPlain},
    {"Digit4",          13, 0x05, kPlain},
    {"Digit5",          14, 0x06, kPlain},
    {"Digit6",          15, 0x07, kPlain},
    {"Digit7",          16, 0x08, kPlain},
    {"Digit8",          17, 0x09, kPlain},
    {"Digit9",          18, 0x0A, kPlain},
    {"Digit0",          19, 0x0B, kPlain},
    {"Minus",           20, 0x0C, kPlain},
    {"Equal",           21, 0x0D, kPlain},
    {"Backspace",       22, 0x0E, kPlain},
    {"Tab",             23, 0x0F, kPlain},
    {"KeyQ",            24, 0x10, kPlain},
    {"KeyW",            25, 0x11, kPlain},
    {"KeyE",            26, 0x12, kPlain},
    {"KeyR",            27, 0x13, kPlain},
    {"KeyT",            28, 0x14, kPlain},
    {"KeyY",            29, 0x15, kPlain},
    {"KeyU",            30, 0x16, kPlain},
    {"KeyI",            31, 0x17, kPlain},
    {"KeyO",            32, 0x18, kPlain},
    {"KeyP",            33, 0x19, kPlain},
    {"BracketLeft",     34, 0x1A, kPlain},
    {"BracketRight",    35, 0x1B, kPlain},
    {"Enter",           36, 0x1C, kPlain},
    {"ControlLeft",     37, 0x1D, kPlain},
    {"KeyA",            38, 0x1E, kPlain},
    {"KeyS",            39, 0x1F, kPlain},
    {"KeyD",            40, 0x20, kPlain},
    {"KeyF",            41, 0x21, kPlain},
    {"KeyG",            42, 0x22, kPlain},
    {"KeyH",            43, 0x23, kPlain},
    {"KeyJ",            44, 0x24, kPlain},
    {"KeyK",            45, 0x25, kPlain},
    {"KeyL",            46, 0x26, kPlain},
    {"Semicolon",       47, 0x27, kPlain},
    {"Quote",           48, 0x28, kPlain},
    {"Backquote",       49, 0x29, kPlain},
    {"ShiftLeft",       50, 0x2A, kPlain},
    {"Backslash",       51, 0x2B, kPlain},
    {"KeyZ",            52, 0x2C, kPlain},
    {"KeyX",            53, 0x2D, kPlain},
    {"KeyC",            54, 0x2E, kPlain},
    {"KeyV",            55, 0x2F, kPlain},
    {"KeyB",            56, 0x30, kPlain},
    {"KeyN",            57, 0x31, kPlain},
    {"KeyM",            58, 0x32, kPlain},
    {"Comma",           59, 0x33, kPlain},
    {"Period",          60, 0x34, kPlain},
    {"Slash",           61, 0x35, kPlain},
    {"ShiftRight",      62, 0x36, kPlain},
    {"NumpadMultiply",  63, 0x37, kPlain},
    {"AltLeft",         64, 0x38, kPlain},
    {"Space",           65, 0x39, kPlain},
    {"CapsLock",        66, 0x3A, kPlain},
    {"F1",              67, 0x3B, kPlain},
    {"F2",              68, 0x3C, kPlain},
    {"F3",              69, 0x3D, kPlain},
    {"F4",              70, 0x3E, kPlain},
    {"F5",              71, 0x3F, kPlain},
    {"F6",              72, 0x40, kPlain},
    {"F7",              73, 0x41, kPlain},
    {"F8",              74, 0x42, kPlain},
    {"F9",              75, 0x43, kPlain},
    {"F10",             76, 0x44, kPlain},
    {"NumLock",         77, 0x45, kExtended},
    {"ScrollLock",      78, 0x46, kPlain},
    {"Numpad7",         79, 0x47, kPlain},
    {"Numpad8",         80, 0x48, kPlain},
    {"Numpad9",         81, 0x49, kPlain},
    {"NumpadSubtract",  82, 0x4A, kPlain},
    {"Numpad4",         83, 0x4B, kPlain},
    {"Numpad5",         84, 0x4C, kPlain},
    {"Numpad6",         85, 0x4D, kPlain},
    {"NumpadAdd",       86, 0x4E, kPlain},
    {"Numpad1",         87, 0x4F, kPlain},
    {"Numpad2",         88, 0x50, kPlain},
    {"Numpad3",         89, 0x51, kPlain},
    {"Numpad0",         90, 0x52, kPlain},
    {"NumpadDecimal",   91, 0x53, kPlain},
    {"F11",             95, 0x57, kPlain},
    {"F12",             96, 0x58, kPlain},
    {"NumpadEnter",    104, 0x1C, kExtended},
    {"ControlRight",   105, 0x1D, kExtended},
    {"NumpadDivide",   106, 0x35, kExtended},
    {"PrintScreen",    107, 0x37, kExtended},
    {"AltRight",       108, 0x38, kExtended},
    {"Home",           110, 0x47, kExtended},
    {"ArrowUp",        111, 0x48, kExtended},
    {"PageUp",         112, 0x49, kExtended},
    {"ArrowLeft",      113, 0x4B, kExtended},
    {"ArrowRight",     114, 0x4D, kExtended},
    {"End",            115, 0x4F, kExtended},
    {"ArrowDown",      116, 0x50, kExtended},
    {"PageDown",       117, 0x51, kExtended},
    {"Insert",         118, 0x52, kExtended},
    {"Delete",         119, 0x53, kExtended},
    {"NumpadEqual",    125, 0x59, kPlain},
    {"Pause",          127, 0x45, kPlain},
    {"NumpadComma",    129, 0x7E, kPlain},
    {"MetaLeft",       133, 0x5B, kExtended},
    {"MetaRight",      134, 0x5C, kExtended},
    {"ContextMenu",    135, 0x5D, kExtended},
    {"F13",            191, 0x64, kPlain},
    {"F14",            192, 0x65, kPlain},
    {"F15",            193, 0x66, kPlain},
    {"F16",            194, 0x67, kPlain},
    {"F17",            195, 0x68, kPlain},
    {"F18",            196, 0x69, kPlain},
    {"F19",            197, 0x6A, kPlain},
    {"F20",            198, 0x6B, kPlain},
    {"F21",            199, 0x6C, kPlain},
    {"F22",            200, 0x6D, kPlain},
    {"F23",            201, 0x6E, kPlain},
    {"F24",            202, 0x76, kPlain},
}};

// The row's name; empty for a code without a row.
std::string_view x_keycode_name(unsigned keycode);
std::string_view scan_code_name(unsigned scan_code, bool extended);

}  // namespace halvorine::client
