// The Windows DuplicationSession: an IDXGIOutputDuplication with the
// Direct3D 11 device and immediate context it was made on and the persistent
// CPU-readable staging texture, all owned. Destruction unmaps the staging
// texture and releases a held frame before releasing the objects.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/capture_platform.h"
#include "common/win/com_ptr.h"
#include "common/win/win_sdk.h"

#include <d3d11.h>
#include <dxgi1_2.h>

namespace halvorine {

struct DuplicationObjects {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDXGIOutputDuplication> duplication;
  ComPtr<ID3D11Texture2D> staging;  // width x height, B8G8R8A8, staging usage, CPU read
};

// CreateTexture2D of the width x height staging texture on `device`, then a
// session owning it and the three objects given. The texture's creation
// error is passed on as it is; no texture despite success is the thread's
// last OS error.
Result<std::unique_ptr<DuplicationSession>> start_duplication_session(
    ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
    ComPtr<IDXGIOutputDuplication> duplication, std::uint32_t width, std::uint32_t height);

class DxgiDuplicationSession final : public DuplicationSession {
 public:
  // All four objects present; `width` x `height` is the staging texture's size.
  DxgiDuplicationSession(DuplicationObjects objects, std::uint32_t width, std::uint32_t height);
  ~DxgiDuplicationSession() override;
  DxgiDuplicationSession(const DxgiDuplicationSession&) = delete;
  DxgiDuplicationSession& operator=(const DxgiDuplicationSession&) = delete;

  Result<std::optional<AcquiredFrameInfo>> acquire_next_frame(std::uint32_t timeout_ms) override;
  Result<PointerShapeInfo> frame_pointer_shape(std::span<std::uint8_t> buffer) override;
  RectQuery frame_dirty_rects(std::span<Rect> buffer) override;
  RectQuery frame_move_rects(std::span<MoveRect> buffer) override;
  Result<void> open_frame_image() override;
  void copy_to_staging(const Rect& rect) override;
  void flush() override;
  void release_frame() override;
  Result<MappedStaging> map_staging() override;
  void unmap_staging() override;

 private:
  void drop_frame_image();

  // Declaration order: released staging first, device last.
  DuplicationObjects objects_;
  std::uint32_t width_;
  std::uint32_t height_;
  bool frame_held_ = false;
  bool mapped_ = false;
  ComPtr<IDXGIResource> frame_resource_;       // the acquired desktop image
  ComPtr<ID3D11Texture2D> frame_texture_;      // from open_frame_image
  ComPtr<ID3D11Resource> frame_source_;        // copy source
  ComPtr<ID3D11Resource> staging_destination_; // copy destination
};

}  // namespace halvorine
