// A known picture on the X display for the secure-stream tests: a full-screen
// window with smooth gradients and a coarse checkerboard, plus a marker of 16
// black or white blocks (top left) that encodes a number, so a decoded frame
// tells which change it shows.
//
// Commands on standard input, one per line:
//   mark N     draw marker N; prints "drawn N <steady-clock ns>" once the
//              X server has it
//   animate    move a block across the screen every 33 ms until the next line
//   churn P    repaint a 640x480 area with new content every P ms until the
//              next line, the marker counting the repaints from 1 (each one
//              printed as "drawn N <ns>")
//   texture    replace the background with a detailed, photograph-like
//              texture (noise over gradients), as behind a real logon screen
//   plain      the gradients again
//   keys       from now on every key press on the window draws the next
//              marker (printed as "drawn N <ns>"), as a password field
//              shows a new dot
//   xtest K    press and release X keycode K through XTest; prints
//              "sent <ns>" just before
//   desktop D  set the root window's _HALVORINE_DESKTOP to D; prints
//              "desktop D <ns>" once the server has it
//   quit
// Prints "ready WxH" once the picture is on the screen.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMarkerBits = 16;
constexpr int kMarkerBlock = 32;  // side of one marker block; blocks sit 40 px apart
constexpr int kMoverSize = 160;

