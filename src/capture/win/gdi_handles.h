// Move-only owners of the GDI objects one screen grab needs (see
// unique_resource.h). Declared in the order screen DC, memory DC, bitmap,
// selection, they are torn down in the reverse order GDI wants: the old
// object selected back, the bitmap deleted, the memory DC deleted, the screen
// DC released.
#pragma once

#include <utility>

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

// The DC of the whole screen (GetDC with no window), given back with
// ReleaseDC. GetDC reports failure as null; a handle of -1 is refused as well.
struct ScreenDcTraits {
  using Value = HDC;
  static HDC invalid() { return nullptr; }
  static HDC also_invalid() { return reinterpret_cast<HDC>(-1); }
  static int close(HDC dc) { return ReleaseDC(nullptr, dc); }
};
using ScreenDc = UniqueResource<ScreenDcTraits>;

// A DC of our own (CreateCompatibleDC), destroyed with DeleteDC.
struct MemoryDcTraits {
  using Value = HDC;
  static HDC invalid() { return nullptr; }
  static BOOL close(HDC dc) { return DeleteDC(dc); }
};
using MemoryDc = UniqueResource<MemoryDcTraits>;

// An HBITMAP, destroyed with DeleteObject (it must no longer be selected into
// a DC by then: SelectionGuard sees to that when declared after it).
struct BitmapTraits {
  using Value = HBITMAP;
  static HBITMAP invalid() { return nullptr; }
  static BOOL close(HBITMAP bitmap) { return DeleteObject(bitmap); }
};
using UniqueBitmap = UniqueResource<BitmapTraits>;

// Selects an object into a DC for its lifetime and selects the previous one
// back on destruction, keeping the thread's error codes. Not movable: it
// lives in the scope of one grab.
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
      const KeptErrorCodes kept;
      SelectObject(dc_, previous);
    }
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

}  // namespace halvorine
