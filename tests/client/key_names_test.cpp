// The view's key tables against the codes as the platforms define them:
// every key the worker can inject, written out by code.
#include "view/key_names.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "bin/worker/inject/key_table.h"

namespace halvorine::client {
namespace {

// X keycodes of the evdev layout (Linux input code + 8).
constexpr const char* kXKeycodes = R"(
9 Escape 10 Digit1 11 Digit2 12 Digit3 13 Digit4 14 Digit5 15 Digit6 16 Digit7 17 Digit8 18 Digit9 19 Digit0
20 Minus 21 Equal 22 Backspace 23 Tab 24 KeyQ 25 KeyW 26 KeyE 27 KeyR 28 KeyT 29 KeyY 30 KeyU 31 KeyI 32 KeyO
33 KeyP 34 BracketLeft 35 BracketRight 36 Enter 37 ControlLeft 38 KeyA 39 KeyS 40 KeyD 41 KeyF 42 KeyG 43 KeyH
44 KeyJ 45 KeyK 46 KeyL 47 Semicolon 48 Quote 49 Backquote 50 ShiftLeft 51 Backslash 52 KeyZ 53 KeyX 54 KeyC
55 KeyV 56 KeyB 57 KeyN 58 KeyM 59 Comma 60 Period 61 Slash 62 ShiftRight 63 NumpadMultiply 64 AltLeft 65 Space
66 CapsLock 67 F1 68 F2 69 F3 70 F4 71 F5 72 F6 73 F7 74 F8 75 F9 76 F10 77 NumLock 78 ScrollLock 79 Numpad7
80 Numpad8 81 Numpad9 82 NumpadSubtract 83 Numpad4 84 Numpad5 85 Numpad6 86 NumpadAdd 87 Numpad1 88 Numpad2
89 Numpad3 90 Numpad0 91 NumpadDecimal 95 F11 96 F12 104 NumpadEnter 105 ControlRight 106 NumpadDivide
107 PrintScreen 108 AltRight 110 Home 111 ArrowUp 112 PageUp 113 ArrowLeft 114 ArrowRight 115 End 116 ArrowDown
117 PageDown 118 Insert 119 Delete 125 NumpadEqual 127 Pause 129 NumpadComma 133 MetaLeft 134 MetaRight
135 ContextMenu 191 F13 192 F14 193 F15 194 F16 195 F17 196 F18 197 F19 198 F20 199 F21 200 F22 201 F23 202 F24
)";

// Set-1 scan codes; 0xE0.. carries the extended bit.
constexpr const char* kScanCodes = R"(
0x01 Escape 0x02 Digit1 0x03 Digit2 0x04 Digit3 0x05 Digit4 0x06 Digit5 0x07 Digit6 0x08 Digit7 0x09 Digit8
0x0A Digit9 0x0B Digit0 0x0C Minus 0x0D Equal 0x0E Backspace 0x0F Tab 0x10 KeyQ 0x11 KeyW 0x12 KeyE 0x13 KeyR
0x14 KeyT 0x15 KeyY 0x16 KeyU 0x17 KeyI 0x18 KeyO 0x19 KeyP 0x1A BracketLeft 0x1B BracketRight 0x1C Enter
0x1D ControlLeft 0x1E KeyA 0x1F KeyS 0x20 KeyD 0x21 KeyF 0x22 KeyG 0x23 KeyH 0x24 KeyJ 0x25 KeyK 0x26 KeyL
0x27 Semicolon 0x28 Quote 0x29 Backquote 0x2A ShiftLeft 0x2B Backslash 0x2C KeyZ 0x2D KeyX 0x2E KeyC 0x2F KeyV
0x30 KeyB 0x31 KeyN 0x32 KeyM 0x33 Comma 0x34 Period 0x35 Slash 0x36 ShiftRight 0x37 NumpadMultiply 0x38 AltLeft
0x39 Space 0x3A CapsLock 0x3B F1 0x3C F2 0x3D F3 0x3E F4 0x3F F5 0x40 F6 0x41 F7 0x42 F8 0x43 F9 0x44 F10
0x45 Pause 0x46 ScrollLock 0x47 Numpad7 0x48 Numpad8 0x49 Numpad9 0x4A NumpadSubtract 0x4B Numpad4 0x4C Numpad5
0x4D Numpad6 0x4E NumpadAdd 0x4F Numpad1 0x50 Numpad2 0x51 Numpad3 0x52 Numpad0 0x53 NumpadDecimal 0x57 F11
0x58 F12 0x59 NumpadEqual 0x64 F13 0x65 F14 0x66 F15 0x67 F16 0x68 F17 0x69 F18 0x6A F19 0x6B F20 0x6C F21
0x6D F22 0x6E F23 0x76 F24 0x7E NumpadComma
0xE01C NumpadEnter 0xE01D ControlRight 0xE035 NumpadDivide 0xE037 PrintScreen 0xE038 AltRight 0xE045 NumLock
0xE047 Home 0xE048 ArrowUp 0xE049 PageUp 0xE04B ArrowLeft 0xE04D ArrowRight 0xE04F End 0xE050 ArrowDown
0xE051 PageDown 0xE052 Insert 0xE053 Delete 0xE05B MetaLeft 0xE05C MetaRight 0xE05D ContextMenu
)";

std::map<unsigned, std::string> parse(const char* table) {
  std::map<unsigned, std::string> rows;
  std::istringstream in(table);
  std::string code, name;
  while (in >> code >> name) rows[static_cast<unsigned>(std::stoul(code, nullptr, 0))] = name;
  return rows;
}

// Every code of `codes` (and no other in 0..limit) gives its name, and the
// names are the worker's whole vocabulary but its two old aliases.
template <typename Lookup>
void expect_table(const char* table, unsigned limit, Lookup lookup) {
  const auto rows = parse(table);
  std::set<std::string> names;
  for (unsigned code = 0; code < limit; ++code) {
    const auto row = rows.find(code);
    const std::string expected = row == rows.end() ? "" : row->second;
    EXPECT_EQ(lookup(code), expected) << "code 0x" << std::hex << code;
    if (!expected.empty()) {
      EXPECT_TRUE(names.insert(expected).second) << expected << " twice";
      EXPECT_TRUE(lookup_key(expected).has_value()) << expected << " is not a name the worker injects";
    }
  }
  // 26 letters, 10 digits, 10 numpad digits, 24 function keys, 48 named keys.
  EXPECT_EQ(names.size(), 118u);
}

TEST(KeyNames, XKeycodesOfTheEvdevLayout) {
  expect_table(kXKeycodes, 512, [](unsigned code) { return std::string(x_keycode_name(code)); });
}

TEST(KeyNames, WindowsScanCodesWithTheExtendedBit) {
  expect_table(kScanCodes, 0xE100, [](unsigned code) {
    if (code >= 0x100 && (code & 0xFF00) != 0xE000) return std::string();
    return std::string(scan_code_name(code & 0xFF, (code & 0xE000) != 0));
  });
}

}  // namespace
}  // namespace halvorine::client
