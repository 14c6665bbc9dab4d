// The operating-system side of screen capture, cut where the duplicator's
// decisions end: the output search, the set-up step names and their error
// texts, timeout adaptation, rectangle assembly and clipping, pointer-shape
// conversion, GDI-only hashing and pacing and the rotation of full captures
// all live in portable code and see only these interfaces.
//
// Windows (win/): DXGI desktop duplication on a Direct3D 11 device, and GDI.
// Linux (host/): the X display's screens as outputs of one adapter, DAMAGE,
// XFIXES and MIT-SHM for duplication, a root-window grab for GDI.
//
// Every object here is used by the one thread that owns the duplicator; none
// is thread-safe. Errors are the platform's own (an HRESULT, an errno): the
// caller adds the step names, so a backend never prefixes them itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "capture/captured_frame.h"
#include "common/error.h"

namespace halvorine {

// Rotation values as DXGI_MODE_ROTATION numbers them.
enum : std::uint32_t {
  kRotationUnspecified = 0,
  kRotationIdentity = 1,
  kRotation90 = 2,
  kRotation180 = 3,
  kRotation270 = 4,
};

// What IDXGIOutput::GetDesc says about an output.
struct OutputDescription {
  Rect desktop_coordinates;  // in the desktop's (rotated) orientation
  std::uint32_t rotation = kRotationIdentity;
};

// DXGI_OUTDUPL_FRAME_INFO, reduced to what the duplicator reads.
struct AcquiredFrameInfo {
  std::uint32_t accumulated_frames = 0;     // 0: only the pointer changed
  std::int64_t last_mouse_update_time = 0;  // non-zero: the pointer moved
  std::uint32_t pointer_shape_buffer_size = 0;  // non-zero: a new shape is waiting
  Point pointer_position;
  bool pointer_visible = false;
};

// DXGI_OUTDUPL_POINTER_SHAPE_TYPE values.
enum : std::uint32_t {
  kPointerShapeMonochrome = 1,
  kPointerShapeColor = 2,
  kPointerShapeMaskedColor = 4,
};

// DXGI_OUTDUPL_POINTER_SHAPE_INFO.
struct PointerShapeInfo {
  std::uint32_t type = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;  // monochrome: AND mask rows followed by XOR mask rows
  std::uint32_t pitch = 0;   // bytes per source row
  Point hotspot;
};

// DXGI_OUTDUPL_MOVE_RECT: the layout DXGI writes (24 bytes).
struct MoveRect {
  Point source_point;
  Rect destination_rect;
};

// Outcome of GetFrameDirtyRects / GetFrameMoveRects into a caller's buffer.
struct RectQuery {
  enum class Status {
    ok,         // `required_bytes` bytes of the buffer were filled
    more_data,  // DXGI_ERROR_MORE_DATA: the buffer is too small, `required_bytes` needed
    failed,     // any other failure; the buffer says nothing
  };
  Status status = Status::failed;
  std::uint32_t required_bytes = 0;
};

// The staging image while it is mapped: rows top-down, `row_pitch` bytes
// apart, each at least width × 4 bytes. Valid until unmap_staging.
struct MappedStaging {
  const std::uint8_t* data = nullptr;
  std::uint32_t row_pitch = 0;
};

// A running duplication of one output (IDXGIOutputDuplication with its
// device, immediate context and persistent staging texture, all owned and
// released on destruction). At most one frame is acquired at a time.
class DuplicationSession {
 public:
  virtual ~DuplicationSession() = default;

  // AcquireNextFrame, waiting at most `timeout_ms`. nullopt on
  // DXGI_ERROR_WAIT_TIMEOUT; any other failure (access lost, device removed,
  // ...) is an error and no frame is held. On success the frame stays acquired
  // until release_frame.
  virtual Result<std::optional<AcquiredFrameInfo>> acquire_next_frame(std::uint32_t timeout_ms) = 0;

  // GetFramePointerShape of the acquired frame into `buffer` (sized by the
  // caller from pointer_shape_buffer_size). An error loses only the shape.
  virtual Result<PointerShapeInfo> frame_pointer_shape(std::span<std::uint8_t> buffer) = 0;

  // GetFrameDirtyRects / GetFrameMoveRects of the acquired frame into
  // `buffer`, whose byte size (count × 16 resp. × 24) is passed to the
  // platform. The caller grows the buffer on more_data and retries.
  virtual RectQuery frame_dirty_rects(std::span<Rect> buffer) = 0;
  virtual RectQuery frame_move_rects(std::span<MoveRect> buffer) = 0;

