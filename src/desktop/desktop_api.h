// The seam to the platform's desktops: open the desktop that receives input,
// read a desktop's name, attach the calling thread to a desktop, close it.
// Windows: OpenInputDesktop, GetUserObjectInformationW, SetThreadDesktop,
// CloseDesktop. Linux: the X display named by DISPLAY stands in for the input
// desktop; its name is the root window's _HALVORINE_DESKTOP property, else
// "Default".
//
// Both the injection thread and the secure-capture thread follow the input
// desktop; each has its own instance and its own attachment state. An
// instance is used by one thread only, and every call acts for that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

namespace halvorine {

class DesktopApi;

// An open desktop, owned: destroying it closes it through the API that opened
// it (CloseDesktop). Move-only and allocation-free, since the injection
// thread opens one for every event. Empty when default-constructed or moved
// from.
class OwnedDesktop {
 public:
  OwnedDesktop() = default;
  OwnedDesktop(DesktopApi& api, std::uintptr_t handle) : api_(&api), handle_(handle) {}
  OwnedDesktop(OwnedDesktop&& other) noexcept
      : api_(std::exchange(other.api_, nullptr)), handle_(std::exchange(other.handle_, 0)) {}
  OwnedDesktop& operator=(OwnedDesktop&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = std::exchange(other.api_, nullptr);
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  OwnedDesktop(const OwnedDesktop&) = delete;
  OwnedDesktop& operator=(const OwnedDesktop&) = delete;
  ~OwnedDesktop() { reset(); }

  explicit operator bool() const { return api_ != nullptr; }
  // The platform's handle (an HDESK on Windows), meaningful to the API only.
  std::uintptr_t handle() const { return handle_; }
  inline void reset();

 private:
  DesktopApi* api_ = nullptr;
  std::uintptr_t handle_ = 0;
};

// Desktop names are read into a buffer of this many UTF-16 units (512 bytes).
inline constexpr std::size_t kDesktopNameUnits = 256;

class DesktopApi {
 public:
  virtual ~DesktopApi() = default;

  // The desktop that currently receives input, opened with full access
  // (GENERIC_ALL); empty when it cannot be opened.
  virtual OwnedDesktop open_input_desktop() = 0;
  // Writes the desktop's name, NUL-terminated when it is shorter than the
  // buffer; false when the name cannot be read or does not fit.
  virtual bool read_desktop_name(const OwnedDesktop& desktop, std::span<char16_t, kDesktopNameUnits> units) = 0;
  // Attaches the calling thread to `desktop` (which must come from this API).
  virtual bool set_thread_desktop(const OwnedDesktop& desktop) = 0;
  // Closes a desktop this API opened; only OwnedDesktop calls it. Failures
  // (such as closing the desktop a thread is attached to) are ignored.
  virtual void close_desktop(std::uintptr_t handle) = 0;
};

void OwnedDesktop::reset() {
  if (api_ != nullptr) std::exchange(api_, nullptr)->close_desktop(std::exchange(handle_, 0));
}

// This platform's desktops, for a thread that keeps its own attachment (on
// Linux: its own connection to the display). Opening nothing yet.
std::unique_ptr<DesktopApi> make_desktop_api();

}  // namespace halvorine
