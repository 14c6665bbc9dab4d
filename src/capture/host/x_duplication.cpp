#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include "capture/host/x_duplication.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "capture/host/x_root_grabber.h"

namespace halvorine {
namespace {

// Beyond this many damaged rectangles one bounding rectangle costs fewer
// round trips than copying each.
constexpr int kMaxCopiedRects = 32;

// The X server belongs to the session user, whom the worker does not trust
// with its memory: sizes it reports are bounded before anything is allocated.
constexpr int kMaxScreenSide = 16384;
constexpr std::size_t kMaxCursorPixels = 512 * 512;

Error lost_connection() { return Error::message("the X display connection is lost"); }

class XDuplicationSession final : public DuplicationSession {
 public:
  XDuplicationSession(std::shared_ptr<XConnection> connection, int screen, int damage_event_base,
                      int fixes_event_base, std::uint32_t width, std::uint32_t height)
      : connection_(std::move(connection)),
        screen_(screen),
        damage_event_base_(damage_event_base),
        fixes_event_base_(fixes_event_base),
        width_(width),
        height_(height),
        grabber_(connection_, screen),
        staging_(std::size_t{width} * height * 4, 0) {
    Display* display = connection_->get();
    const Window root = RootWindow(display, screen_);
    damage_ = XDamageCreate(display, root, XDamageReportNonEmpty);
    XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    region_ = XFixesCreateRegion(display, nullptr, 0);
    XSync(display, False);
  }

  ~XDuplicationSession() override {
    if (connection_->lost()) return;
    Display* display = connection_->get();
    XFixesSelectCursorInput(display, RootWindow(display, screen_), 0);
    XFixesDestroyRegion(display, region_);
    XDamageDestroy(display, damage_);
    XSync(display, False);
  }

  Result<std::optional<AcquiredFrameInfo>> acquire_next_frame(std::uint32_t timeout_ms) override {
    if (connection_->lost()) return std::unexpected(lost_connection());
    bool moved = query_pointer();
    drain_events();
    // A damage event may come after its rectangles were already taken: only
    // a non-empty region is a frame.
    bool changed = damaged_ && take_damage();
    if (!changed && !cursor_changed_ && !moved) {
      // One wait: whatever wakes it (a damage or pointer-shape event, or the
      // end of the wait) is looked at once; a quiet wake counts as a timeout.
      // Round trips (the region fetch) may have queued events already.
      if (XEventsQueued(connection_->get(), QueuedAlready) == 0) {
        pollfd descriptor{ConnectionNumber(connection_->get()), POLLIN, 0};
        const int ready = poll(&descriptor, 1, static_cast<int>(timeout_ms));
        if (ready < 0 && errno != EINTR) return std::unexpected(Error::last_os());
      }
      drain_events();
      moved = query_pointer();
      changed = damaged_ && take_damage();
    }
    if (connection_->lost()) return std::unexpected(lost_connection());

    AcquiredFrameInfo info;
    if (changed) info.accumulated_frames = 1;
    if (moved) info.last_mouse_update_time = ++pointer_updates_;
    if (cursor_changed_) {
      cursor_changed_ = false;
      read_cursor();
      info.pointer_shape_buffer_size = static_cast<std::uint32_t>(cursor_bytes_.size());
    }
    info.pointer_position = pointer_;
    info.pointer_visible = pointer_on_screen_;
    if (info.accumulated_frames == 0 && info.last_mouse_update_time == 0 && info.pointer_shape_buffer_size == 0) {
      return std::optional<AcquiredFrameInfo>{};
    }
    return std::optional<AcquiredFrameInfo>{info};
  }

  Result<PointerShapeInfo> frame_pointer_shape(std::span<std::uint8_t> buffer) override {
    if (cursor_bytes_.empty() || buffer.size() < cursor_bytes_.size()) {
      return std::unexpected(Error::os(EINVAL));
    }
    std::memcpy(buffer.data(), cursor_bytes_.data(), cursor_bytes_.size());
    return cursor_info_;
  }

  RectQuery frame_dirty_rects(std::span<Rect> buffer) override {
    const auto required = static_cast<std::uint32_t>(rects_.size() * sizeof(Rect));
    if (buffer.size() < rects_.size()) return {RectQuery::Status::more_data, required};
    std::copy(rects_.begin(), rects_.end(), buffer.begin());
    return {RectQuery::Status::ok, required};
  }

  RectQuery frame_move_rects(std::span<MoveRect>) override {
    return {RectQuery::Status::ok, 0};  // X reports no moves, only damage
  }

  Result<void> open_frame_image() override {
    if (connection_->lost()) return std::unexpected(lost_connection());
    copy_failed_ = false;
    return {};
  }

