#include "view/key_codes.h"

namespace halvorine::client {
namespace {

// Indexes into kPhysicalKeys by code, built from the table at compile time.
template <typename Code>
constexpr std::array<std::string_view, 512> index_by(Code code) {
  std::array<std::string_view, 512> names{};
  for (const PhysicalKey& key : kPhysicalKeys) names[code(key)] = key.name;
  return names;
}

constexpr auto kByXKeycode = index_by([](const PhysicalKey& key) -> unsigned { return key.x_keycode; });
// Scan codes with the extended bit in the upper half.
constexpr auto kByScanCode = index_by([](const PhysicalKey& key) -> unsigned {
  return key.scan_code | (key.extended ? 0x100u : 0u);
});

}  // namespace

std::string_view x_keycode_name(unsigned keycode) {
  return keycode < 256 ? kByXKeycode[keycode] : std::string_view{};
}

std::string_view scan_code_name(unsigned scan_code, bool extended) {
  return scan_code < 256 ? kByScanCode[scan_code | (extended ? 0x100u : 0u)] : std::string_view{};
}

}  // namespace halvorine::client
