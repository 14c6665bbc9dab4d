// A scriptable DesktopApi: one input desktop whose name the test sets, and
// counters for every call. Desktops it hands out report their closing back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "common/utf16.h"
#include "desktop/desktop_api.h"

namespace halvorine::testing {

class FakeDesktopApi : public DesktopApi {
 public:
  // --- what the platform looks like -------------------------------------
  std::optional<std::string> input_desktop = "Default";  // nullopt: the name cannot be read
  bool open_fails = false;
  const bool* open_fails_while = nullptr;  // also fails while this is true (the session fake's impersonating)
  std::set<std::string> attach_refused;    // names SetThreadDesktop fails for
  bool attach_fails_without_name = false;

  // --- what happened ------------------------------------------------------
  int opens = 0;
  int desktops_open = 0;  // handed out and not yet closed
  int attaches = 0;
  std::optional<std::string> attached;  // name of the desktop the thread sits on

  OwnedDesktop open_input_desktop() override {
    ++opens;
    if (open_fails || (open_fails_while && *open_fails_while)) return {};
    const std::uintptr_t handle = ++last_handle_;
    names_[handle] = input_desktop;  // a desktop keeps the name it had when opened
    ++desktops_open;
    return OwnedDesktop(*this, handle);
  }
  void close_desktop(std::uintptr_t handle) override {
    if (names_.erase(handle) == 1) --desktops_open;
  }
  bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) override {
    const auto& name = names_.at(desktop.handle());
    if (!name) return false;
    const std::u16string wide = utf8_to_utf16(*name);
    if (wide.size() > units.size()) return false;
    std::ranges::copy(wide, units.begin());
    if (wide.size() < units.size()) units[wide.size()] = u'\0';
    return true;
  }
  bool set_thread_desktop(const OwnedDesktop& desktop) override {
    const auto& name = names_.at(desktop.handle());
    if (name ? attach_refused.contains(*name) : attach_fails_without_name) return false;
    attached = name;
    ++attaches;
    return true;
  }

 private:
  std::uintptr_t last_handle_ = 0;
  std::map<std::uintptr_t, std::optional<std::string>> names_;  // open desktops
};

}  // namespace halvorine::testing
