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

// The key table as the GUI's contract gives it, written out independently of
// kNamedKeys so that a wrong code or flag in the product table fails here.
struct ExpectedKey {
  const char* name;
  std::uint16_t virtual_key;
  bool extended;
};
constexpr ExpectedKey kContract[] = {
    {"Backquote", 0xC0, false},     {"Minus", 0xBD, false},          {"Equal", 0xBB, false},
    {"BracketLeft", 0xDB, false},   {"BracketRight", 0xDD, false},   {"Backslash", 0xDC, false},
    {"Semicolon", 0xBA, false},     {"Quote", 0xDE, false},          {"Comma", 0xBC, false},
    {"Period", 0xBE, false},        {"Slash", 0xBF, false},          {"Space", 0x20, false},
    {"Tab", 0x09, false},           {"Enter", 0x0D, false},          {"Backspace", 0x08, false},
    {"Escape", 0x1B, false},        {"ShiftLeft", 0xA0, false},      {"ShiftRight", 0xA1, false},
    {"ControlLeft", 0xA2, false},   {"ControlRight", 0xA3, true},    {"AltLeft", 0xA4, false},
    {"AltRight", 0xA5, true},       {"MetaLeft", 0x5B, true},        {"MetaRight", 0x5C, true},
    {"OSLeft", 0x5B, true},         {"OSRight", 0x5C, true},         {"ContextMenu", 0x5D, true},
    {"CapsLock", 0x14, false},      {"NumLock", 0x90, true},         {"ScrollLock", 0x91, false},
    {"Insert", 0x2D, true},         {"Delete", 0x2E, true},          {"Home", 0x24, true},
    {"End", 0x23, true},            {"PageUp", 0x21, true},          {"PageDown", 0x22, true},
    {"ArrowLeft", 0x25, true},      {"ArrowUp", 0x26, true},         {"ArrowRight", 0x27, true},
    {"ArrowDown", 0x28, true},      {"PrintScreen", 0x2C, true},     {"Pause", 0x13, false},
    {"NumpadAdd", 0x6B, false},     {"NumpadSubtract", 0x6D, false}, {"NumpadMultiply", 0x6A, false},
    {"NumpadDivide", 0x6F, true},   {"NumpadDecimal", 0x6E, false},  {"NumpadComma", 0x6C, false},
    {"NumpadEnter", 0x0D, true},    {"NumpadEqual", 0xBB, false},
    // Representative rows of the numbered families.
    {"KeyA", 0x41, false},          {"Keya", 0x41, false},           {"KeyM", 0x4D, false},
    {"Keyz", 0x5A, false},          {"Digit0", 0x30, false},         {"Digit5", 0x35, false},
    {"Digit9", 0x39, false},        {"Numpad0", 0x60, false},        {"Numpad7", 0x67, false},
    {"Numpad9", 0x69, false},       {"F1", 0x70, false},             {"F9", 0x78, false},
    {"F10", 0x79, false},           {"F12", 0x7B, false},            {"F13", 0x7C, false},
    {"F24", 0x87, false},
};

TEST(KeyTableTest, MatchesTheContractRowByRow) {
  for (const ExpectedKey& row : kContract) {
    EXPECT_THAT(lookup_key(row.name), Optional(KeyCode{row.virtual_key, row.extended})) << row.name;
  }
  // Every named row of the contract is in the product table, and no other.
  std::set<std::string_view> contract_named;
  for (std::size_t i = 0; i < 50; ++i) contract_named.insert(kContract[i].name);
  std::set<std::string_view> product_named;
  for (const NamedKey& row : kNamedKeys) product_named.insert(row.name);
  EXPECT_EQ(product_named, contract_named);
  EXPECT_EQ(contract_named.size(), 50u);
  // 21 extended names, all among the named keys.
  EXPECT_EQ(std::count_if(std::begin(kContract), std::end(kContract), [](const ExpectedKey& k) { return k.extended; }),
            21);
}

TEST(KeyTableTest, NamedTableHasFiftyDistinctRowsThatLookUpToThemselves) {
  std::set<std::string_view> names;
  for (const NamedKey& row : kNamedKeys) {
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate " << row.name;
    EXPECT_THAT(lookup_key(row.name), Optional(KeyCode{row.virtual_key, row.extended})) << row.name;
    EXPECT_LT(row.virtual_key, 0x100) << row.name;
  }
  EXPECT_EQ(names.size(), 50u);
}

