#include "view/key_codes.h"

#include "common/physical_keys.h"

namespace halvorine::client {

std::string_view x_keycode_name(unsigned keycode) {
  const PhysicalKey* key = find_key_by_x_keycode(keycode);
  return key != nullptr ? key->code : std::string_view{};
}

std::string_view scan_code_name(unsigned scan_code, bool extended) {
  const PhysicalKey* key = find_key_by_scan_code(scan_code, extended);
  return key != nullptr ? key->code : std::string_view{};
}

}  // namespace halvorine::client
