#include "capture/win/screen_region_grab.h"

#include <cstddef>

#include "capture/win/gdi_handles.h"
#include "common/win/win_sdk.h"

namespace halvorine {

bool grab_screen_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                        std::vector<std::uint8_t>& pixels) {
  if (width <= 0 || height <= 0) return false;
  const ScreenDc screen(GetDC(nullptr));
  if (!screen) return false;
  // Declared in this order so they are torn down in the order GDI wants (see
  // gdi_handles.h). A DC or bitmap that cannot be made fails the BitBlt
  // anyway; stopping early just skips the doomed call.
  const MemoryDc memory(CreateCompatibleDC(screen.get()));
  if (!memory) return false;
  const UniqueBitmap bitmap(CreateCompatibleBitmap(screen.get(), width, height));
  if (!bitmap) return false;
  SelectionGuard selection(memory.get(), bitmap.get());

  if (!BitBlt(memory.get(), 0, 0, width, height, screen.get(), x, y, SRCCOPY)) return false;
  selection.restore();

  pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // negative: rows top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  // Anything short of every line leaves part of the buffer unspecified: no
  // image then, rather than a black or stale one the stream would carry.
  const int lines = GetDIBits(memory.get(), bitmap.get(), 0, static_cast<UINT>(height),
                              pixels.data(), &info, DIB_RGB_COLORS);
  return lines == height;
}

}  // namespace halvorine
