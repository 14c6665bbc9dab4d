// The view's key names from the shared key table: both lookups against every
// row, no name for a code without one, and a few rows as the platforms define
// them (where a typo would go unseen).
#include "view/key_codes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "bin/worker/inject/key_table.h"
#include "common/physical_keys.h"

namespace halvorine::client {
namespace {

TEST(KeyCodes, EveryRowIsOneKeyTheWorkerInjectsAndBothLookupsFindIt) {
  std::set<std::string_view> names;
  std::set<unsigned> x_codes;
  std::set<std::pair<unsigned, bool>> scan_codes;
  for (const PhysicalKey& key : kPhysicalKeys) {
    EXPECT_TRUE(names.insert(key.code).second) << key.code << " twice";
    EXPECT_TRUE(x_codes.insert(key.x_keycode).second) << "X keycode " << int{key.x_keycode} << " twice";
    EXPECT_TRUE(scan_codes.insert({key.scan_byte(), key.extended()}).second) << key.code << "'s scan code twice";
    EXPECT_TRUE(lookup_key(key.code).has_value()) << key.code << " is not a name the worker injects";
    EXPECT_GE(key.x_keycode, 8) << key.code;  // X keycodes start at 8
    EXPECT_LT(key.scan_byte(), 0x80) << key.code;  // set 1: the high bit means a release
    EXPECT_EQ(x_keycode_name(key.x_keycode), key.code);
    EXPECT_EQ(scan_code_name(key.scan_byte(), key.extended()), key.code);
  }
  // 26 letters, 10 digits, 10 numpad digits, 24 function keys, 48 named keys
  // and 8 ISO, Japanese and Korean keys: the worker's vocabulary but its two
  // old aliases.
  EXPECT_EQ(names.size(), 126u);
  // No code outside the table has a name.
  std::size_t named = 0;
  for (unsigned code = 0; code < 1024; ++code) {
    named += !x_keycode_name(code).empty();
    named += !scan_code_name(code, false).empty() + !scan_code_name(code, true).empty();
  }
  EXPECT_EQ(named, 2 * names.size());
}

TEST(KeyCodes, RowsAsThePlatformsDefineThem) {
  // name, evdev code + 8, set-1 scan code, extended
  const std::tuple<std::string_view, unsigned, unsigned, bool> rows[] = {
      {"KeyA", 38, 0x1E, false},        {"Digit0", 19, 0x0B, false},       {"Enter", 36, 0x1C, false},
      {"NumpadEnter", 104, 0x1C, true}, {"Pause", 127, 0x45, false},      {"NumLock", 77, 0x45, true},
      {"ControlRight", 105, 0x1D, true}, {"MetaLeft", 133, 0x5B, true},   {"F11", 95, 0x57, false},
      {"F24", 202, 0x76, false},        {"NumpadComma", 129, 0x7E, false}, {"Delete", 119, 0x53, true},
      {"IntlBackslash", 94, 0x56, false}, {"IntlRo", 97, 0x73, false},     {"IntlYen", 132, 0x7D, false},
      {"KanaMode", 101, 0x70, false},   {"Lang1", 130, 0x72, false},       {"Lang2", 131, 0x71, false},
      {"Convert", 100, 0x79, false},    {"NonConvert", 102, 0x7B, false},
  };
  for (const auto& [name, x_keycode, scan_code, extended] : rows) {
    EXPECT_EQ(x_keycode_name(x_keycode), name);
    EXPECT_EQ(scan_code_name(scan_code, extended), name);
  }
}

}  // namespace
}  // namespace halvorine::client
