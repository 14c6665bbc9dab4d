// halvorine-capture: captures the screen with a real DesktopDuplicator, as
// the worker does, so a user can check capture on a machine and tests can
// compare its pixels with an independent grab.
//
//   halvorine-capture [--frames N | --duration-ms D] [--output I] [--full] [--png OUT.png] [--raw OUT.bgra]
//
// One capture call by default. The duplicator's log lines go to standard
// error; standard output gets the mode, the size, one line per capture call
// and a summary. The last complete image is written as a PNG and/or as its
// exact BGRA bytes; when no call delivered one, or with --full, the image is
// the full GDI capture the worker's refresh takes (capture_gdi_full).
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/desktop_duplicator.h"
#include "common/clock.h"
#include "common/logger.h"
#include "image_files.h"
#include "process_setup.h"

namespace {

using namespace halvorine;

// The wait the worker's capture loop passes.
constexpr std::uint32_t kCaptureTimeoutMs = 100;

class StderrLogger final : public Logger {
 public:
  void log(std::string_view message) override {
    fmt::print(stderr, "{}\n", message);
    std::fflush(stderr);
  }
};

struct Options {
  std::optional<std::uint32_t> frames;
  std::optional<std::uint32_t> duration_ms;
  std::uint32_t output = 0;
  bool full = false;
  std::string png;
  std::string raw;
};

void usage() {
  fmt::print(stderr,
             "usage: halvorine-capture [--frames N | --duration-ms D] [--output I] [--full] [--png OUT.png] "
             "[--raw OUT.bgra]\n"
             "  --frames N       capture N times (default 1)\n"
             "  --duration-ms D  capture repeatedly for D milliseconds\n"
             "  --output I       the display output to duplicate (default 0)\n"
             "  --full           write the full GDI capture of the output, not the last frame\n"
             "  --png, --raw     write the last complete image as PNG / as its BGRA bytes\n");
}

std::optional<std::uint32_t> parse_count(std::string_view text, std::uint32_t limit) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--full" && !options.full) {
      options.full = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;  // every other option takes a value
    const std::string_view value = argv[++i];
    if (flag == "--frames" && !options.frames) {
      options.frames = parse_count(value, 1'000'000);
      if (!options.frames || *options.frames == 0) return std::nullopt;
    } else if (flag == "--duration-ms" && !options.duration_ms) {
      options.duration_ms = parse_count(value, 86'400'000);
      if (!options.duration_ms || *options.duration_ms == 0) return std::nullopt;
    } else if (flag == "--output") {
      const auto output = parse_count(value, 1'000'000);
      if (!output) return std::nullopt;
      options.output = *output;
    } else if (flag == "--png" && options.png.empty() && !value.empty()) {
      options.png = value;
    } else if (flag == "--raw" && options.raw.empty() && !value.empty()) {
      options.raw = value;
    } else {
      return std::nullopt;
    }
  }
  if (options.frames && options.duration_ms) return std::nullopt;
  return options;
}

std::string describe_rects(const std::vector<Rect>& rects) {
  std::string text;
  constexpr std::size_t kShown = 8;
  for (std::size_t i = 0; i < rects.size() && i < kShown; ++i) {
    const Rect& r = rects[i];
    text += fmt::format(" [{},{},{},{}]", r.left, r.top, r.right, r.bottom);
  }
  if (rects.size() > kShown) text += fmt::format(" and {} more", rects.size() - kShown);
  return text;
}

