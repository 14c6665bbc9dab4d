// A test client for the capture end-to-end test: covers screen 0 with an
// override-redirect window showing a known pattern, then follows commands on
// standard input, answering each with "done" once the server has drawn it:
//   fill X Y W H RRGGBB   a solid rectangle
//   pattern SEED          the whole pattern again with another seed
// Prints "ready" when the first pattern is on the screen.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

namespace {

unsigned long to_pixel(const Visual* visual, unsigned r, unsigned g, unsigned b) {
  auto place = [](unsigned value, unsigned long mask) {
    int shift = 0;
    while (mask != 0 && !(mask & 1ul)) {
      mask >>= 1;
      ++shift;
    }
    return (static_cast<unsigned long>(value * mask / 255)) << shift;
  };
  return place(r, visual->red_mask) | place(g, visual->green_mask) | place(b, visual->blue_mask);
}

void draw_pattern(Display* display, Window window, GC gc, int width, int height, unsigned seed) {
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  XImage* image = XCreateImage(display, visual, DefaultDepth(display, screen), ZPixmap, 0, nullptr, width, height,
                               32, 0);
  image->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // Every channel varies, neighbours differ, and no two rows repeat.
      const unsigned r = (x * 7 + seed) & 0xFF;
      const unsigned g = (y * 5 + x / 256 * 40) & 0xFF;
      const unsigned b = ((x ^ y) + seed * 3) & 0xFF;
      XPutPixel(image, x, y, to_pixel(visual, r, g, b));
    }
  }
  XPutImage(display, window, gc, image, 0, 0, 0, 0, width, height);
  XDestroyImage(image);
  XSync(display, False);
}

}  // namespace

int main() {
  // A loaded Xvfb refuses a share of new connections outright: try again.
  Display* display = nullptr;
  for (int attempt = 0; attempt < 5 && display == nullptr; ++attempt) display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "x_pattern_client: no display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, screen);
  const Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, width, height, 0, CopyFromParent,
                                      InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XSelectInput(display, window, ExposureMask);
  XMapRaised(display, window);
  XEvent event;
  do XNextEvent(display, &event);
  while (event.type != Expose);
  GC gc = XCreateGC(display, window, 0, nullptr);
  draw_pattern(display, window, gc, width, height, 0);
  std::cout << "ready" << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "fill") {
      int x = 0, y = 0;
      unsigned w = 0, h = 0;
      std::string colour;
      words >> x >> y >> w >> h >> colour;
      const unsigned long rgb = std::stoul(colour, nullptr, 16);
      XSetForeground(display, gc,
                     to_pixel(DefaultVisual(display, screen), (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
      XFillRectangle(display, window, gc, x, y, w, h);
      XSync(display, False);
    } else if (command == "pattern") {
      unsigned seed = 0;
      words >> seed;
      draw_pattern(display, window, gc, width, height, seed);
    }
    std::cout << "done" << std::endl;
  }
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
