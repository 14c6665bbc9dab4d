// The Windows CapturePlatform: DXGI for duplication, GDI for screen grabs.
#include <memory>

#include "capture/capture_platform.h"
#include "capture/win/direct3d_library.h"
#include "capture/win/dxgi_capture_adapter.h"
#include "capture/win/screen_region_grab.h"
#include "common/win/com_ptr.h"
#include "common/win/win_sdk.h"

#include <dxgi1_2.h>

namespace halvorine {
namespace {

class WinCapturePlatform final : public CapturePlatform {
 public:
  Result<std::unique_ptr<CaptureFactory>> create_factory() override {
    const Result<DxgiLibrary>& dxgi = dxgi_library();
    if (!dxgi) return std::unexpected(dxgi.error());
    ComPtr<IDXGIFactory1> factory;
    const HRESULT hr = dxgi->create_factory(__uuidof(IDXGIFactory1), factory.put_void());
    if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
    if (!factory) return std::unexpected(Error::hresult(E_POINTER));
    return std::make_unique<DxgiCaptureFactory>(std::move(factory));
  }

  ScreenMetrics screen_metrics() override {
    ScreenMetrics metrics;
    metrics.virtual_x = GetSystemMetrics(SM_XVIRTUALSCREEN);
    metrics.virtual_y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    metrics.virtual_width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    metrics.virtual_height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    metrics.screen_width = GetSystemMetrics(SM_CXSCREEN);
    metrics.screen_height = GetSystemMetrics(SM_CYSCREEN);
    return metrics;
  }

  bool capture_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                      std::vector<std::uint8_t>& pixels) override {
    return grab_screen_region(x, y, width, height, pixels);
  }
};

}  // namespace

std::unique_ptr<CapturePlatform> make_capture_platform() {
  return std::make_unique<WinCapturePlatform>();
}

}  // namespace halvorine
