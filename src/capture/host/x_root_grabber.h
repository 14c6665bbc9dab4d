// Reads rectangles of an X screen's root window as B, G, R, X pixels: through
// a shared-memory segment (MIT-SHM) when the server supports it, else with
// XGetImage. Owned by the thread that owns the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "desktop/host/x_display.h"

typedef struct _XImage XImage;

namespace halvorine {

class XRootGrabber {
 public:
  XRootGrabber(std::shared_ptr<XConnection> connection, int screen);
  ~XRootGrabber();
  XRootGrabber(const XRootGrabber&) = delete;
  XRootGrabber& operator=(const XRootGrabber&) = delete;

  // Copies the root window's rectangle at (x, y) of width × height (both > 0,
  // inside the screen) into `dest`, rows `dest_stride` bytes apart. False on
  // any failure (lost connection, rectangle outside the screen, ...).
  bool grab(int x, int y, int width, int height, std::uint8_t* dest, std::size_t dest_stride);
  // The same into `pixels`, sized to width × height × 4 without a pass of
  // zero-filling first.
  bool grab(int x, int y, int width, int height, std::vector<std::uint8_t>& pixels);

  // False once shared memory proved unusable and XGetImage is used instead.
  bool shared_memory() const { return !shm_unusable_; }

 private:
  struct SharedImage;
  // Takes the image read from the server (valid during the call).
  using ImageSink = std::function<void(const XImage& image)>;
  bool grab_into(int x, int y, int width, int height, const ImageSink& sink);
  bool grab_shared(int x, int y, int width, int height, const ImageSink& sink);
  bool grab_plain(int x, int y, int width, int height, const ImageSink& sink);
  bool ensure_shared_image(int width, int height);

  std::shared_ptr<XConnection> connection_;
  int screen_;
  std::unique_ptr<SharedImage> shared_;
  bool shm_unusable_ = false;
};

// True when an image of this format is B, G, R, X bytes in memory already.
bool x_image_is_bgrx(const XImage& image);
// Copies `image` (width × height) into `dest` as B, G, R, X, converting
// through the image's colour masks when its format is another.
void copy_x_image(const XImage& image, int width, int height, std::uint8_t* dest, std::size_t dest_stride);

}  // namespace halvorine
