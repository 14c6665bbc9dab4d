// DesktopApi on Win32. Stateless: every call goes straight to user32.
#pragma once

#include "desktop/desktop_api.h"

namespace halvorine {

class WinDesktopApi final : public DesktopApi {
 public:
  OwnedDesktop open_input_desktop() override;
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override;
  bool set_thread_desktop(const OwnedDesktop& desktop) override;
  void close_desktop(std::uintptr_t handle) override;
};

}  // namespace halvorine
