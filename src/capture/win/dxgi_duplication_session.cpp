#include "capture/win/dxgi_duplication_session.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace halvorine {
namespace {

// The seam's records are handed to DXGI as they are.
static_assert(sizeof(Rect) == sizeof(RECT) && offsetof(Rect, left) == offsetof(RECT, left) &&
              offsetof(Rect, top) == offsetof(RECT, top) &&
              offsetof(Rect, right) == offsetof(RECT, right) &&
              offsetof(Rect, bottom) == offsetof(RECT, bottom));
static_assert(sizeof(MoveRect) == sizeof(DXGI_OUTDUPL_MOVE_RECT) &&
              offsetof(MoveRect, source_point) == offsetof(DXGI_OUTDUPL_MOVE_RECT, SourcePoint) &&
              offsetof(MoveRect, destination_rect) ==
                  offsetof(DXGI_OUTDUPL_MOVE_RECT, DestinationRect));

RectQuery rect_query_result(HRESULT hr, UINT required_bytes) {
  if (hr == DXGI_ERROR_MORE_DATA) return {RectQuery::Status::more_data, required_bytes};
  if (FAILED(hr)) return {RectQuery::Status::failed, 0};
  return {RectQuery::Status::ok, required_bytes};
}

// DXGI takes buffer sizes as UINT; a buffer it cannot even describe is refused.
bool fits_uint(std::size_t bytes) { return bytes <= std::numeric_limits<UINT>::max(); }

}  // namespace

Result<std::unique_ptr<DuplicationSession>> start_duplication_session(
    ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
    ComPtr<IDXGIOutputDuplication> duplication, std::uint32_t width, std::uint32_t height) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.SampleDesc.Quality = 0;
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  ComPtr<ID3D11Texture2D> staging;
  const HRESULT hr = device->CreateTexture2D(&desc, nullptr, staging.put());
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  if (!staging) return std::unexpected(Error::last_os());
  DuplicationObjects objects{std::move(device), std::move(context), std::move(duplication),
                             std::move(staging)};
  return std::make_unique<DxgiDuplicationSession>(std::move(objects), width, height);
}

DxgiDuplicationSession::DxgiDuplicationSession(DuplicationObjects objects, std::uint32_t width,
                                               std::uint32_t height)
    : objects_(std::move(objects)), width_(width), height_(height) {}

DxgiDuplicationSession::~DxgiDuplicationSession() {
  unmap_staging();
  release_frame();
}

Result<std::optional<AcquiredFrameInfo>> DxgiDuplicationSession::acquire_next_frame(
    std::uint32_t timeout_ms) {
  // DXGI refuses a second acquire while a frame is held; a caller that lost
  // track of one gets it released rather than an endless INVALID_CALL.
  release_frame();
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT hr = objects_.duplication->AcquireNextFrame(timeout_ms, &info, resource.put());
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return std::optional<AcquiredFrameInfo>{};
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  frame_held_ = true;
  frame_resource_ = std::move(resource);

  AcquiredFrameInfo frame;
  frame.accumulated_frames = info.AccumulatedFrames;
  frame.last_mouse_update_time = info.LastMouseUpdateTime.QuadPart;
  frame.pointer_shape_buffer_size = info.PointerShapeBufferSize;
  frame.pointer_position = {info.PointerPosition.Position.x, info.PointerPosition.Position.y};
  frame.pointer_visible = info.PointerPosition.Visible != FALSE;
  return frame;
}

Result<PointerShapeInfo> DxgiDuplicationSession::frame_pointer_shape(std::span<std::uint8_t> buffer) {
  if (!fits_uint(buffer.size())) return std::unexpected(Error::hresult(E_INVALIDARG));
  DXGI_OUTDUPL_POINTER_SHAPE_INFO info{};
  UINT required = 0;
  const HRESULT hr = objects_.duplication->GetFramePointerShape(
      static_cast<UINT>(buffer.size()), buffer.data(), &required, &info);
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  PointerShapeInfo shape;
  shape.type = info.Type;
  shape.width = info.Width;
  shape.height = info.Height;
  shape.pitch = info.Pitch;
  shape.hotspot = {info.HotSpot.x, info.HotSpot.y};
  return shape;
}

