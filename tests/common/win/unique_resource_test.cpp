#include "common/win/win_sdk.h"

#include <cerrno>
#include <cstdio>

#include "bin/worker/inject/win/unique_wts_memory.h"
#include "capture/win/gdi_handles.h"
#include "common/unique_file.h"
#include "common/unique_resource_contract.h"
#include "common/win/com_ptr.h"
#include "common/win/unique_handle.h"
#include "desktop/win/unique_desktop.h"

namespace halvorine::testing {

void set_error_codes(int code) {
  errno = code;
  SetLastError(static_cast<DWORD>(code));
}
std::vector<int> error_codes() { return {errno, static_cast<int>(GetLastError())}; }

namespace {

struct HandleProbe {
  using Traits = HandleTraits;
  static HANDLE make() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  static bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
  }
};

struct DesktopProbe {
  using Traits = DesktopTraits;
  static HDESK make() { return OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS); }
};

struct ScreenDcProbe {
  using Traits = ScreenDcTraits;
  static HDC make() { return GetDC(nullptr); }
};

struct MemoryDcProbe {
  using Traits = MemoryDcTraits;
  static HDC make() { return CreateCompatibleDC(nullptr); }
  static bool is_open(HDC dc) { return GetObjectType(dc) == OBJ_MEMDC; }
};

struct BitmapProbe {
  using Traits = BitmapTraits;
  static HBITMAP make() { return CreateBitmap(1, 1, 1, 32, nullptr); }
  static bool is_open(HBITMAP bitmap) { return GetObjectType(bitmap) == OBJ_BITMAP; }
};

struct LocalMemoryProbe {
  using Traits = LocalMemoryTraits<void*>;
  static void* make() { return LocalAlloc(LMEM_FIXED, 16); }
};

struct CoTaskMemoryProbe {
  using Traits = CoTaskMemoryTraits<void*>;
  static void* make() { return CoTaskMemAlloc(16); }
};

struct WtsMemoryProbe {
  // The user name of this session: Wine lists no sessions, but answers this.
  using Traits = WtsMemoryTraits<wchar_t>;
  static wchar_t* make() {
    wchar_t* name = nullptr;
    DWORD bytes = 0;
    WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &name, &bytes);
    return name;
  }
};

struct FileProbe {
  using Traits = FileTraits;
  static std::FILE* make() { return std::tmpfile(); }
};

using WindowsResources = ::testing::Types<HandleProbe, DesktopProbe, ScreenDcProbe, MemoryDcProbe, BitmapProbe,
                                          LocalMemoryProbe, CoTaskMemoryProbe, WtsMemoryProbe, FileProbe>;
INSTANTIATE_TYPED_TEST_SUITE_P(Windows, UniqueResourceTest, WindowsResources);

}  // namespace
}  // namespace halvorine::testing
