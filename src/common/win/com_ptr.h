// Move-only owner of one reference to a COM interface. The destructor calls
// Release and keeps GetLastError intact (error paths may still read it);
// nothing is AddRef'd behind the caller's back except by query(), which
// yields a new reference of its own.
#pragma once

#include <utility>

#include "common/win/win_sdk.h"

#include <unknwn.h>

namespace halvorine {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Adopts a reference the caller already owns.
  explicit ComPtr(T* pointer) : pointer_(pointer) {}
  ComPtr(ComPtr&& other) noexcept : pointer_(other.release()) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // Gives up ownership without releasing.
  T* release() { return std::exchange(pointer_, nullptr); }
  void reset(T* pointer = nullptr) {
    T* old = std::exchange(pointer_, pointer);
    if (old != nullptr) {
      const DWORD saved = GetLastError();
      old->Release();
      SetLastError(saved);
    }
  }

  // For out-parameters: releases any current reference first.
  T** put() {
    reset();
    return &pointer_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  // QueryInterface for U into `out`; `out` is empty unless this succeeds.
  template <typename U>
  HRESULT query(ComPtr<U>& out) const {
    if (pointer_ == nullptr) {
      out.reset();
      return E_POINTER;
    }
    return pointer_->QueryInterface(__uuidof(U), out.put_void());
  }

 private:
  T* pointer_ = nullptr;
};

}  // namespace halvorine