double milliseconds(Clock::MonotonicTime::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

int run(const Options& options) {
  prepare_capture_process();
  StderrLogger log;
  SystemClock clock;
  DesktopDuplicator duplicator = DesktopDuplicator::create(log, clock, options.output);
  fmt::print("mode: {}\n", duplicator.gdi_only() ? "GDI-only" : "duplication");
  fmt::print("size: {}x{}\n", duplicator.width(), duplicator.height());
  std::fflush(stdout);
  if (duplicator.width() == 0 || duplicator.height() == 0) {
    fmt::print(stderr, "halvorine-capture: the screen has no size (no display to capture?)\n");
    return 1;
  }

  std::vector<std::uint8_t> last_image;
  std::uint32_t image_width = 0;
  std::uint32_t image_height = 0;
  std::uint64_t calls = 0;
  std::uint64_t frames = 0;
  std::uint64_t pointer_updates = 0;
  std::uint64_t rectangles = 0;
  Clock::MonotonicTime::duration busy{};
  const Clock::MonotonicTime start = clock.monotonic_now();
  const auto deadline = start + std::chrono::milliseconds(options.duration_ms.value_or(0));
  const std::uint64_t wanted = options.frames.value_or(1);

  while (options.duration_ms ? clock.monotonic_now() < deadline : calls < wanted) {
    const Clock::MonotonicTime before = clock.monotonic_now();
    Result<std::optional<CapturedFrame>> captured = duplicator.capture(kCaptureTimeoutMs);
    const auto took = clock.monotonic_now() - before;
    busy += took;
    ++calls;
    if (!captured) {
      // The worker would rebuild the duplicator; the tool reports and stops.
      fmt::print(stderr, "halvorine-capture: capture failed: {}\n", captured.error().text());
      return 1;
    }
    if (!*captured) {
      fmt::print("capture {}: no new frame, {:.2f} ms\n", calls, milliseconds(took));
    } else if ((*captured)->pixels.empty()) {
      ++pointer_updates;
      const CapturedFrame& frame = **captured;
      fmt::print("capture {}: pointer only at {},{}{}{}, {:.2f} ms\n", calls, frame.cursor_pos.x,
                 frame.cursor_pos.y, frame.cursor_visible ? "" : " (hidden)",
                 frame.cursor_shape ? fmt::format(", new shape {}x{}", frame.cursor_shape->width,
                                                  frame.cursor_shape->height)
                                    : "",
                 milliseconds(took));
    } else {
      CapturedFrame& frame = **captured;
      ++frames;
      rectangles += frame.dirty_rects.size();
      fmt::print("capture {}: frame {}x{}, {} dirty rectangle(s):{}, {:.2f} ms\n", calls, frame.width,
                 frame.height, frame.dirty_rects.size(), describe_rects(frame.dirty_rects), milliseconds(took));
      last_image.assign(frame.pixels.begin(), frame.pixels.end());
      image_width = frame.width;
      image_height = frame.height;
    }
    std::fflush(stdout);
  }
  fmt::print("summary: {} capture(s), {} frame(s), {} pointer-only, {} dirty rectangle(s), {:.2f} ms per capture\n",
             calls, frames, pointer_updates, rectangles, calls ? milliseconds(busy) / calls : 0.0);

  if (options.png.empty() && options.raw.empty()) return 0;
  if (last_image.empty() || options.full) {
    // Nothing new arrived: the image as the worker's refresh would take it.
    if (!options.full) fmt::print("no frame delivered an image; taking a full GDI capture\n");
    std::optional<std::vector<std::uint8_t>> full = duplicator.capture_gdi_full();
    if (!full) {
      fmt::print(stderr, "halvorine-capture: no image could be captured\n");
      return 1;
    }
    last_image = std::move(*full);
    image_width = duplicator.width();
    image_height = duplicator.height();
    if (last_image.size() != std::size_t{image_width} * image_height * 4) {
      fmt::print(stderr, "halvorine-capture: the screen changed size; no image written\n");
      return 1;
    }
  }
  int status = 0;
  if (!options.raw.empty()) {
    if (Result<void> written = write_raw_file(options.raw, last_image); !written) {
      fmt::print(stderr, "halvorine-capture: cannot write {}: {}\n", options.raw, written.error().text());
      status = 1;
    }
  }
  if (!options.png.empty()) {
    if (Result<void> written = write_png_file(options.png, last_image, image_width, image_height); !written) {
      fmt::print(stderr, "halvorine-capture: cannot write {}: {}\n", options.png, written.error().text());
      status = 1;
    }
  }
  if (status == 0) fmt::print("image: {}x{}\n", image_width, image_height);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    usage();
    return 2;
  }
  return run(*options);
}
