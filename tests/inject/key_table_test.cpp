#include "bin/worker/inject/key_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace halvorine {
namespace {

using ::testing::Optional;

std::optional<KeyCode> key(std::uint16_t vk, bool extended = false) { return KeyCode{vk, extended}; }

// Appends rather than operator+, which trips a false -Wrestrict in GCC 12.
std::string cat(std::string_view a, std::string_view b) {
  std::string out(a);
  out.append(b);
  return out;
}
std::string number(int n) { return std::to_string(n); }

// Every name of the four numbered families, in canonical (upper-case) form.
std::vector<std::string> family_names() {
  std::vector<std::string> names;
  for (char c = 'A'; c <= 'Z'; ++c) names.push_back(std::string("Key") + c);
  for (char c = '0'; c <= '9'; ++c) names.push_back(std::string("Digit") + c);
  for (char c = '0'; c <= '9'; ++c) names.push_back(std::string("Numpad") + c);
  for (int n = 1; n <= 24; ++n) names.push_back(cat("F", number(n)));
  return names;
}

// A handful of rows, written out from the published tables (Windows' virtual
// keys, the PC keyboard's set-1 scan codes), shared virtual keys included.
TEST(KeyTableTest, LiteralRows) {
  const std::pair<const char*, KeyCode> rows[] = {
      {"KeyA", {0x41, false, 0x1E}},  {"Keyq", {0x51, false, 0x10}},      {"KeyY", {0x59, false, 0x15}},
      {"KeyZ", {0x5A, false, 0x2C}},  {"Digit1", {0x31, false, 0x02}},    {"Digit0", {0x30, false, 0x0B}},
      {"Minus", {0xBD, false, 0x0C}}, {"Backquote", {0xC0, false, 0x29}}, {"Semicolon", {0xBA, false, 0x27}},
      {"Slash", {0xBF, false, 0x35}}, {"Equal", {0xBB, false, 0x0D}},     {"NumpadEqual", {0xBB, false, 0}},
      {"Enter", {0x0D, false, 0}},    {"NumpadEnter", {0x0D, true, 0}},   {"NumpadComma", {0x6C, false, 0}},
      {"MetaLeft", {0x5B, true, 0}},  {"OSLeft", {0x5B, true, 0}},        {"ArrowUp", {0x26, true, 0}},
      {"F1", {0x70, false, 0}},       {"F24", {0x87, false, 0}},          {"Numpad7", {0x67, false, 0}},
      // The ISO key and the Japanese and Korean keys: VK_OEM_102, VK_ABNT_C1, VK_OEM_5 (JIS Yen), VK_KANA,
      // VK_HANGUL, VK_HANJA, VK_CONVERT, VK_NONCONVERT; set-1 codes as the USB-to-PS/2 tables translate them.
      {"IntlBackslash", {0xE2, false, 0x56}}, {"IntlRo", {0xC1, false, 0x73}}, {"IntlYen", {0xDC, false, 0x7D}},
      {"KanaMode", {0x15, false, 0x70}},      {"Lang1", {0x15, false, 0x72}},  {"Lang2", {0x19, false, 0x71}},
      {"Convert", {0x1C, false, 0x79}},       {"NonConvert", {0x1D, false, 0x7B}},
  };
  for (const auto& [name, key] : rows) EXPECT_THAT(lookup_key(name), Optional(key)) << name;
}

// Letters, digits, the main block's punctuation and the ISO, Japanese and
// Korean keys name physical keys whose meaning the layout decides: each has
// its own set-1 scan code, below 0x80 (no E0 prefix, so a key no row may mark
// extended). Every other key goes by its virtual key alone.
TEST(KeyTableTest, LayoutKeysAndOnlyTheyHaveDistinctPlainScanCodes) {
  std::set<std::string> writing = {"Minus", "Equal", "BracketLeft", "BracketRight", "Backslash", "Semicolon",
                                   "Quote", "Backquote", "Comma", "Period", "Slash", "IntlBackslash", "IntlRo",
                                   "IntlYen", "KanaMode", "Lang1", "Lang2", "Convert", "NonConvert"};
  std::vector<std::string> names = family_names();
  std::copy_if(names.begin(), names.end(), std::inserter(writing, writing.end()),
               [](const std::string& name) { return name.starts_with("Key") || name.starts_with("Digit"); });
  for (const PhysicalKey& row : kPhysicalKeys) names.emplace_back(row.code);
  for (const auto& [alias, code] : kKeyNameAliases) names.emplace_back(alias);
  std::set<std::uint16_t> scan_codes;
  for (const std::string& name : names) {
    const KeyCode key = lookup_key(name).value();
    EXPECT_EQ(key.scan_code != 0, writing.contains(name)) << name;
    EXPECT_TRUE(key.scan_code < 0x80 && !(key.scan_code != 0 && key.extended)) << name;
    scan_codes.insert(key.scan_code);
  }
  EXPECT_EQ(scan_codes.size(), 26u + 10 + 11 + 8 + 1);  // letters, digits, punctuation, intl/IME; 0 for the rest
}

// The table's contract: one row per physical key, so every column that names
// a key (code, scan code with its E0 flag, X keycode) is unique; set-1 make
// codes are 01..7F, alone or after E0; the keys that go by virtual key tell
// themselves apart by it and the extended flag; and in the main block the
// evdev code is the scan code, as both published tables number it.
TEST(KeyTableTest, OneRowPerPhysicalKey) {
  std::set<std::string_view> codes;
  std::set<unsigned> scan_codes, x_keycodes, fixed_virtual_keys;
  for (const PhysicalKey& row : kPhysicalKeys) {
    SCOPED_TRACE(row.code);
    EXPECT_TRUE(codes.insert(row.code).second) << "code twice";
    EXPECT_TRUE(scan_codes.insert(row.scan_code).second) << "scan code twice";
    EXPECT_TRUE(x_keycodes.insert(row.x_keycode).second) << "X keycode twice";
    EXPECT_TRUE(row.scan_code >> 8 == 0 || row.extended());
    EXPECT_TRUE(row.scan_byte() >= 0x01 && row.scan_byte() < 0x80);
    EXPECT_GE(row.x_keycode, 8);  // X keycodes start at 8
    if (!row.extended() && row.scan_byte() <= 0x58 && row.code != "Pause") {  // Windows' 45 for E1 1D 45
      EXPECT_EQ(row.x_keycode, row.scan_byte() + 8);
    }
    if (row.mapping == KeyMapping::fixed) {
      EXPECT_TRUE(fixed_virtual_keys.insert(row.virtual_key | (row.extended() ? 0x100u : 0u)).second);
    } else {
      EXPECT_FALSE(row.extended());
    }
    EXPECT_NE(row.virtual_key, 0);
    // What the injector gets: the virtual key and E0 flag, the scan code of a layout key only.
    const std::uint16_t scan = row.mapping == KeyMapping::layout ? row.scan_byte() : 0;
    EXPECT_THAT(lookup_key(row.code), Optional(KeyCode{row.virtual_key, row.extended(), scan}));
  }
  for (const auto& [alias, code] : kKeyNameAliases) {
    EXPECT_FALSE(codes.contains(alias)) << alias;
    EXPECT_EQ(lookup_key(alias), lookup_key(code)) << alias;
  }
  // 26 letters, 10 digits, 10 numpad digits, 24 function keys, 48 named
  // keys and the 8 ISO, Japanese and Korean keys.
  EXPECT_EQ(kPhysicalKeys.size(), 126u);
}

TEST(KeyTableTest, AcceptsExactly128CanonicalNamesTheFamiliesAmongThem) {
  std::set<std::string> accepted;
  for (const PhysicalKey& row : kPhysicalKeys) accepted.insert(std::string(row.code));
  for (const auto& [alias, code] : kKeyNameAliases) accepted.insert(std::string(alias));
  for (const std::string& name : family_names()) {
    ASSERT_TRUE(lookup_key(name).has_value()) << name;
    EXPECT_FALSE(lookup_key(name)->extended) << name;
    EXPECT_TRUE(accepted.contains(name)) << name;
  }
  EXPECT_EQ(accepted.size(), 128u);
}

// The named keys: every row and alias outside the four numbered families.
std::vector<std::string_view> named_keys() {
  const std::vector<std::string> families = family_names();
  std::vector<std::string_view> names;
  for (const PhysicalKey& row : kPhysicalKeys) {
    if (std::find(families.begin(), families.end(), row.code) == families.end()) names.push_back(row.code);
  }
  for (const auto& [alias, code] : kKeyNameAliases) names.push_back(alias);
  return names;
}

TEST(KeyTableTest, FamiliesMapToTheirVirtualKeyRanges) {
  for (char c = 'A'; c <= 'Z'; ++c) {
    EXPECT_EQ(lookup_key(std::string("Key") + c)->virtual_key, c);
    // Only the letter after "Key" folds case.
    const char lower = static_cast<char>(std::tolower(c));
    EXPECT_EQ(lookup_key(std::string("Key") + lower), lookup_key(std::string("Key") + c));
  }
  for (int d = 0; d <= 9; ++d) {
    EXPECT_EQ(lookup_key(cat("Digit", number(d)))->virtual_key, 0x30 + d);
    EXPECT_EQ(lookup_key(cat("Numpad", number(d))), key(0x60 + d));
  }
  for (int n = 1; n <= 24; ++n) EXPECT_EQ(lookup_key(cat("F", number(n))), key(0x6F + n));
}

TEST(KeyTableTest, FamilyBoundariesAreUnmapped) {
  for (const char* name : {"Key", "KeyAA", "Key1", "Key@", "Key[", "Key`", "Key{", "Key ", "key" "A", "KEYA", "kEYa",
                           "Digit", "Digit10", "DigitA", "Digit/", "Digit:", "digit1", "Numpad", "Numpad10",
                           "NumpadX", "Numpad/", "numpad1", "F0", "F25", "F99", "F01", "F001", "F1 ", " F1", "f1",
                           "F", "F-1", "F+1", "F1a", "F100"}) {
    EXPECT_EQ(lookup_key(name), std::nullopt) << '"' << name << '"';
  }
}

TEST(KeyTableTest, ExtendedFlagOnlyOnRightModifiersWindowsKeysNavigationAndTwoNumpadKeys) {
  const std::set<std::string_view> extended = {
      "ControlRight", "AltRight", "MetaLeft", "MetaRight", "OSLeft",   "OSRight",   "ContextMenu",
      "NumLock",      "NumpadDivide", "NumpadEnter", "PrintScreen", "Insert", "Delete", "Home",
      "End",          "PageUp",   "PageDown", "ArrowLeft", "ArrowUp",  "ArrowRight", "ArrowDown"};
  for (std::string_view name : named_keys()) EXPECT_EQ(lookup_key(name)->extended, extended.contains(name)) << name;
}

TEST(KeyTableTest, NamedKeysAreCaseSensitiveAndWhole) {
  for (std::string_view name : named_keys()) {
    std::string lower(name), upper(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(lookup_key(lower), std::nullopt) << lower;
    EXPECT_EQ(lookup_key(upper), std::nullopt) << upper;
    EXPECT_EQ(lookup_key(cat(" ", name)), std::nullopt) << name;
    EXPECT_EQ(lookup_key(cat(name, " ")), std::nullopt) << name;
    EXPECT_EQ(lookup_key(cat(name, std::string_view("\0", 1))), std::nullopt) << name;
    EXPECT_EQ(lookup_key(name.substr(0, name.size() - 1)), std::nullopt) << name;
  }
  for (const char* name : {"", "arrowup", "numLock", "tab", "Enter\n"}) EXPECT_EQ(lookup_key(name), std::nullopt) << name;
}

TEST(KeyTableTest, OtherW3CCodesAreUnmapped) {
  for (const char* name :
       {"Lang3", "Lang4", "Lang5", "Help", "Fn", "FnLock", "BrowserBack", "BrowserHome", "MediaPlayPause", "MediaStop",
        "AudioVolumeUp", "AudioVolumeMute", "LaunchMail", "LaunchApp1", "Power", "Sleep", "WakeUp", "Eject", "Copy",
        "Paste", "Undo", "Cut", "Again", "Find", "Open", "Props", "Select", "NumpadBackspace", "NumpadClear",
        "NumpadClearEntry", "NumpadHash", "NumpadMemoryAdd", "NumpadMemoryRecall", "NumpadParenLeft",
        "NumpadParenRight", "NumpadStar", "F25", "F35", "Unidentified", "Hyper", "Super"}) {
    EXPECT_EQ(lookup_key(name), std::nullopt) << name;
  }
}

// Every name of one to three printable ASCII characters: only F1..F24, "Tab" and "End" are keys.
TEST(KeyTableTest, ShortNamesExhaustively) {
  int accepted = 0;
  std::string name;
  const auto visit = [&](auto&& self, int remaining) -> void {
    if (!name.empty() && lookup_key(name)) ++accepted;
    if (remaining == 0) return;
    for (char c = 0x20; c < 0x7F; ++c) {
      name.push_back(c);
      self(self, remaining - 1);
      name.pop_back();
    }
  };
  visit(visit, 3);
  EXPECT_EQ(accepted, 24 + 2);
}

}  // namespace
}  // namespace halvorine
