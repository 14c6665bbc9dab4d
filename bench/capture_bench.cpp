// Screen capture on the X display named by DISPLAY (bench/capture_bench.sh
// starts a 1920 × 1080 Xvfb for it): a full root-window capture against memcpy
// of a frame of the same size; the duplicator's cost for an unchanged screen
// and for a 100 × 100 change as a share of a full capture; the GDI-only hash
// of a 1080p frame against memcpy; a 648 × 40 change from the screen to the
// encoder's planes against the whole screen changing.
#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench_ratios.h"
#include "capture/desktop_duplicator.h"
#include "capture/gdi_capture.h"
#include "common/clock.h"
#include "common/logger.h"
#include "encoder/color_conversion.h"

namespace {

using namespace halvorine;

class NullLogger final : public Logger {
 public:
  void log(std::string_view) override {}
};

constexpr std::size_t kFrameBytes = std::size_t{1920} * 1080 * 4;

void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<std::uint8_t> source(kFrameBytes, 0x5A);
  std::vector<std::uint8_t> dest(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(dest.data(), source.data(), kFrameBytes);
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBytes));
}

// capture_virtual_screen: the root window through MIT-SHM into a new buffer,
// as the GDI-only mode and the full refresh do.
void BM_FullCapture(benchmark::State& state) {
  std::unique_ptr<CapturePlatform> platform = make_capture_platform();
  if (!capture_virtual_screen(*platform)) {
    std::fprintf(stderr, "no X display to capture\n");
    state.SkipWithError("no X display to capture (set DISPLAY)");
    return;
  }
  for (auto _ : state) {
    std::optional<VirtualScreenImage> image = capture_virtual_screen(*platform);
    if (!image) {
      std::fprintf(stderr, "a full capture failed\n");
      state.SkipWithError("capture failed");
      return;
    }
    benchmark::DoNotOptimize(image->pixels.data());
  }
}

// A second client that changes the screen between captures.
class ScreenPainter {
 public:
  ScreenPainter() {
    // A loaded Xvfb refuses a share of new connections outright: try again.
    for (int attempt = 0; attempt < 5 && display_ == nullptr; ++attempt) display_ = XOpenDisplay(nullptr);
    if (display_) gc_ = XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr);
  }
  ~ScreenPainter() {
    if (!display_) return;
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }
  explicit operator bool() const { return display_ != nullptr; }
  // Fills a 100 × 100 square with a colour that differs from the last one,
  // and returns once the server has drawn it.
  void change_square() { change(400, 300, 100, 100); }
  void change(int x, int y, unsigned width, unsigned height) {
    colour_ = (colour_ + 0x0F1F2F) & 0xFFFFFF;
    XSetForeground(display_, gc_, colour_);
    XFillRectangle(display_, DefaultRootWindow(display_), gc_, x, y, width, height);
    XSync(display_, False);
  }

 private:
  Display* display_ = nullptr;
  GC gc_{};
  unsigned long colour_ = 0;
};

std::optional<DesktopDuplicator> duplicating(benchmark::State& state, Logger& log, const Clock& clock) {
  DesktopDuplicator duplicator = DesktopDuplicator::create(log, clock, 0);
  if (duplicator.gdi_only()) {
    state.SkipWithError("no duplication on this display");
    return std::nullopt;
  }
  // The first frame is the whole screen; drain it.
  for (int i = 0; i < 3; ++i) (void)duplicator.capture(8);
  return duplicator;
}

// An unchanged screen: each call waits its shortest bound (8 ms) for nothing;
// the CPU time is the cost, the wait is idle.
void BM_DuplicationUnchanged(benchmark::State& state) {
  NullLogger log;
  SystemClock clock;
  std::optional<DesktopDuplicator> duplicator = duplicating(state, log, clock);
  if (!duplicator) return;
  for (auto _ : state) {
    Result<std::optional<CapturedFrame>> frame = duplicator->capture(0);
    if (!frame || *frame) {
      state.SkipWithError("the screen changed or capture failed");
      return;
    }
  }
}

