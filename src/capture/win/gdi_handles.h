// Move-only owners of the GDI objects one screen grab needs. Declared in the
// order screen DC, memory DC, bitmap, selection, they are torn down in the
// reverse order GDI wants: the old object selected back, the bitmap deleted,
// the memory DC deleted, the screen DC released. Destructors keep
// GetLastError intact.
#pragma once

#include <utility>

#include "common/win/win_sdk.h"

namespace halvorine {

// The DC of the whole screen (GetDC with no window), given back with ReleaseDC.
class ScreenDc {
 public:
  ScreenDc() = default;
  static ScreenDc acquire() { return ScreenDc(GetDC(nullptr)); }
  ScreenDc(ScreenDc&& other) noexcept : dc_(std::exchange(other.dc_, nullptr)) {}
  ScreenDc& operator=(ScreenDc&& other) noexcept {
    if (this != &other) {
      reset();
      dc_ = std::exchange(other.dc_, nullptr);
    }
    return *this;
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  ~ScreenDc() { reset(); }

  HDC get() const { return dc_; }
  // GetDC reports failure as null; a handle of -1 is refused as well.
  explicit operator bool() const { return is_valid(dc_); }
  void reset() {
    const HDC old = std::exchange(dc_, nullptr);
    if (is_valid(old)) {
      const DWORD saved = GetLastError();
      ReleaseDC(nullptr, old);
      SetLastError(saved);
    }
  }

 private:
  explicit ScreenDc(HDC dc) : dc_(dc) {}
  static bool is_valid(HDC dc) { return dc != nullptr && dc != reinterpret_cast<HDC>(-1); }

  HDC dc_ = nullptr;
};

// A DC of our own (CreateCompatibleDC), destroyed with DeleteDC.
class MemoryDc {
 public:
  MemoryDc() = default;
  explicit MemoryDc(HDC dc) : dc_(dc) {}
  MemoryDc(MemoryDc&& other) noexcept : dc_(std::exchange(other.dc_, nullptr)) {}
  MemoryDc& operator=(MemoryDc&& other) noexcept {
    if (this != &other) {
      reset();
      dc_ = std::exchange(other.dc_, nullptr);
    }
    return *this;
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() { reset(); }

  HDC get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }
  void reset() {
    const HDC old = std::exchange(dc_, nullptr);
    if (old != nullptr) {
      const DWORD saved = GetLastError();
      DeleteDC(old);
      SetLastError(saved);
    }
  }

 private:
  HDC dc_ = nullptr;
};

// An HBITMAP, destroyed with DeleteObject (it must no longer be selected into
// a DC by then: SelectionGuard sees to that when declared after it).
class UniqueBitmap {
 public:
  UniqueBitmap() = default;
  explicit UniqueBitmap(HBITMAP bitmap) : bitmap_(bitmap) {}
  UniqueBitmap(UniqueBitmap&& other) noexcept : bitmap_(std::exchange(other.bitmap_, nullptr)) {}
  UniqueBitmap& operator=(UniqueBitmap&& other) noexcept {
    if (this != &other) {
      reset();
      bitmap_ = std::exchange(other.bitmap_, nullptr);
    }
    return *this;
  }
  UniqueBitmap(const UniqueBitmap&) = delete;
  UniqueBitmap& operator=(const UniqueBitmap&) = delete;
  ~UniqueBitmap() { reset(); }

  HBITMAP get() const { return bitmap_; }
  explicit operator bool() const { return bitmap_ != nullptr; }
  void reset() {
    const HBITMAP old = std::exchange(bitmap_, nullptr);
    if (old != nullptr) {
      const DWORD saved = GetLastError();
      DeleteObject(old);
      SetLastError(saved);
    }
  }

 private:
  HBITMAP bitmap_ = nullptr;
};

// Selects an object into a DC for its lifetime and selects the previous one
// back on destruction. Not movable: it lives in the scope of one grab.
class SelectionGuard {
 public:
  SelectionGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  SelectionGuard(const SelectionGuard&) = delete;
  SelectionGuard& operator=(const SelectionGuard&) = delete;
  ~SelectionGuard() { restore(); }

  // Selects the previous object back now (once): GetDIBits wants the bitmap
  // out of every DC.
  void restore() {
    // SelectObject fails with null or HGDI_ERROR; there is nothing to restore then.
    const HGDIOBJ previous = std::exchange(previous_, nullptr);
    if (previous != nullptr && previous != HGDI_ERROR) {
      const DWORD saved = GetLastError();
      SelectObject(dc_, previous);
      SetLastError(saved);
    }
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

}  // namespace halvorine
