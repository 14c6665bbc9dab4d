#include "bin/worker/inject/key_table.h"

namespace halvorine {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "Key" + letter, "Digit" + digit, "Numpad" + digit, "F1".."F24".
std::optional<KeyCode> lookup_family(std::string_view name) {
  if (name.size() == 4 && name.starts_with("Key")) {
    char letter = name[3];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter >= 'A' && letter <= 'Z') {
      return KeyCode{static_cast<std::uint16_t>(letter), false, kLetterScanCodes[letter - 'A']};
    }
    return std::nullopt;
  }
  if (name.size() == 6 && name.starts_with("Digit") && is_digit(name[5])) {
    return KeyCode{static_cast<std::uint16_t>(name[5]), false, kDigitScanCodes[name[5] - '0']};
  }
  if (name.size() == 7 && name.starts_with("Numpad") && is_digit(name[6])) {
    return KeyCode{static_cast<std::uint16_t>(0x60 + (name[6] - '0')), false};
  }
  if ((name.size() == 2 || name.size() == 3) && name[0] == 'F' && name[1] >= '1' && name[1] <= '9') {
    int number = name[1] - '0';
    if (name.size() == 3) {
      if (!is_digit(name[2])) return std::nullopt;
      number = number * 10 + (name[2] - '0');
    }
    if (number <= 24) return KeyCode{static_cast<std::uint16_t>(0x6F + number), false};
  }
  return std::nullopt;
}

}  // namespace

std::optional<KeyCode> lookup_key(std::string_view name) {
  if (auto key = lookup_family(name)) return key;
  for (const NamedKey& row : kNamedKeys) {
    if (row.name == name) return KeyCode{row.virtual_key, row.extended, row.scan_code};
  }
  return std::nullopt;
}

}  // namespace halvorine