// The frame a change just painted gives; nothing (the benchmark skipped)
// when none comes.
std::optional<CapturedFrame> capture_change(benchmark::State& state, DesktopDuplicator& duplicator) {
  // The wait bound has adapted down to 8 ms; a loaded server may need longer.
  Result<std::optional<CapturedFrame>> frame = duplicator.capture(100);
  // Pointer updates (a shape notice can come late) are not the change either.
  for (int tries = 0; tries < 50 && frame && (!*frame || (*frame)->pixels.empty()); ++tries) {
    frame = duplicator.capture(100);
  }
  if (!frame || !*frame || (*frame)->pixels.empty()) {
    const std::string why = !frame ? frame.error().text() : !*frame ? "nothing" : "a pointer update";
    std::fprintf(stderr, "the change gave no frame: %s\n", why.c_str());
    state.SkipWithError("the change gave no frame");
    return std::nullopt;
  }
  return std::move(**frame);
}

// A 100 × 100 change before each call; the painting is not timed.
void BM_DuplicationSmallChange(benchmark::State& state) {
  NullLogger log;
  SystemClock clock;
  ScreenPainter painter;
  if (!painter) {
    state.SkipWithError("no X display to paint on");
    return;
  }
  std::optional<DesktopDuplicator> duplicator = duplicating(state, log, clock);
  if (!duplicator) return;
  for (auto _ : state) {
    state.PauseTiming();
    painter.change_square();
    state.ResumeTiming();
    std::optional<CapturedFrame> frame = capture_change(state, *duplicator);
    if (!frame) return;
    benchmark::DoNotOptimize(frame->pixels.data());
  }
}

// The X backend's own part of a small change: wait for the damage, take the
// rectangles, copy them into the persistent image (no full-frame copies).
void BM_DuplicationSmallChangeBackendOnly(benchmark::State& state) {
  std::unique_ptr<CapturePlatform> platform = make_capture_platform();
  ScreenPainter painter;
  Result<std::unique_ptr<CaptureFactory>> factory = platform->create_factory();
  if (!factory || !painter) {
    std::fprintf(stderr, "no X display\n");
    state.SkipWithError("no X display");
    return;
  }
  std::unique_ptr<CaptureAdapter> adapter = (*factory)->enum_adapter(0);
  if (!adapter || !adapter->create_device() || !adapter->open_output(0) || !adapter->duplicate_output()) {
    state.SkipWithError("no duplication on this display");
    return;
  }
  Result<OutputDescription> output = adapter->output_description();
  Result<std::unique_ptr<DuplicationSession>> session =
      adapter->create_session(static_cast<std::uint32_t>(output->desktop_coordinates.right),
                              static_cast<std::uint32_t>(output->desktop_coordinates.bottom));
  if (!session) {
    state.SkipWithError("no session");
    return;
  }
  DuplicationSession& s = **session;
  (void)s.acquire_next_frame(8);  // the first, whole-screen frame
  std::vector<Rect> rects(32);
  for (auto _ : state) {
    state.PauseTiming();
    painter.change_square();
    state.ResumeTiming();
    Result<std::optional<AcquiredFrameInfo>> info = s.acquire_next_frame(100);
    for (int tries = 0; tries < 50 && info && (!*info || (*info)->accumulated_frames == 0); ++tries) {
      s.release_frame();
      info = s.acquire_next_frame(100);
    }
    if (!info || !*info || (*info)->accumulated_frames == 0) {
      std::fprintf(stderr, "the change gave no frame\n");
      state.SkipWithError("the change gave no frame");
      return;
    }
    const RectQuery answer = s.frame_dirty_rects(rects);
    (void)s.open_frame_image();
    for (std::uint32_t i = 0; i < answer.required_bytes / sizeof(Rect) && i < rects.size(); ++i) {
      s.copy_to_staging(rects[i]);
    }
    s.release_frame();
    benchmark::DoNotOptimize(s.map_staging());
  }
}

