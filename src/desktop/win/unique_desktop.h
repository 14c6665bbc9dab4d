// Move-only owner of an HDESK; the destructor calls CloseDesktop and keeps
// GetLastError intact. Closing a desktop some thread is attached to fails;
// that failure is ignored.
#pragma once

#include <utility>

#include "common/win/win_sdk.h"

namespace halvorine {

class UniqueDesktop {
 public:
  UniqueDesktop() = default;
  explicit UniqueDesktop(HDESK desktop) : desktop_(desktop) {}
  UniqueDesktop(UniqueDesktop&& other) noexcept : desktop_(other.release()) {}
  UniqueDesktop& operator=(UniqueDesktop&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueDesktop(const UniqueDesktop&) = delete;
  UniqueDesktop& operator=(const UniqueDesktop&) = delete;
  ~UniqueDesktop() { reset(); }

  HDESK get() const { return desktop_; }
  explicit operator bool() const { return desktop_ != nullptr; }
  HDESK release() { return std::exchange(desktop_, nullptr); }
  void reset(HDESK desktop = nullptr) {
    const HDESK old = std::exchange(desktop_, desktop);
    if (old != nullptr) {
      const DWORD saved = GetLastError();
      CloseDesktop(old);
      SetLastError(saved);
    }
  }

 private:
  HDESK desktop_ = nullptr;
};

}  // namespace halvorine
