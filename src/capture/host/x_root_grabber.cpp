#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include "capture/host/x_root_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>
#include <cstring>

namespace halvorine {

// A server-attached segment with an XImage over it, large enough for the
// biggest rectangle asked so far.
struct XRootGrabber::SharedImage {
  XShmSegmentInfo info{};
  XImage* image = nullptr;
  int width = 0;
  int height = 0;
  bool attached = false;

  SharedImage() { info.shmaddr = nullptr; info.shmid = -1; }
  SharedImage(const SharedImage&) = delete;
  SharedImage& operator=(const SharedImage&) = delete;

  void release(XConnection& connection) {
    if (attached && !connection.lost()) {
      XShmDetach(connection.get(), &info);
      XSync(connection.get(), False);
    }
    attached = false;
    if (image != nullptr) {
      // Neither the segment nor `info` (which obdata points to) is Xlib's to free.
      image->data = nullptr;
      image->obdata = nullptr;
      XDestroyImage(image);
      image = nullptr;
    }
    if (info.shmaddr != nullptr) shmdt(info.shmaddr);
    info.shmaddr = nullptr;
  }
};

namespace {

// The byte a channel takes in an 8-bit-per-channel pixel, from any mask.
std::uint8_t channel_value(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const unsigned long bits = mask >> shift;
  const unsigned long value = (pixel & mask) >> shift;
  return static_cast<std::uint8_t>(bits >= 255 ? value >> (std::bit_width(bits) - 8) : value * 255 / bits);
}

}  // namespace

bool x_image_is_bgrx(const XImage& image) {
  return image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == 0xff0000 &&
         image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

void copy_x_image(const XImage& image, int width, int height, std::uint8_t* dest, std::size_t dest_stride) {
  const std::size_t row_bytes = static_cast<std::size_t>(width) * 4;
  if (x_image_is_bgrx(image)) {
    const auto* source = reinterpret_cast<const std::uint8_t*>(image.data);
    const auto source_stride = static_cast<std::size_t>(image.bytes_per_line);
    if (source_stride == row_bytes && dest_stride == row_bytes) {
      std::memcpy(dest, source, row_bytes * height);
      return;
    }
    for (int row = 0; row < height; ++row) {
      std::memcpy(dest + row * dest_stride, source + row * source_stride, row_bytes);
    }
    return;
  }
  // Any other visual (16-bit, big-endian, ...): slow, but the same pixels.
  auto& readable = const_cast<XImage&>(image);
  for (int row = 0; row < height; ++row) {
    std::uint8_t* out = dest + row * dest_stride;
    for (int column = 0; column < width; ++column, out += 4) {
      const unsigned long pixel = XGetPixel(&readable, column, row);
      out[0] = channel_value(pixel, image.blue_mask);
      out[1] = channel_value(pixel, image.green_mask);
      out[2] = channel_value(pixel, image.red_mask);
      out[3] = 0;
    }
  }
}

XRootGrabber::XRootGrabber(std::shared_ptr<XConnection> connection, int screen)
    : connection_(std::move(connection)), screen_(screen) {}

XRootGrabber::~XRootGrabber() {
  if (shared_) shared_->release(*connection_);
}

bool XRootGrabber::grab(int x, int y, int width, int height, std::uint8_t* dest, std::size_t dest_stride) {
  return grab_into(x, y, width, height,
                   [&](const XImage& image) { copy_x_image(image, width, height, dest, dest_stride); });
}

bool XRootGrabber::grab(int x, int y, int width, int height, std::vector<std::uint8_t>& pixels) {
  return grab_into(x, y, width, height, [&](const XImage& image) {
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    if (x_image_is_bgrx(image) && static_cast<std::size_t>(image.bytes_per_line) == std::size_t(width) * 4) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(image.data);
      pixels.assign(data, data + bytes);
      return;
    }
    pixels.resize(bytes);
    copy_x_image(image, width, height, pixels.data(), static_cast<std::size_t>(width) * 4);
  });
}

bool XRootGrabber::grab_into(int x, int y, int width, int height, const ImageSink& sink) {
  if (connection_->lost() || width <= 0 || height <= 0) return false;
  if (shm_unusable_) return grab_plain(x, y, width, height, sink);
  if (grab_shared(x, y, width, height, sink)) return true;
  if (connection_->lost() || !grab_plain(x, y, width, height, sink)) return false;
  // XGetImage managed what shared memory could not (a server on another
  // machine refuses the attachment): stay with XGetImage.
  shm_unusable_ = true;
  return true;
}

bool XRootGrabber::ensure_shared_image(int width, int height) {
  if (shared_ && shared_->width >= width && shared_->height >= height) return true;
  const int new_width = shared_ ? std::max(width, shared_->width) : width;
  const int new_height = shared_ ? std::max(height, shared_->height) : height;
  if (shared_) shared_->release(*connection_);
  shared_.reset();
  Display* display = connection_->get();
  if (!XShmQueryExtension(display)) return false;

  auto shared = std::make_unique<SharedImage>();
  shared->image = XShmCreateImage(display, DefaultVisual(display, screen_), DefaultDepth(display, screen_),
                                  ZPixmap, nullptr, &shared->info, new_width, new_height);
  // Only whole 32-bit B, G, R, X pixels let one segment serve any sub-rectangle.
  if (shared->image == nullptr || !x_image_is_bgrx(*shared->image)) {
    shared->release(*connection_);
    return false;
  }
  shared->width = new_width;
  shared->height = new_height;
  const std::size_t bytes = static_cast<std::size_t>(shared->image->bytes_per_line) * new_height;
  // Readable by this user alone: the segment holds the screen's content.
  shared->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (shared->info.shmid < 0) {
    shared->release(*connection_);
    return false;
  }
  void* address = shmat(shared->info.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(shared->info.shmid, IPC_RMID, nullptr);
    shared->release(*connection_);
    return false;
  }
  shared->info.shmaddr = shared->image->data = static_cast<char*>(address);
  shared->info.readOnly = False;
  shared->attached = XShmAttach(display, &shared->info) != False;
  XSync(display, False);
  // Removed now, so the segment goes away with its last attachment whatever
  // happens to this process.
  shmctl(shared->info.shmid, IPC_RMID, nullptr);
  shared_ = std::move(shared);
  return shared_->attached && !connection_->lost();
}

bool XRootGrabber::grab_shared(int x, int y, int width, int height, const ImageSink& sink) {
  if (!ensure_shared_image(width, height)) {
    if (!connection_->lost()) shm_unusable_ = true;
    return false;
  }
  Display* display = connection_->get();
  XImage& image = *shared_->image;
  // The server writes width × height pixels at the image's data, rows
  // width × 4 bytes apart: describe the sub-image for the request.
  const int full_width = image.width;
  const int full_height = image.height;
  const int full_stride = image.bytes_per_line;
  image.width = width;
  image.height = height;
  image.bytes_per_line = width * 4;
  const int status = XShmGetImage(display, RootWindow(display, screen_), &image, x, y, AllPlanes);
  if (status != False) sink(image);
  image.width = full_width;
  image.height = full_height;
  image.bytes_per_line = full_stride;
  return status != False;
}

bool XRootGrabber::grab_plain(int x, int y, int width, int height, const ImageSink& sink) {
  Display* display = connection_->get();
  XImage* image = XGetImage(display, RootWindow(display, screen_), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return false;
  sink(*image);
  XDestroyImage(image);
  return true;
}

}  // namespace halvorine
