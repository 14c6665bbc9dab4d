// The Linux capture platform: screen 0 of the X display named by DISPLAY.
// The GDI stand-in grabs the root window (MIT-SHM, else XGetImage) over a
// connection kept between calls and replaced once Xlib declares it broken.
#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include "capture/capture_platform.h"
#include "desktop/host/x_display.h"
#include "capture/host/x_duplication.h"
#include "capture/host/x_root_grabber.h"

namespace halvorine {
namespace {

constexpr std::int32_t kMaxGrabSide = 16384;

class XCapturePlatform final : public CapturePlatform {
 public:
  // Over the connection the grabs use: a refresh (an output search, then a
  // grab) opens no connection of its own.
  Result<std::unique_ptr<CaptureFactory>> create_factory() override {
    return make_x_capture_factory(connect() ? connection_ : nullptr);
  }

  ScreenMetrics screen_metrics() override {
    if (!connect()) return {};
    Display* display = connection_->get();
    const int screen = DefaultScreen(display);
    // One screen is the whole virtual screen here.
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    return ScreenMetrics{0, 0, width, height, width, height};
  }

  bool capture_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                      std::vector<std::uint8_t>& pixels) override {
    // The server is the session user's: a size it made up must not decide
    // how much the worker allocates.
    if (width <= 0 || height <= 0 || width > kMaxGrabSide || height > kMaxGrabSide || !connect()) return false;
    return grabber_->grab(x, y, width, height, pixels);
  }

 private:
  bool connect() {
    if (connection_ && !connection_->lost()) return true;
    grabber_.reset();
    connection_ = XConnection::open(XConnection::kBusyServerAttempts);
    if (!connection_) return false;
    grabber_ = std::make_unique<XRootGrabber>(connection_, DefaultScreen(connection_->get()));
    return true;
  }

  std::shared_ptr<XConnection> connection_;
  std::unique_ptr<XRootGrabber> grabber_;
};

}  // namespace

std::unique_ptr<CapturePlatform> make_capture_platform() { return std::make_unique<XCapturePlatform>(); }

}  // namespace halvorine