  // Gets the acquired desktop image ready as a copy source (QueryInterface
  // for ID3D11Texture2D, then ID3D11Resource of it and of the staging
  // texture). An error leaves the frame acquired; the caller releases it.
  virtual Result<void> open_frame_image() = 0;

  // CopySubresourceRegion of `rect` from the acquired image into the staging
  // image at the same place. The caller passes only non-empty rectangles
  // inside width × height; requires a successful open_frame_image.
  virtual void copy_to_staging(const Rect& rect) = 0;

  // ID3D11DeviceContext::Flush: the copies are submitted.
  virtual void flush() = 0;

  // ReleaseFrame. Failures are not reported (the duplicator ignores them).
  // Harmless when no frame is held.
  virtual void release_frame() = 0;

  // Map (D3D11_MAP_READ) of the staging image. An error means nothing is mapped.
  virtual Result<MappedStaging> map_staging() = 0;
  // Unmap after a successful map_staging.
  virtual void unmap_staging() = 0;
};

// One adapter (IDXGIAdapter1) and whatever a duplication set-up on it has
// obtained so far; destroying it releases all of that. The set-up calls come
// in this order, each at most once, and stop at the first error:
// create_device, open_output, query_output1, output_description,
// duplicate_output, create_session.
class CaptureAdapter {
 public:
  virtual ~CaptureAdapter() = default;

  // The output search's probe: IDXGIAdapter::EnumOutputs(index) succeeded.
  // The output object is not kept.
  virtual bool has_output(std::uint32_t index) = 0;

  // D3D11CreateDevice on this adapter (driver type unknown, no flags, no
  // feature-level list), keeping the device and its immediate context.
  virtual Result<void> create_device() = 0;
  // EnumOutputs(index) again, keeping the output.
  virtual Result<void> open_output(std::uint32_t index) = 0;
  // QueryInterface of the kept output for IDXGIOutput1 (no object is an error).
  virtual Result<void> query_output1() = 0;
  // IDXGIOutput::GetDesc of the kept output (needs only open_output; also
  // how a full capture finds the output's desktop rectangle).
  virtual Result<OutputDescription> output_description() = 0;
  // IDXGIOutput1::DuplicateOutput with the device (no object is an error).
  virtual Result<void> duplicate_output() = 0;
  // CreateTexture2D of the width × height B8G8R8A8 staging texture (CPU
  // read), then hands the device, context, duplication and staging texture
  // over to a new session; the adapter keeps nothing of them. Its error is
  // passed on unchanged by the duplicator (no step name).
  virtual Result<std::unique_ptr<DuplicationSession>> create_session(std::uint32_t width,
                                                                     std::uint32_t height) = 0;
};

// IDXGIFactory1.
class CaptureFactory {
 public:
  virtual ~CaptureFactory() = default;
  // EnumAdapters(index); nullptr when it fails, which ends any search.
  virtual std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) = 0;
};

// GetSystemMetrics values the GDI capture reads.
struct ScreenMetrics {
  std::int32_t virtual_x = 0;       // SM_XVIRTUALSCREEN
  std::int32_t virtual_y = 0;       // SM_YVIRTUALSCREEN
  std::int32_t virtual_width = 0;   // SM_CXVIRTUALSCREEN
  std::int32_t virtual_height = 0;  // SM_CYVIRTUALSCREEN
  std::int32_t screen_width = 0;    // SM_CXSCREEN
  std::int32_t screen_height = 0;   // SM_CYSCREEN
};

// Entry point of a backend. Creating it touches nothing; each call obtains
// what it needs (and a lost display connection is never reused).
class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  // CreateDXGIFactory1. No object is an error.
  virtual Result<std::unique_ptr<CaptureFactory>> create_factory() = 0;

  virtual ScreenMetrics screen_metrics() = 0;

  // Region capture of the screen rectangle at (x, y) of width × height
  // (both > 0): GetDC(null), a compatible DC and bitmap, BitBlt SRCCOPY,
  // GetDIBits as 32-bit top-down BGRA; every GDI object released. `pixels`
  // is resized to width × height × 4 and reused when it already has the
  // capacity. False when the screen DC could not be had, the BitBlt failed
  // or GetDIBits read back fewer lines than the height (the X grab: when the
  // server refused the image): the content of `pixels` is then unspecified,
  // and must not become a frame.
  virtual bool capture_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                              std::vector<std::uint8_t>& pixels) = 0;
};

// Defined once by each backend.
std::unique_ptr<CapturePlatform> make_capture_platform();

}  // namespace halvorine
