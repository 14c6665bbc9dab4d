// Move-only owner of a kernel HANDLE. Both NULL and INVALID_HANDLE_VALUE mean
// "no handle"; the destructor closes a valid one and keeps GetLastError intact
// so error paths can still read the failing call's code.
#pragma once

#include <utility>

#include "common/win/win_sdk.h"

namespace halvorine {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  static bool is_valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return is_valid(handle_); }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(HANDLE handle = nullptr) {
    const HANDLE old = std::exchange(handle_, handle);
    if (is_valid(old)) {
      const DWORD saved = GetLastError();
      CloseHandle(old);
      SetLastError(saved);
    }
  }
  // For out-parameters: closes any current handle first.
  HANDLE* put() {
    reset();
    return &handle_;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace halvorine