TEST(KeyTableTest, AcceptsExactly120CanonicalNamesAndNoFamilyNameIsAlsoNamed) {
  std::set<std::string> accepted;
  for (const std::string& name : family_names()) {
    ASSERT_TRUE(lookup_key(name).has_value()) << name;
    EXPECT_FALSE(lookup_key(name)->extended) << name;
    accepted.insert(name);
  }
  for (const NamedKey& row : kNamedKeys) accepted.insert(std::string(row.name));
  EXPECT_EQ(accepted.size(), 120u);
}

TEST(KeyTableTest, FamiliesMapToTheirVirtualKeyRanges) {
  for (char c = 'A'; c <= 'Z'; ++c) {
    EXPECT_THAT(lookup_key(std::string("Key") + c), Optional(KeyCode{static_cast<std::uint16_t>(c), false}));
    // Only the letter after "Key" folds case.
    const char lower = static_cast<char>(std::tolower(c));
    EXPECT_THAT(lookup_key(std::string("Key") + lower), Optional(KeyCode{static_cast<std::uint16_t>(c), false}));
  }
  for (int d = 0; d <= 9; ++d) {
    EXPECT_EQ(lookup_key(cat("Digit", number(d))), key(0x30 + d));
    EXPECT_EQ(lookup_key(cat("Numpad", number(d))), key(0x60 + d));
  }
  for (int n = 1; n <= 24; ++n) EXPECT_EQ(lookup_key(cat("F", number(n))), key(0x6F + n));
  EXPECT_EQ(lookup_key("F1"), key(0x70));
  EXPECT_EQ(lookup_key("F12"), key(0x7B));
  EXPECT_EQ(lookup_key("F24"), key(0x87));
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
  for (const NamedKey& row : kNamedKeys) {
    EXPECT_EQ(lookup_key(row.name)->extended, extended.contains(row.name)) << row.name;
  }
}

TEST(KeyTableTest, SharedVirtualKeysDifferOnlyWhereTheSpecSays) {
  EXPECT_EQ(lookup_key("Enter"), key(0x0D, false));
  EXPECT_EQ(lookup_key("NumpadEnter"), key(0x0D, true));
  EXPECT_EQ(lookup_key("NumpadEqual"), lookup_key("Equal"));
  EXPECT_EQ(lookup_key("NumpadEqual"), key(0xBB));
  EXPECT_EQ(lookup_key("NumpadComma"), key(0x6C));
  EXPECT_EQ(lookup_key("MetaLeft"), lookup_key("OSLeft"));
  EXPECT_EQ(lookup_key("MetaRight"), lookup_key("OSRight"));
  EXPECT_EQ(lookup_key("ArrowUp"), key(0x26, true));
}

TEST(KeyTableTest, NamedKeysAreCaseSensitiveAndWhole) {
  for (const NamedKey& row : kNamedKeys) {
    std::string lower(row.name), upper(row.name);
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(lookup_key(lower), std::nullopt) << lower;
    EXPECT_EQ(lookup_key(upper), std::nullopt) << upper;
    EXPECT_EQ(lookup_key(cat(" ", row.name)), std::nullopt) << row.name;
    EXPECT_EQ(lookup_key(cat(row.name, " ")), std::nullopt) << row.name;
    EXPECT_EQ(lookup_key(cat(row.name, std::string_view("\0", 1))), std::nullopt) << row.name;
    EXPECT_EQ(lookup_key(row.name.substr(0, row.name.size() - 1)), std::nullopt) << row.name;
  }
  for (const char* name : {"", "arrowup", "numLock", "tab", "Enter\n"}) EXPECT_EQ(lookup_key(name), std::nullopt) << name;
}

TEST(KeyTableTest, OtherW3CCodesAreUnmapped) {
  for (const char* name :
       {"IntlBackslash", "IntlRo", "IntlYen", "Convert", "NonConvert", "KanaMode", "Lang1", "Lang2", "Lang3", "Lang4",
        "Lang5", "Help", "Fn", "FnLock", "BrowserBack", "BrowserHome", "MediaPlayPause", "MediaStop",
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
