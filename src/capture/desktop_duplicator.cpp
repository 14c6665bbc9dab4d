// DesktopDuplicator::capture in both modes, and capture_gdi_full.
#include "capture/desktop_duplicator.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "capture/gdi_capture.h"
#include "capture/output_search.h"
#include "capture/pointer_shape.h"
#include "common/fatal_stop.h"

namespace halvorine {
namespace {

constexpr std::uint32_t kMinAcquireTimeoutMs = 8;
constexpr std::uint32_t kMaxAcquireTimeoutMs = 50;
constexpr std::size_t kInitialDirtyRects = 32;
constexpr std::size_t kInitialMoveRects = 16;
// A platform that asks for more than this many rectangles keeps asking
// without end; its list is treated as a failed query instead.
constexpr std::size_t kMaxRectsPerQuery = std::size_t{1} << 16;
constexpr std::chrono::nanoseconds kGdiOnlyPeriod{33'000'000};

// Calls `query` with a buffer that grows while the platform answers
// more_data. The number of entries filled, or nullopt when the query failed.
template <typename Entry, typename Query>
std::optional<std::size_t> query_rects(std::vector<Entry>& buffer, std::size_t initial_count, Query query) {
  std::size_t count = initial_count;
  while (count <= kMaxRectsPerQuery) {
    if (buffer.size() < count) buffer.resize(count);
    const RectQuery answer = query(std::span<Entry>(buffer.data(), count));
    const std::size_t required = answer.required_bytes / sizeof(Entry);
    switch (answer.status) {
      case RectQuery::Status::ok:
        return std::min(count, required);
      case RectQuery::Status::more_data:
        count = std::max(2 * count, required);
        break;
      case RectQuery::Status::failed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

// `rect` limited to the image; false when nothing of it is left.
bool clip_to_image(Rect& rect, std::uint32_t width, std::uint32_t height) {
  const std::int64_t left = std::max<std::int64_t>(rect.left, 0);
  const std::int64_t top = std::max<std::int64_t>(rect.top, 0);
  const std::int64_t right = std::min<std::int64_t>(rect.right, width);
  const std::int64_t bottom = std::min<std::int64_t>(rect.bottom, height);
  if (left >= right || top >= bottom) return false;
  rect = Rect{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), static_cast<std::int32_t>(right),
              static_cast<std::int32_t>(bottom)};
  return true;
}

// The band of full rows in which two images of one size differ (the whole
// image when they do not, which a changed hash makes as good as impossible).
Rect changed_rows(std::span<const std::uint8_t> before, std::span<const std::uint8_t> after,
                  std::uint32_t width, std::uint32_t height) {
  const std::size_t row_bytes = std::size_t{width} * 4;
  auto same = [&](std::uint32_t row) {
    return std::memcmp(before.data() + row * row_bytes, after.data() + row * row_bytes, row_bytes) == 0;
  };
  std::uint32_t top = 0;
  while (top < height && same(top)) ++top;
  std::uint32_t bottom = height;
  while (bottom > top && same(bottom - 1)) --bottom;
  if (top == bottom) top = 0, bottom = height;
  return Rect{0, static_cast<std::int32_t>(top), static_cast<std::int32_t>(width), static_cast<std::int32_t>(bottom)};
}

}  // namespace

Result<std::optional<CapturedFrame>> DesktopDuplicator::capture(std::uint32_t timeout_ms) {
  if (std::this_thread::get_id() != owner_thread_) {
    fatal_stop("DesktopDuplicator::capture called from wrong thread");
  }
  if (!session_) return capture_gdi_only();
  return capture_duplicated(timeout_ms);
}

Result<std::optional<CapturedFrame>> DesktopDuplicator::capture_duplicated(std::uint32_t timeout_ms) {
  const std::uint32_t wait_ms = std::min(std::max(timeout_ms, kMinAcquireTimeoutMs), acquire_timeout_ms_);
  Result<std::optional<AcquiredFrameInfo>> acquired = session_->acquire_next_frame(wait_ms);
  if (!acquired) return std::unexpected(std::move(acquired.error()));
  if (!*acquired) {
    acquire_timeout_ms_ = std::min(acquire_timeout_ms_ * 5 / 4, kMaxAcquireTimeoutMs);
    return std::nullopt;
  }
  const AcquiredFrameInfo& info = **acquired;

  CapturedFrame frame;
  frame.width = width_;
  frame.height = height_;
  if (info.pointer_shape_buffer_size != 0) {
    ++shape_serial_;  // counted even when the shape cannot be read
    std::vector<std::uint8_t> shape_bytes(info.pointer_shape_buffer_size);
    if (Result<PointerShapeInfo> shape = session_->frame_pointer_shape(shape_bytes)) {
      frame.cursor_shape = convert_pointer_shape(shape_bytes, *shape, shape_serial_);
    }
  }
  frame.cursor_pos = info.pointer_position;
  frame.cursor_visible = info.pointer_visible;

  if (info.accumulated_frames == 0) {
    session_->release_frame();
    acquire_timeout_ms_ = std::max(acquire_timeout_ms_ * 3 / 4, kMinAcquireTimeoutMs);
    if (info.last_mouse_update_time == 0 && !frame.cursor_shape) return std::nullopt;
    return frame;  // pointer only
  }

  frame.dirty_rects = changed_rects();
  if (Result<void> opened = session_->open_frame_image(); !opened) {
    session_->release_frame();
    return std::unexpected(std::move(opened.error()));
  }
  for (const Rect& rect : frame.dirty_rects) session_->copy_to_staging(rect);
  session_->flush();
  session_->release_frame();
  acquire_timeout_ms_ = std::max(acquire_timeout_ms_ * 3 / 4, kMinAcquireTimeoutMs);

  Result<MappedStaging> mapped = session_->map_staging();
  if (!mapped) return std::unexpected(std::move(mapped.error()));
  // The kept image takes the changed rectangles only: the staging image
  // holds the whole screen, but a key press changes a few thousand pixels.
  const std::size_t row_bytes = std::size_t{width_} * 4;
  if (image_.size() != row_bytes * height_) {
    image_.assign(row_bytes * height_, 0);
    image_complete_ = false;
  }
  if (!image_complete_) {
    copy_region(*mapped, Rect{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)});
    image_complete_ = true;
  } else {
    for (const Rect& rect : frame.dirty_rects) copy_region(*mapped, rect);
  }
  session_->unmap_staging();
  frame.pixels = image_;
  return frame;
}

void DesktopDuplicator::copy_region(const MappedStaging& mapped, const Rect& rect) {
  const std::size_t row_bytes = std::size_t{width_} * 4;
  const std::size_t offset = std::size_t(rect.left) * 4;
  const std::size_t length = std::size_t(rect.right - rect.left) * 4;
  for (std::int32_t row = rect.top; row < rect.bottom; ++row) {
    std::memcpy(image_.data() + std::size_t(row) * row_bytes + offset,
                mapped.data + std::size_t(row) * mapped.row_pitch + offset, length);
  }
}

std::vector<Rect> DesktopDuplicator::changed_rects() {
  std::vector<Rect> rects;
  const std::optional<std::size_t> dirty = query_rects(
      dirty_scratch_, kInitialDirtyRects, [&](std::span<Rect> buffer) { return session_->frame_dirty_rects(buffer); });
  const std::optional<std::size_t> moved = query_rects(
      move_scratch_, kInitialMoveRects, [&](std::span<MoveRect> buffer) { return session_->frame_move_rects(buffer); });
  rects.reserve(dirty.value_or(0) + moved.value_or(0));
  // Rectangles are clipped here rather than only for the copy: consumers
  // index the image with them.
  for (std::size_t i = 0; i < dirty.value_or(0); ++i) {
    Rect rect = dirty_scratch_[i];
    if (clip_to_image(rect, width_, height_)) rects.push_back(rect);
  }
  for (std::size_t i = 0; i < moved.value_or(0); ++i) {
    Rect rect = move_scratch_[i].destination_rect;
    if (clip_to_image(rect, width_, height_)) rects.push_back(rect);
  }
  if (rects.empty()) {
    rects.push_back(Rect{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)});
  }
  return rects;
}

std::optional<CapturedFrame> DesktopDuplicator::capture_gdi_only() {
  const Clock::MonotonicTime start = clock_->monotonic_now();
  auto pace = [&] {
    const auto elapsed = clock_->monotonic_now() - start;
    if (elapsed < kGdiOnlyPeriod) clock_->sleep_for(kGdiOnlyPeriod - elapsed);
  };

  VirtualScreenImage image{std::move(gdi_scratch_), 0, 0};
  if (!capture_virtual_screen_into(*platform_, image)) {
    gdi_scratch_ = std::move(image.pixels);
    pace();
    return std::nullopt;
  }
  if (image.width != width_ || image.height != height_) {
    width_ = image.width;
    height_ = image.height;
    force_full_ = true;
    last_hash_ = 0;
  }
  const std::uint64_t hash = gdi_frame_hash(image.pixels);
  if (hash == last_hash_ && !force_full_) {
    gdi_scratch_ = std::move(image.pixels);  // kept for the next capture
    pace();
    return std::nullopt;
  }
  last_hash_ = hash;
  pace();
  CapturedFrame frame;
  frame.width = width_;
  frame.height = height_;
  // The rows that differ from the last image: what the encoder converts again.
  frame.dirty_rects = {force_full_ || image_.size() != image.pixels.size()
                           ? Rect{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)}
                           : changed_rows(image_, image.pixels, width_, height_)};
  force_full_ = false;
  // The new image is kept; the old one's memory takes the next capture.
  gdi_scratch_ = std::move(image_);
  image_ = std::move(image.pixels);
  frame.pixels = image_;
  return frame;
}

