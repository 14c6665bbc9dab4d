// The Windows CaptureFactory (IDXGIFactory1) and CaptureAdapter (an
// IDXGIAdapter from EnumAdapters, with what a duplication set-up on it has
// obtained so far). Destroying either releases everything it still holds.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "capture/capture_platform.h"
#include "common/win/com_ptr.h"
#include "common/win/win_sdk.h"

#include <d3d11.h>
#include <dxgi1_2.h>

namespace halvorine {

class DxgiCaptureAdapter final : public CaptureAdapter {
 public:
  explicit DxgiCaptureAdapter(ComPtr<IDXGIAdapter> adapter) : adapter_(std::move(adapter)) {}

  bool has_output(std::uint32_t index) override;
  Result<void> create_device() override;
  Result<void> open_output(std::uint32_t index) override;
  Result<void> query_output1() override;
  Result<OutputDescription> output_description() override;
  Result<void> duplicate_output() override;
  Result<std::unique_ptr<DuplicationSession>> create_session(std::uint32_t width,
                                                             std::uint32_t height) override;

 private:
  // Released in reverse: the outputs and duplication before the device, the
  // adapter last.
  ComPtr<IDXGIAdapter> adapter_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IDXGIOutput> output_;
  ComPtr<IDXGIOutput1> output1_;
  ComPtr<IDXGIOutputDuplication> duplication_;
};

class DxgiCaptureFactory final : public CaptureFactory {
 public:
  explicit DxgiCaptureFactory(ComPtr<IDXGIFactory1> factory) : factory_(std::move(factory)) {}
  std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) override;

 private:
  ComPtr<IDXGIFactory1> factory_;
};

}  // namespace halvorine