  void copy_to_staging(const Rect& rect) override {
    const std::size_t stride = std::size_t{width_} * 4;
    std::uint8_t* dest = staging_.data() + std::size_t(rect.top) * stride + std::size_t(rect.left) * 4;
    if (!grabber_.grab(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, dest, stride)) {
      copy_failed_ = true;
    }
  }

  void flush() override {}
  void release_frame() override {}

  Result<MappedStaging> map_staging() override {
    if (connection_->lost()) return std::unexpected(lost_connection());
    // The screen changed size or the server refused the read: the image no
    // longer matches, and the owner rebuilds the duplication.
    if (copy_failed_) return std::unexpected(Error::message("XShmGetImage/XGetImage of a changed rectangle failed"));
    return MappedStaging{staging_.data(), width_ * 4};
  }
  void unmap_staging() override {}

 private:
  void drain_events() {
    Display* display = connection_->get();
    while (!connection_->lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == damage_event_base_ + XDamageNotify) {
        damaged_ = true;
      } else if (event.type == fixes_event_base_ + XFixesCursorNotify) {
        cursor_changed_ = true;
      }
    }
  }

  // True when the pointer moved (or was never seen) since the last report.
  bool query_pointer() {
    if (connection_->lost()) return false;
    Display* display = connection_->get();
    Window root_return = 0;
    Window child = 0;
    int root_x = 0;
    int root_y = 0;
    int window_x = 0;
    int window_y = 0;
    unsigned mask = 0;
    const bool on_screen = XQueryPointer(display, RootWindow(display, screen_), &root_return, &child, &root_x,
                                         &root_y, &window_x, &window_y, &mask) != False;
    const Point position{on_screen ? root_x : pointer_.x, on_screen ? root_y : pointer_.y};
    const bool changed = !pointer_known_ || position != pointer_ || on_screen != pointer_on_screen_;
    pointer_known_ = true;
    pointer_ = position;
    pointer_on_screen_ = on_screen;
    return changed;
  }

  // Moves the accumulated damage into rects_ and empties it, so the next
  // change raises a new event. False when there was none.
  bool take_damage() {
    damaged_ = false;
    rects_.clear();
    if (first_frame_) {
      // Like DXGI's first frame: the whole screen, so the image starts complete.
      first_frame_ = false;
      XDamageSubtract(connection_->get(), damage_, None, None);
      rects_.push_back(Rect{0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_)});
      return true;
    }
    Display* display = connection_->get();
    XDamageSubtract(display, damage_, None, region_);
    int count = 0;
    XRectangle* parts = XFixesFetchRegion(display, region_, &count);
    if (parts == nullptr) return false;
    Rect bounds{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int i = 0; i < count; ++i) {
      const Rect rect{parts[i].x, parts[i].y, parts[i].x + parts[i].width, parts[i].y + parts[i].height};
      if (rect.left >= rect.right || rect.top >= rect.bottom) continue;
      rects_.push_back(rect);
      bounds = Rect{std::min(bounds.left, rect.left), std::min(bounds.top, rect.top),
                    std::max(bounds.right, rect.right), std::max(bounds.bottom, rect.bottom)};
    }
    XFree(parts);
    if (rects_.size() > kMaxCopiedRects) rects_.assign(1, bounds);
    return !rects_.empty();
  }

  // The current pointer image as a colour shape: XFIXES gives premultiplied
  // ARGB, which is DXGI's colour type in B, G, R, A bytes.
  void read_cursor() {
    cursor_bytes_.clear();
    XFixesCursorImage* image = XFixesGetCursorImage(connection_->get());
    if (image == nullptr) return;
    const std::size_t count = std::size_t{image->width} * image->height;
    if (count == 0 || count > kMaxCursorPixels) {
      XFree(image);
      return;  // no shape for this frame, as when the read fails
    }
    cursor_bytes_.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned long argb = image->pixels[i];
      cursor_bytes_[i * 4] = static_cast<std::uint8_t>(argb & 0xff);
      cursor_bytes_[i * 4 + 1] = static_cast<std::uint8_t>((argb >> 8) & 0xff);
      cursor_bytes_[i * 4 + 2] = static_cast<std::uint8_t>((argb >> 16) & 0xff);
      cursor_bytes_[i * 4 + 3] = static_cast<std::uint8_t>((argb >> 24) & 0xff);
    }
    cursor_info_ = PointerShapeInfo{kPointerShapeColor, image->width, image->height, image->width * 4u,
                                    Point{image->xhot, image->yhot}};
    XFree(image);
  }

  std::shared_ptr<XConnection> connection_;
  int screen_;
  int damage_event_base_;
  int fixes_event_base_;
  std::uint32_t width_;
  std::uint32_t height_;
  XRootGrabber grabber_;
  std::vector<std::uint8_t> staging_;
  Damage damage_ = 0;
  XserverRegion region_ = 0;
  std::vector<Rect> rects_;
  std::vector<std::uint8_t> cursor_bytes_;
  PointerShapeInfo cursor_info_;
  Point pointer_;
  std::int64_t pointer_updates_ = 0;
  bool pointer_known_ = false;
  bool pointer_on_screen_ = false;
  bool damaged_ = true;         // the first acquire delivers the whole screen
  bool first_frame_ = true;
  bool cursor_changed_ = true;  // and the pointer shape
  bool copy_failed_ = false;
};

