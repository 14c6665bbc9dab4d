// The view's window on X11: an ordinary top-level window; pictures are
// converted and scaled by libswscale straight into a MIT-SHM image (a plain
// XImage when the server cannot share memory, e.g. over a network) and put
// with XShmPutImage. Keys arrive as X keycodes of the evdev layout.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "common/host/unique_fd.h"
#include "view/key_codes.h"
#include "view/view_window.h"

namespace halvorine::client {
namespace {

// SIGTERM and SIGINT end the view as closing its window does (keys held
// are released first); the handler can only flag and wake.
std::atomic<int> g_wake_fd{-1};
volatile sig_atomic_t g_end_requested = 0;

void on_end_signal(int) {
  g_end_requested = 1;
  const int fd = g_wake_fd.load();
  if (fd >= 0) {
    const char byte = 'x';
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
}

// Protocol errors (a refused XShmAttach) are noted, not fatal.
std::atomic<int> g_x_error{0};
int note_x_error(Display*, XErrorEvent* event) {
  g_x_error = event->error_code;
  return 0;
}

class XViewWindow final : public ViewWindow {
 public:
  static Result<std::unique_ptr<ViewWindow>> create(const std::string& title) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
      const char* name = std::getenv("DISPLAY");
      return std::unexpected(Error::message(fmt::format("cannot open X display '{}'", name ? name : "")));
    }
    auto window = std::unique_ptr<XViewWindow>(new XViewWindow(display));
    if (auto ready = window->set_up(title); !ready) return std::unexpected(ready.error());
    return window;
  }

  ~XViewWindow() override {
    g_wake_fd = -1;
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGINT, &old_int_, nullptr);
    free_image();
    if (scaler_) sws_freeContext(scaler_);
    if (gc_) XFreeGC(display_, gc_);
    if (window_) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }

  std::optional<WindowEvent> next_event(Clock::MonotonicTime deadline) override {
    for (;;) {
      if (g_end_requested) return WindowEvent{};
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (auto translated = translate(event)) return translated;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        char drain[64];
        while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
        }
        return g_end_requested ? std::optional<WindowEvent>(WindowEvent{}) : std::nullopt;
      }
    }
  }

  void wake() override {
    const char byte = 'x';
    [[maybe_unused]] const auto written = ::write(wake_write_.get(), &byte, 1);  // a full pipe already wakes
  }

  Result<void> show(const Picture& picture) override {
    if (picture.width <= 0 || picture.height <= 0) return std::unexpected(Error::message("empty picture"));
    if (picture.width != stream_width_ || picture.height != stream_height_) fit_to(picture.width, picture.height);
    last_ = picture;
    return draw();
  }

  void redraw() override {
    if (last_) {
      if (auto drawn = draw(); !drawn) std::fprintf(stderr, "halvorine-client: %s\n", drawn.error().text().c_str());
    }
  }

  void set_title(const std::string& title) override {
    for (const Atom property : {XA_WM_NAME, net_wm_name_}) {
      XChangeProperty(display_, window_, property, utf8_string_, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    }
    XFlush(display_);
  }

  WindowSize client_size() const override { return {width_, height_}; }

 private:
  explicit XViewWindow(Display* display) : display_(display) {}

  Result<void> set_up(const std::string& title) {
    XSetErrorHandler(note_x_error);
    int wake_pipe[2];
    if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return std::unexpected(Error::last_os().context("pipe2"));
    wake_read_.reset(wake_pipe[0]);
    wake_write_.reset(wake_pipe[1]);
    const int screen = DefaultScreen(display_);
    Visual* visual = DefaultVisual(display_, screen);
    const int depth = DefaultDepth(display_, screen);
    if (visual->c_class != TrueColor || (depth != 24 && depth != 32) || visual->red_mask != 0xFF0000 ||
        visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF) {
      return std::unexpected(Error::message(fmt::format("the X screen's visual is not 24-bit true colour (depth {})", depth)));
    }
    // Pixels as 32-bit words 0x00RRGGBB in the server's byte order.
    pixel_format_ = ImageByteOrder(display_) == LSBFirst ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_0RGB;
    visual_ = visual;
    depth_ = depth;
    use_shm_ = XShmQueryExtension(display_) == True;
    width_ = 640;
    height_ = 360;
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, width_, height_, 0,
                                  BlackPixel(display_, screen), BlackPixel(display_, screen));
    XSelectInput(display_, window_,
                 ExposureMask | KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | FocusChangeMask | StructureNotifyMask);
    wm_delete_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &wm_delete_, 1);
    utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
    net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
    XClassHint hint{const_cast<char*>("halvorine-view"), const_cast<char*>("Halvorine")};
    XSetClassHint(display_, window_, &hint);
    // Whose window this is, for window managers and tools.
    const long pid = ::getpid();
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    set_title(title);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    // A held key repeats as presses only, as on Windows, not as release+press pairs.
    XkbSetDetectableAutoRepeat(display_, True, nullptr);
    XMapWindow(display_, window_);
    XSync(display_, False);

    g_wake_fd = wake_write_.get();
    struct sigaction action {};
    action.sa_handler = on_end_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, &old_term_);
    sigaction(SIGINT, &action, &old_int_);
    return {};
  }

  // Sizes the window for a new stream size: as large as the stream, scaled
  // down (keeping its shape) when the screen is smaller.
  void fit_to(int width, int height) {
    stream_width_ = width;
    stream_height_ = height;
    const int screen = DefaultScreen(display_);
    const double scale = std::min({1.0, static_cast<double>(DisplayWidth(display_, screen)) / width,
                                   static_cast<double>(DisplayHeight(display_, screen)) / height});
    const int fitted_width = std::max(1, static_cast<int>(std::lround(width * scale)));
    const int fitted_height = std::max(1, static_cast<int>(std::lround(height * scale)));
    XSizeHints hints{};
    hints.flags = PSize | PAspect;
    hints.width = fitted_width;
    hints.height = fitted_height;
    hints.min_aspect = hints.max_aspect = {width, height};
    XSetWMNormalHints(display_, window_, &hints);
    XResizeWindow(display_, window_, static_cast<unsigned>(fitted_width), static_cast<unsigned>(fitted_height));
    width_ = fitted_width;
    height_ = fitted_height;
  }

  std::optional<WindowEvent> translate(XEvent& event) {
    WindowEvent out;
    switch (event.type) {
      case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == wm_delete_) return out;  // close
        return std::nullopt;
      case ConfigureNotify:
        if (event.xconfigure.width != width_ || event.xconfigure.height != height_) {
          width_ = event.xconfigure.width;
          height_ = event.xconfigure.height;
          out.kind = WindowEvent::Kind::redraw;
          return out;
        }
        return std::nullopt;
      case Expose:
        if (event.xexpose.count != 0) return std::nullopt;
        out.kind = WindowEvent::Kind::redraw;
        return out;
      case FocusOut:
        if (event.xfocus.detail == NotifyInferior) return std::nullopt;
        out.kind = WindowEvent::Kind::focus_lost;
        return out;
      case MotionNotify:
        out.kind = WindowEvent::Kind::move;
        out.x = event.xmotion.x;
        out.y = event.xmotion.y;
        return out;
      case ButtonPress:
      case ButtonRelease: {
        out.x = event.xbutton.x;
        out.y = event.xbutton.y;
        out.pressed = event.type == ButtonPress;
        switch (event.xbutton.button) {
          case Button1: out.button = 1; break;
          case Button2: out.button = 3; break;  // X's middle is the wire's 3
          case Button3: out.button = 2; break;
          case Button4:
          case Button5:
            if (!out.pressed) return std::nullopt;  // one notch is a press and a release
            out.kind = WindowEvent::Kind::wheel;
            out.notches = event.xbutton.button == Button4 ? 1 : -1;
            return out;
          default: return std::nullopt;
        }
        out.kind = WindowEvent::Kind::button;
        return out;
      }
      case KeyPress:
      case KeyRelease:
        out.kind = WindowEvent::Kind::key;
        out.pressed = event.type == KeyPress;
        out.key_code = event.xkey.keycode;
        out.key_name = x_keycode_name(event.xkey.keycode);
        if (out.key_name.empty()) out.key_code_text = fmt::format("X keycode {}", event.xkey.keycode);
        return out;
      default:
        return std::nullopt;
    }
  }

  void free_image() {
    if (!image_) return;
    if (shm_attached_) {
      XShmDetach(display_, &shm_);
      XSync(display_, False);
      shm_attached_ = false;
    }
    XDestroyImage(image_);  // frees data_ for a plain image
    image_ = nullptr;
    if (shm_.shmaddr) {
      shmdt(shm_.shmaddr);
      shm_.shmaddr = nullptr;
    }
  }

  Result<void> ensure_image() {
    if (image_ && image_->width == width_ && image_->height == height_) return {};
    free_image();
    if (use_shm_) {
      image_ = XShmCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap, nullptr, &shm_,
                               static_cast<unsigned>(width_), static_cast<unsigned>(height_));
      if (image_) {
        shm_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * image_->height,
                            IPC_CREAT | 0600);
        shm_.shmaddr = shm_.shmid >= 0 ? static_cast<char*>(shmat(shm_.shmid, nullptr, 0)) : reinterpret_cast<char*>(-1);
        if (shm_.shmaddr != reinterpret_cast<char*>(-1)) {
          image_->data = shm_.shmaddr;
          shm_.readOnly = False;
          g_x_error = 0;
          XShmAttach(display_, &shm_);
          XSync(display_, False);
          shm_attached_ = g_x_error == 0;
        } else {
          shm_.shmaddr = nullptr;
        }
        if (shm_.shmid >= 0) shmctl(shm_.shmid, IPC_RMID, nullptr);  // gone once both sides detach
        if (!shm_attached_) {
          // The server cannot map our memory: plain images from now on.
          image_->data = nullptr;
          XDestroyImage(image_);
          image_ = nullptr;
          if (shm_.shmaddr) shmdt(shm_.shmaddr);
          shm_.shmaddr = nullptr;
          use_shm_ = false;
        }
      }
    }
    if (!image_) {
      image_ = XCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap, 0, nullptr,
                            static_cast<unsigned>(width_), static_cast<unsigned>(height_), 32, 0);
      if (!image_) return std::unexpected(Error::message("XCreateImage failed"));
      image_->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(image_->bytes_per_line) * height_));
      if (!image_->data) {
        XDestroyImage(image_);
        image_ = nullptr;
        return std::unexpected(Error::message("out of memory for the window's image"));
      }
    }
    return {};
  }

  Result<void> draw() {
    const Picture& picture = *last_;
    if (auto ready = ensure_image(); !ready) return ready;
    const AVPixelFormat source = picture.format == PixelFormat::i420 ? AV_PIX_FMT_YUV420P
                                 : picture.format == PixelFormat::nv12 ? AV_PIX_FMT_NV12
                                                                      : AV_PIX_FMT_BGR0;
    // Same size: a plain conversion; smaller: area averaging keeps text readable.
    const ScalerKey key{picture.width, picture.height, source, width_, height_};
    if (!scaler_ || !(key == scaler_key_)) {
      // Not sws_getCachedContext: it rebuilds a context whose colour details
      // were changed, losing them.
      if (scaler_) sws_freeContext(scaler_);
      // Same size: a plain conversion; smaller: area averaging keeps text readable.
      const int flags = picture.width == width_ && picture.height == height_ ? SWS_POINT : SWS_AREA;
      scaler_ = sws_getContext(picture.width, picture.height, source, width_, height_, pixel_format_, flags, nullptr,
                               nullptr, nullptr);
      if (!scaler_) return std::unexpected(Error::message("sws_getContext failed"));
      // BT.709, limited range in, full range out.
      const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
      sws_setColorspaceDetails(scaler_, bt709, 0, bt709, 1, 0, 1 << 16, 1 << 16);
      scaler_key_ = key;
    }
    std::uint8_t* destination[4] = {reinterpret_cast<std::uint8_t*>(image_->data), nullptr, nullptr, nullptr};
    int destination_stride[4] = {image_->bytes_per_line, 0, 0, 0};
    const std::uint8_t* const planes[4] = {picture.planes[0], picture.planes[1], picture.planes[2], nullptr};
    const int strides[4] = {picture.strides[0], picture.strides[1], picture.strides[2], 0};
    sws_scale(scaler_, planes, strides, 0, picture.height, destination, destination_stride);
    if (shm_attached_) {
      XShmPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, static_cast<unsigned>(width_),
                   static_cast<unsigned>(height_), False);
    } else {
      XPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, static_cast<unsigned>(width_),
                static_cast<unsigned>(height_));
    }
    // Once the server has answered, it has drawn the image and is done
    // reading the shared memory we overwrite next.
    XSync(display_, False);
    return {};
  }

  Display* display_;
  Window window_ = 0;
  GC gc_ = nullptr;
  Visual* visual_ = nullptr;
  int depth_ = 0;
  Atom wm_delete_ = 0;
  Atom utf8_string_ = 0;
  Atom net_wm_name_ = 0;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  struct sigaction old_term_ {};
  struct sigaction old_int_ {};
  bool use_shm_ = false;
  bool shm_attached_ = false;
  XShmSegmentInfo shm_{};
  XImage* image_ = nullptr;
  AVPixelFormat pixel_format_ = AV_PIX_FMT_BGR0;
  struct ScalerKey {
    int source_width = 0;
    int source_height = 0;
    AVPixelFormat source = AV_PIX_FMT_NONE;
    int width = 0;
    int height = 0;
    friend bool operator==(const ScalerKey&, const ScalerKey&) = default;
  };
  SwsContext* scaler_ = nullptr;
  ScalerKey scaler_key_;
  int width_ = 0;
  int height_ = 0;
  int stream_width_ = 0;
  int stream_height_ = 0;
  std::optional<Picture> last_;
};

}  // namespace

Result<std::unique_ptr<ViewWindow>> create_view_window(const std::string& title) { return XViewWindow::create(title); }

}  // namespace halvorine::client
