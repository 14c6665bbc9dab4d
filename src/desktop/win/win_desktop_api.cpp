#include "desktop/win/win_desktop_api.h"

#include "common/win/win_sdk.h"
#include "desktop/win/unique_desktop.h"

namespace halvorine {
namespace {

HDESK handle_of(const OwnedDesktop& desktop) { return reinterpret_cast<HDESK>(desktop.handle()); }

}  // namespace

OwnedDesktop WinDesktopApi::open_input_desktop() {
  UniqueDesktop desktop(OpenInputDesktop(0, FALSE, GENERIC_ALL));
  if (!desktop) return {};
  return OwnedDesktop(*this, reinterpret_cast<std::uintptr_t>(desktop.release()));
}

void WinDesktopApi::close_desktop(std::uintptr_t handle) {
  UniqueDesktop closing(reinterpret_cast<HDESK>(handle));
}

bool WinDesktopApi::read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) {
  static_assert(sizeof(char16_t) == sizeof(WCHAR));
  DWORD needed = 0;
  return GetUserObjectInformationW(handle_of(desktop), UOI_NAME, units.data(),
                                   static_cast<DWORD>(units.size_bytes()), &needed) != FALSE;
}

bool WinDesktopApi::set_thread_desktop(const OwnedDesktop& desktop) {
  return SetThreadDesktop(handle_of(desktop)) != FALSE;
}

std::unique_ptr<DesktopApi> make_desktop_api() { return std::make_unique<WinDesktopApi>(); }

}  // namespace halvorine
