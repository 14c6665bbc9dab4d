// Plays a clip full screen on an X display, for the stream benches: FILE
// holds tightly packed top-down BGRA frames of the screen's size, shown one
// after the other every PERIOD_MS milliseconds and from the first again
// after the last, until standard input closes. The frames sit in one MIT-SHM
// segment, so showing one costs the X server a copy and this program nothing.
//
// usage: x_frame_player FILE PERIOD_MS
// Prints "ready WxH N" once the first frame is on the screen (N frames in
// the clip), and "shown K" at the end (frames shown, repeats included).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

// The shared segment: detached and removed whatever way main() leaves.
struct Segment {
  XShmSegmentInfo info{};
  ~Segment() {
    if (info.shmaddr != nullptr && info.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info.shmaddr);
    if (info.shmid >= 0) shmctl(info.shmid, IPC_RMID, nullptr);
  }
};

bool read_clip(const char* path, char* into, std::size_t size) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  const bool whole = std::fread(into, 1, size, file) == size;
  std::fclose(file);
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: x_frame_player FILE PERIOD_MS\n");
    return 2;
  }
  const int period_ms = std::atoi(argv[2]);
  if (period_ms < 1 || period_ms > 10000) {
    std::fprintf(stderr, "x_frame_player: PERIOD_MS must be 1 to 10000\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "x_frame_player: no display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  if (DefaultDepth(display, screen) != 24 || !XShmQueryExtension(display)) {
    std::fprintf(stderr, "x_frame_player: needs a 24-bit screen with MIT-SHM\n");
    return 1;
  }
  const std::size_t frame_bytes = static_cast<std::size_t>(width) * height * 4;
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(argv[1], error);
  if (error || size == 0 || size % frame_bytes != 0) {
    std::fprintf(stderr, "x_frame_player: %s is not a whole number of %dx%d BGRA frames\n", argv[1], width,
                 height);
    return 1;
  }
  const std::size_t frames = size / frame_bytes;

  Segment segment;
  segment.info.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (segment.info.shmid < 0) {
    std::fprintf(stderr, "x_frame_player: shmget of %ju bytes failed\n", size);
    return 1;
  }
  segment.info.shmaddr = static_cast<char*>(shmat(segment.info.shmid, nullptr, 0));
  if (segment.info.shmaddr == reinterpret_cast<char*>(-1) || !read_clip(argv[1], segment.info.shmaddr, size)) {
    std::fprintf(stderr, "x_frame_player: cannot load %s\n", argv[1]);
    return 1;
  }
  segment.info.readOnly = True;
  XShmAttach(display, &segment.info);
  XImage* image = XShmCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, segment.info.shmaddr,
                                  &segment.info, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (image == nullptr || image->bytes_per_line != width * 4) {
    std::fprintf(stderr, "x_frame_player: no 32-bit image for this screen\n");
    return 1;
  }

  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, screen);
  const Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display, window);
  const GC gc = XCreateGC(display, window, 0, nullptr);

  std::size_t shown = 0;
  const auto show_next = [&] {
    image->data = segment.info.shmaddr + (shown % frames) * frame_bytes;
    XShmPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
                 static_cast<unsigned>(height), False);
    XSync(display, False);  // on the screen before the next one is due
    ++shown;
  };
  show_next();
  std::printf("ready %dx%d %zu\n", width, height, frames);
  std::fflush(stdout);

  // On a fixed schedule; a late frame does not shift the ones after it.
  const Clock::duration period = std::chrono::milliseconds(period_ms);
  Clock::time_point next = Clock::now() + period;
  for (;;) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, wait > 0 ? static_cast<int>(wait) : 0);
    if (ready > 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;  // closed: done
      continue;
    }
    show_next();
    next += period;
    if (Clock::now() > next + 10 * period) next = Clock::now() + period;  // far behind: start again
  }
  std::printf("shown %zu\n", shown);
  image->data = nullptr;
  XDestroyImage(image);
  XShmDetach(display, &segment.info);
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