class XCaptureAdapter final : public CaptureAdapter {
 public:
  explicit XCaptureAdapter(std::shared_ptr<XConnection> connection) : connection_(std::move(connection)) {}

  bool has_output(std::uint32_t index) override {
    return !connection_->lost() && index < static_cast<std::uint32_t>(ScreenCount(connection_->get()));
  }

  Result<void> create_device() override {
    // The display connection is the device; nothing else to create.
    if (connection_->lost()) return std::unexpected(lost_connection());
    return {};
  }

  Result<void> open_output(std::uint32_t index) override {
    if (!has_output(index)) return std::unexpected(Error::message(fmt::format("no X screen {}", index)));
    screen_ = static_cast<int>(index);
    return {};
  }

  Result<void> query_output1() override { return {}; }

  Result<OutputDescription> output_description() override {
    if (screen_ < 0 || connection_->lost()) return std::unexpected(lost_connection());
    Display* display = connection_->get();
    const int width = DisplayWidth(display, screen_);
    const int height = DisplayHeight(display, screen_);
    if (width > kMaxScreenSide || height > kMaxScreenSide) {
      return std::unexpected(Error::message(
          fmt::format("X screen {}x{} is larger than {}x{}", width, height, kMaxScreenSide, kMaxScreenSide)));
    }
    // Rotation stays the identity: X screens are captured as they are shown.
    return OutputDescription{Rect{0, 0, width, height}, kRotationIdentity};
  }

  Result<void> duplicate_output() override {
    Display* display = connection_->get();
    int opcode = 0;
    int error_base = 0;
    if (!XDamageQueryExtension(display, &damage_event_base_, &error_base)) {
      return std::unexpected(Error::message("the X server has no DAMAGE extension"));
    }
    int fixes_major = 0;
    int fixes_minor = 0;
    if (!XFixesQueryExtension(display, &fixes_event_base_, &error_base) ||
        !XFixesQueryVersion(display, &fixes_major, &fixes_minor) || fixes_major < 2) {
      return std::unexpected(Error::message("the X server has no XFIXES extension (version 2 or later)"));
    }
    if (!XQueryExtension(display, "MIT-SHM", &opcode, &error_base, &error_base) || !XShmQueryExtension(display)) {
      return std::unexpected(Error::message("the X server has no MIT-SHM extension"));
    }
    if (connection_->lost()) return std::unexpected(lost_connection());
    return {};
  }

  Result<std::unique_ptr<DuplicationSession>> create_session(std::uint32_t width, std::uint32_t height) override {
    if (connection_->lost()) return std::unexpected(lost_connection());
    auto session = std::make_unique<XDuplicationSession>(connection_, screen_, damage_event_base_,
                                                         fixes_event_base_, width, height);
    if (connection_->lost()) return std::unexpected(lost_connection());
    return session;
  }

 private:
  std::shared_ptr<XConnection> connection_;
  int screen_ = -1;
  int damage_event_base_ = 0;
  int fixes_event_base_ = 0;
};

class XCaptureFactory final : public CaptureFactory {
 public:
  explicit XCaptureFactory(std::shared_ptr<XConnection> connection) : connection_(std::move(connection)) {}

  std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) override {
    if (index != 0 || connection_->lost()) return nullptr;
    return std::make_unique<XCaptureAdapter>(connection_);
  }

 private:
  std::shared_ptr<XConnection> connection_;
};

}  // namespace

Result<std::unique_ptr<CaptureFactory>> make_x_capture_factory(std::shared_ptr<XConnection> connection) {
  if (!connection) connection = XConnection::open(XConnection::kBusyServerAttempts);
  if (!connection) {
    return std::unexpected(
        Error::message(fmt::format("cannot open the X display \"{}\"", XConnection::display_name())));
  }
  return std::make_unique<XCaptureFactory>(std::move(connection));
}

}  // namespace halvorine