std::uint32_t background(int x, int y, int width, int height) {
  const std::uint32_t r = static_cast<std::uint32_t>(x * 255 / (width - 1));
  const std::uint32_t g = static_cast<std::uint32_t>(y * 255 / (height - 1));
  const std::uint32_t b = ((x / 128 + y / 128) % 2) != 0 ? 190 : 70;
  return r << 16 | g << 8 | b;
}

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main() {
  // Unbuffered: a buffered line would sit in stdio while poll() waits on the
  // descriptor for the next one.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  // A display that has just come up, or is busy with another test's
  // clients, has been seen to refuse a connection: try again for a while.
  Display* display = XOpenDisplay(nullptr);
  for (int attempt = 0; !display && attempt < 100; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    display = XOpenDisplay(nullptr);
  }
  if (!display) {
    std::fprintf(stderr, "x_test_pattern: no display (%s)\n", XDisplayName(nullptr));
    return 1;
  }
  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  Visual* visual = DefaultVisual(display, screen);
  if (DefaultDepth(display, screen) != 24) {
    std::fprintf(stderr, "x_test_pattern: needs a 24-bit screen\n");
    return 1;
  }

  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, screen);
  const Window window =
      XCreateWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                    static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixel, &attributes);
  XSelectInput(display, window, ExposureMask);
  XMapRaised(display, window);
  const GC gc = XCreateGC(display, window, 0, nullptr);

  // The base picture, kept for repainting what the moving block uncovers.
  std::vector<std::uint32_t> base(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) base[static_cast<std::size_t>(y) * width + x] = background(x, y, width, height);
  }
  std::vector<std::uint32_t> frame = base;
  XImage* image = XCreateImage(display, visual, 24, ZPixmap, 0, reinterpret_cast<char*>(frame.data()),
                               static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
  const auto put = [&](int x, int y, int w, int h) {
    XPutImage(display, window, gc, image, x, y, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
  };
  const auto fill = [&](int x0, int y0, int w, int h, std::uint32_t colour) {
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) frame[static_cast<std::size_t>(y) * width + x] = colour;
    }
  };
  const auto restore = [&](int x0, int y0, int w, int h) {
    for (int y = y0; y < y0 + h; ++y) {
      std::memcpy(&frame[static_cast<std::size_t>(y) * width + x0], &base[static_cast<std::size_t>(y) * width + x0],
                  static_cast<std::size_t>(w) * 4);
    }
  };
  const auto draw_marker = [&](unsigned value) {
    for (int bit = 0; bit < kMarkerBits; ++bit) {
      fill(8 + bit * 40, 8, kMarkerBlock, kMarkerBlock, (value >> bit & 1) != 0 ? 0xFFFFFF : 0x000000);
    }
    put(0, 0, 8 + kMarkerBits * 40, 8 + kMarkerBlock);
  };
  draw_marker(0);
  put(0, 0, width, height);
  XSync(display, False);
  std::printf("ready %dx%d\n", width, height);
  std::fflush(stdout);

  int mover_x = 0;
  const int mover_y = height / 2 - kMoverSize / 2;
  bool animating = false;
  int churn_period_ms = 0;  // 0: not churning
  unsigned churn_count = 0;
  constexpr int kChurnX = 640, kChurnY = 300, kChurnWidth = 640, kChurnHeight = 480;
  unsigned keys_drawn = 0;
  std::string line;
  for (;;) {
    pollfd inputs[2] = {{STDIN_FILENO, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
    const int ready = XPending(display) > 0
                    ? 1
                    : poll(inputs, 2, animating ? 33 : churn_period_ms > 0 ? churn_period_ms : -1);
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == Expose) put(0, 0, width, height);
      if (event.type == KeyPress) {
        draw_marker(++keys_drawn);
        XSync(display, False);
        std::printf("drawn %u %lld\n", keys_drawn, now_ns());
        std::fflush(stdout);
      }
    }
    if (ready > 0 && (inputs[0].revents & POLLIN) == 0) continue;  // X events only
    if (ready == 0 && churn_period_ms > 0) {  // new content in the churned area
      ++churn_count;
      for (int y = 0; y < kChurnHeight; ++y) {
        for (int x = 0; x < kChurnWidth; ++x) {
          const unsigned v = static_cast<unsigned>(x + 2 * y) + churn_count * 11;
          frame[static_cast<std::size_t>(kChurnY + y) * width + kChurnX + x] =
              ((v * 3) & 0xFF) << 16 | ((v * 5 + y) & 0xFF) << 8 | ((v / 4 + x) & 0xFF);
        }
      }
      put(kChurnX, kChurnY, kChurnWidth, kChurnHeight);
      draw_marker(churn_count);
      XSync(display, False);
      std::printf("drawn %u %lld\n", churn_count, now_ns());
      std::fflush(stdout);
      continue;
    }
    if (ready == 0) {  // animation step
      restore(mover_x, mover_y, kMoverSize, kMoverSize);
      put(mover_x, mover_y, kMoverSize, kMoverSize);
      mover_x = (mover_x + 24) % (width - kMoverSize);
      fill(mover_x, mover_y, kMoverSize, kMoverSize, 0xE0E020);
      put(mover_x, mover_y, kMoverSize, kMoverSize);
      XFlush(display);
      continue;
    }
    char buffer[128];
    if (!std::fgets(buffer, sizeof buffer, stdin)) break;
    line = buffer;
    animating = false;
    churn_period_ms = 0;
    if (line.starts_with("mark ")) {
      const unsigned value = static_cast<unsigned>(std::strtoul(line.c_str() + 5, nullptr, 10));
      draw_marker(value);
      XSync(display, False);
      std::printf("drawn %u %lld\n", value, now_ns());
      std::fflush(stdout);
    } else if (line.starts_with("animate")) {
      animating = true;
    } else if (line.starts_with("churn ")) {
      churn_period_ms = std::max(1, std::atoi(line.c_str() + 6));
      churn_count = 0;
    } else if (line.starts_with("texture")) {
      // Noise of several scales over the gradients: expensive to code, as a
      // photograph is, and still.
      std::uint32_t seed = 12345;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          seed = seed * 1664525U + 1013904223U;
          const std::uint32_t g = background(x, y, width, height);
          const int n = static_cast<int>(seed >> 24) - 128;
          const int wave = ((x * 7 + y * 3) % 97) - 48;
          auto mix = [&](int c) { return static_cast<std::uint32_t>(std::clamp(c + n / 2 + wave / 3, 0, 255)); };
          base[static_cast<std::size_t>(y) * width + x] = mix(static_cast<int>(g >> 16 & 0xFF)) << 16 |
                                                          mix(static_cast<int>(g >> 8 & 0xFF)) << 8 |
                                                          mix(static_cast<int>(g & 0xFF));
        }
      }
      frame = base;
      draw_marker(keys_drawn);
      put(0, 0, width, height);
      XSync(display, False);
    } else if (line.starts_with("plain")) {
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) base[static_cast<std::size_t>(y) * width + x] = background(x, y, width, height);
      }
      frame = base;
      draw_marker(keys_drawn);
      put(0, 0, width, height);
      XSync(display, False);
    } else if (line.starts_with("keys")) {
      XSelectInput(display, window, ExposureMask | KeyPressMask);
      XSetInputFocus(display, window, RevertToParent, CurrentTime);
      XSync(display, False);
    } else if (line.starts_with("xtest ")) {
      const auto keycode = static_cast<unsigned>(std::atoi(line.c_str() + 6));
      std::printf("sent %lld\n", now_ns());
      std::fflush(stdout);
      XTestFakeKeyEvent(display, keycode, True, CurrentTime);
      XTestFakeKeyEvent(display, keycode, False, CurrentTime);
      XFlush(display);
    } else if (line.starts_with("desktop ")) {
      std::string name = line.substr(8);
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
      const Atom property = XInternAtom(display, "_HALVORINE_DESKTOP", False);
      XChangeProperty(display, RootWindow(display, screen), property, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(name.data()), static_cast<int>(name.size()));
      XSync(display, False);
      std::printf("desktop %s %lld\n", name.c_str(), now_ns());
      std::fflush(stdout);
    } else if (line.starts_with("quit")) {
      break;
    }
  }
  image->data = nullptr;  // the vector owns the pixels
  XDestroyImage(image);
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