RectQuery DxgiDuplicationSession::frame_dirty_rects(std::span<Rect> buffer) {
  if (!fits_uint(buffer.size_bytes())) return {};
  UINT required = 0;
  const HRESULT hr = objects_.duplication->GetFrameDirtyRects(
      static_cast<UINT>(buffer.size_bytes()), reinterpret_cast<RECT*>(buffer.data()), &required);
  return rect_query_result(hr, required);
}

RectQuery DxgiDuplicationSession::frame_move_rects(std::span<MoveRect> buffer) {
  if (!fits_uint(buffer.size_bytes())) return {};
  UINT required = 0;
  const HRESULT hr = objects_.duplication->GetFrameMoveRects(
      static_cast<UINT>(buffer.size_bytes()), reinterpret_cast<DXGI_OUTDUPL_MOVE_RECT*>(buffer.data()),
      &required);
  return rect_query_result(hr, required);
}

Result<void> DxgiDuplicationSession::open_frame_image() {
  drop_frame_image();
  if (!frame_resource_) return std::unexpected(Error::hresult(DXGI_ERROR_INVALID_CALL));
  HRESULT hr = frame_resource_.query(frame_texture_);
  if (SUCCEEDED(hr)) hr = frame_texture_.query(frame_source_);
  if (SUCCEEDED(hr)) hr = objects_.staging.query(staging_destination_);
  if (FAILED(hr)) {
    drop_frame_image();
    return std::unexpected(Error::hresult(hr));
  }
  return {};
}

void DxgiDuplicationSession::copy_to_staging(const Rect& rect) {
  if (!frame_source_ || !staging_destination_) return;
  // The caller clips; this only keeps a bad rectangle from reaching the
  // device as a huge unsigned box.
  if (rect.left < 0 || rect.top < 0 || rect.right <= rect.left || rect.bottom <= rect.top ||
      static_cast<std::uint32_t>(rect.right) > width_ ||
      static_cast<std::uint32_t>(rect.bottom) > height_) {
    return;
  }
  const D3D11_BOX box{static_cast<UINT>(rect.left),  static_cast<UINT>(rect.top),    0,
                      static_cast<UINT>(rect.right), static_cast<UINT>(rect.bottom), 1};
  objects_.context->CopySubresourceRegion(staging_destination_.get(), 0, box.left, box.top, 0,
                                          frame_source_.get(), 0, &box);
}

void DxgiDuplicationSession::flush() { objects_.context->Flush(); }

void DxgiDuplicationSession::release_frame() {
  // Our references to the desktop image go before the frame itself.
  drop_frame_image();
  frame_resource_.reset();
  if (frame_held_) {
    frame_held_ = false;
    objects_.duplication->ReleaseFrame();
  }
}

Result<MappedStaging> DxgiDuplicationSession::map_staging() {
  unmap_staging();
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT hr = objects_.context->Map(objects_.staging.get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr)) return std::unexpected(Error::hresult(hr));
  mapped_ = true;
  if (mapped.pData == nullptr || mapped.RowPitch < width_ * 4) {
    unmap_staging();
    return std::unexpected(Error::hresult(E_UNEXPECTED));
  }
  return MappedStaging{static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch};
}

void DxgiDuplicationSession::unmap_staging() {
  if (!mapped_) return;
  mapped_ = false;
  objects_.context->Unmap(objects_.staging.get(), 0);
}

void DxgiDuplicationSession::drop_frame_image() {
  staging_destination_.reset();
  frame_source_.reset();
  frame_texture_.reset();
}

}  // namespace halvorine