// What a change costs from the screen to the encoder's planes: the
// duplicator's capture (its kept image takes the changed rectangles) and the
// I420 conversion of the changed blocks (the planes are kept too). A 648 x 40
// line of text against the whole screen changing; the painting is not timed.
void BM_ChangeToPlanes(benchmark::State& state) {
  const auto width = static_cast<unsigned>(state.range(0));
  const auto height = static_cast<unsigned>(state.range(1));
  NullLogger log;
  SystemClock clock;
  ScreenPainter painter;
  if (!painter) {
    state.SkipWithError("no X display to paint on");
    return;
  }
  std::optional<DesktopDuplicator> duplicator = duplicating(state, log, clock);
  if (!duplicator) return;
  const std::uint32_t w = duplicator->width(), h = duplicator->height();
  std::vector<std::uint8_t> y(i420_luma_size(w, h)), u(i420_chroma_size(w, h)), v(i420_chroma_size(w, h));
  bool whole = true;  // the first conversion fills the planes
  for (auto _ : state) {
    state.PauseTiming();
    painter.change(640, 500, width, height);
    state.ResumeTiming();
    std::optional<CapturedFrame> frame = capture_change(state, *duplicator);
    if (!frame) return;
    if (std::exchange(whole, false)) {
      bgra_to_i420(frame->pixels, w, h, y, u, v);
    } else {
      bgra_to_i420(frame->pixels, w, h, frame->dirty_rects, y, u, v);
    }
    benchmark::DoNotOptimize(y.data());
  }
}

void BM_GdiOnlyHash(benchmark::State& state) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
  for (auto _ : state) benchmark::DoNotOptimize(gdi_frame_hash(frame));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBytes));
}

// Fixed counts: on a shared machine the iteration estimate can differ between
// repetitions, which the statistics do not accept.
BENCHMARK(BM_MemcpyFrame)->Iterations(300)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) { halvorine::bench::repeated(b, 5); });
BENCHMARK(BM_FullCapture)->Iterations(200)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) { halvorine::bench::repeated(b, 5); });
BENCHMARK(BM_DuplicationUnchanged)->Iterations(60)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});
BENCHMARK(BM_DuplicationSmallChange)->Iterations(200)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});
BENCHMARK(BM_DuplicationSmallChangeBackendOnly)->Iterations(300)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});
BENCHMARK(BM_ChangeToPlanes)->Args({648, 40})->Args({1920, 1080})->Iterations(100)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});
BENCHMARK(BM_GdiOnlyHash)->Iterations(100)->Unit(benchmark::kMicrosecond)->Apply([](auto* b) { halvorine::bench::repeated(b, 5); });

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorine::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  using Clock = halvorine::bench::RatioReporter::Clock;
  std::printf("\nRatios (1920 x 1080 frames of 8 294 400 bytes):\n");
  reporter.print_ratio("full capture vs memcpy of the frame", "BM_FullCapture/iterations:200/repeats:5", "BM_MemcpyFrame/iterations:300/repeats:5");
  reporter.print_ratio("duplication, unchanged screen vs full capture (cpu)", "BM_DuplicationUnchanged/iterations:60/repeats:5",
                       "BM_FullCapture/iterations:200/repeats:5", Clock::cpu);
  reporter.print_ratio("duplication, 100x100 change vs full capture", "BM_DuplicationSmallChange/iterations:200/repeats:5",
                       "BM_FullCapture/iterations:200/repeats:5");
  reporter.print_ratio("duplication, 100x100 change vs full capture (cpu)", "BM_DuplicationSmallChange/iterations:200/repeats:5",
                       "BM_FullCapture/iterations:200/repeats:5", Clock::cpu);
  reporter.print_ratio("X backend part of a 100x100 change vs full capture",
                       "BM_DuplicationSmallChangeBackendOnly/iterations:300/repeats:5", "BM_FullCapture/iterations:200/repeats:5");
  reporter.print_ratio("a 648x40 change vs the whole screen changing, capture to I420 planes",
                       "BM_ChangeToPlanes/648/40/iterations:100/repeats:5",
                       "BM_ChangeToPlanes/1920/1080/iterations:100/repeats:5");
  reporter.print_ratio("GDI-only hash vs memcpy of the frame", "BM_GdiOnlyHash/iterations:100/repeats:5", "BM_MemcpyFrame/iterations:300/repeats:5");
  if (const auto seconds = reporter.seconds("BM_FullCapture/iterations:200/repeats:5")) {
    std::printf("  full captures per second: %.1f\n", 1.0 / *seconds);
  }
  benchmark::Shutdown();
  return 0;
}
