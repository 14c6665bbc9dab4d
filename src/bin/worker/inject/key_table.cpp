#include "bin/worker/inject/key_table.h"

namespace halvorine {

std::optional<KeyCode> lookup_key(std::string_view name) {
  // "Keya" is "KeyA"; no other name folds case.
  char folded[4] = {'K', 'e', 'y', 0};
  if (name.size() == 4 && name.starts_with("Key") && name[3] >= 'a' && name[3] <= 'z') {
    folded[3] = static_cast<char>(name[3] - 'a' + 'A');
    name = std::string_view(folded, 4);
  }
  for (const auto& [alias, code] : kKeyNameAliases) {
    if (name == alias) name = code;
  }
  const PhysicalKey* key = find_key_by_code(name);
  if (key == nullptr) return std::nullopt;
  const std::uint16_t scan_code = key->mapping == KeyMapping::layout ? key->scan_byte() : 0;
  return KeyCode{key->virtual_key, key->extended(), scan_code};
}

}  // namespace halvorine