std::optional<std::vector<std::uint8_t>> DesktopDuplicator::capture_gdi_full() const {
  CapturePlatform& platform = *platform_;
  if (gdi_only()) {
    std::optional<VirtualScreenImage> image = capture_virtual_screen(platform);
    if (!image) return std::nullopt;
    return std::move(image->pixels);
  }

  Rect desktop;
  {
    // The output objects are released before the screen is read.
    Result<std::unique_ptr<CaptureFactory>> factory = platform.create_factory();
    if (!factory) return std::nullopt;
    std::optional<FoundOutput> found = find_output(**factory, output_index_);
    if (!found || !found->adapter->open_output(found->index_on_adapter)) return std::nullopt;
    Result<OutputDescription> description = found->adapter->output_description();
    if (!description) return std::nullopt;
    desktop = description->desktop_coordinates;
  }
  const std::int64_t width = std::int64_t{desktop.right} - desktop.left;
  const std::int64_t height = std::int64_t{desktop.bottom} - desktop.top;
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;

  std::vector<std::uint8_t> pixels;
  if (!platform.capture_region(desktop.left, desktop.top, static_cast<std::int32_t>(width),
                               static_cast<std::int32_t>(height), pixels)) {
    return std::nullopt;
  }
  const std::uint32_t rotation = rotation_;
  if (rotation != kRotation90 && rotation != kRotation180 && rotation != kRotation270) return pixels;

  const auto desktop_width = static_cast<std::uint32_t>(width);
  const auto desktop_height = static_cast<std::uint32_t>(height);
  std::vector<std::uint8_t> native = rotate_to_native(pixels, desktop_width, desktop_height, rotation);
  const bool quarter_turn = rotation != kRotation180;
  const std::uint32_t native_width = quarter_turn ? desktop_height : desktop_width;
  const std::uint32_t native_height = quarter_turn ? desktop_width : desktop_height;
  if (native_width == width_ && native_height == height_) return native;
  log_->log(fmt::format("capture_gdi_full: rotatie DXGI={} produce {}x{} != nativ {}x{} — drop",
                        rotation, native_width, native_height, width_, height_));
  return std::nullopt;
}

}  // namespace halvorine
