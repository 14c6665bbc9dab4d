// write-test-frames WIDTHxHEIGHT FRAMES OUTPUT.bgra [--full-change]
//
// Writes desktop-like BGRA frames for the encoder stream test: one small
// region changes from frame to frame, or with --full-change the whole
// picture scrolls.
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/unique_file.h"
#include "desktop_frames.h"

int main(int argc, char** argv) {
  unsigned width = 0, height = 0;
  if (argc < 4 || std::sscanf(argv[1], "%ux%u", &width, &height) != 2 || width == 0 ||
      height == 0) {
    std::fprintf(stderr,
                 "usage: write-test-frames WIDTHxHEIGHT FRAMES OUTPUT.bgra [--full-change]\n");
    return 2;
  }
  const long frames = std::strtol(argv[2], nullptr, 10);
  const bool full_change = argc > 4 && std::string_view(argv[4]) == "--full-change";
  halvorine::UniqueFile out(std::fopen(argv[3], "wb"));
  if (!out || frames <= 0) {
    std::fprintf(stderr, "write-test-frames: cannot write %s\n", argv[3]);
    return 1;
  }
  std::vector<std::uint8_t> bgra(std::size_t{width} * height * 4);
  halvorine::testing::DesktopPainter painter(bgra, width, height);
  painter.paint();
  for (long frame = 0; frame < frames; ++frame) {
    if (full_change) painter.paint(static_cast<std::uint32_t>(frame) * 3);
    painter.type_line(static_cast<std::uint32_t>(frame));
    if (std::fwrite(bgra.data(), 1, bgra.size(), out.get()) != bgra.size()) {
      std::fprintf(stderr, "write-test-frames: writing %s failed\n", argv[3]);
      return 1;
    }
  }
  return out.close() == 0 ? 0 : 1;
}
