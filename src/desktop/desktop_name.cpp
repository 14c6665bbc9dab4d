#include "desktop/desktop_name.h"

#include <array>

#include "common/utf16.h"

namespace halvorine {

std::optional<std::string> desktop_name(DesktopApi& api, const OwnedDesktop& desktop) {
  std::array<char16_t, kDesktopNameUnits> units{};
  if (!api.read_desktop_name(desktop, units)) return std::nullopt;
  return utf16_until_nul_to_utf8_lossy(units);
}

}  // namespace halvorine
