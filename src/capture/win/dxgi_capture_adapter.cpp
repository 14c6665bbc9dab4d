#include "capture/win/dxgi_capture_adapter.h"

#include <utility>

#include "capture/win/direct3d_library.h"
#include "capture/win/dxgi_duplication_session.h"

namespace halvorine {
namespace {

// A call that reports success yet hands out no object is treated as a
// failure of that call; E_POINTER says what went missing.
Error missing_object() { return Error::hresult(E_POINTER); }

}  // namespace

bool DxgiCaptureAdapter::has_output(std::uint32_t index) {
  ComPtr<IDXGIOutput> output;
  return SUCCEEDED(adapter_->EnumOutputs(index, output.put())) && output;
}

Result<void> DxgiCaptureAdapter::create_device() {
  // Driver type unknown because the adapter is given; no feature-level list
  // takes the adapter's defaults.
  const Result<Direct3dLibrary>& d3d11 = direct3d_library();
  if (!d3d11) return std::unexpected(d3d11.error());
  const HRESULT hr = d3d11->create_device(adapter_.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0,
                                        D3D11_SDK_VERSION, device_.put(), nullptr, context_.put());
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  if (!device_ || !context_) return std::unexpected(missing_object());
  return {};
}

Result<void> DxgiCaptureAdapter::open_output(std::uint32_t index) {
  const HRESULT hr = adapter_->EnumOutputs(index, output_.put());
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  if (!output_) return std::unexpected(missing_object());
  return {};
}

Result<void> DxgiCaptureAdapter::query_output1() {
  const HRESULT hr = output_.query(output1_);
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  if (!output1_) return std::unexpected(missing_object());
  return {};
}

Result<OutputDescription> DxgiCaptureAdapter::output_description() {
  if (!output_) return std::unexpected(Error::hresult(DXGI_ERROR_INVALID_CALL));
  DXGI_OUTPUT_DESC desc{};
  const HRESULT hr = output_->GetDesc(&desc);
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  const RECT& r = desc.DesktopCoordinates;
  return OutputDescription{{r.left, r.top, r.right, r.bottom}, static_cast<std::uint32_t>(desc.Rotation)};
}

Result<void> DxgiCaptureAdapter::duplicate_output() {
  if (!output1_ || !device_) return std::unexpected(Error::hresult(DXGI_ERROR_INVALID_CALL));
  const HRESULT hr = output1_->DuplicateOutput(device_.get(), duplication_.put());
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  if (!duplication_) return std::unexpected(missing_object());
  return {};
}

Result<std::unique_ptr<DuplicationSession>> DxgiCaptureAdapter::create_session(std::uint32_t width,
                                                                               std::uint32_t height) {
  if (!device_ || !context_ || !duplication_) {
    return std::unexpected(Error::hresult(DXGI_ERROR_INVALID_CALL));
  }
  // The adapter keeps nothing once the session owns the objects.
  output1_.reset();
  output_.reset();
  return start_duplication_session(std::move(device_), std::move(context_), std::move(duplication_),
                                   width, height);
}

std::unique_ptr<CaptureAdapter> DxgiCaptureFactory::enum_adapter(std::uint32_t index) {
  ComPtr<IDXGIAdapter> adapter;
  if (FAILED(factory_->EnumAdapters(index, adapter.put())) || !adapter) return nullptr;
  return std::make_unique<DxgiCaptureAdapter>(std::move(adapter));
}

}  // namespace halvorine
