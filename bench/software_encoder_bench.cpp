// Software encoding at 1920×1080 of a desktop-like picture: with a small
// region changing each frame, and with the whole picture changing. Reports
// milliseconds and bytes per frame, the raw OpenH264 time on the same frames
// already in I420, and our wrapper's cost (conversion plus output assembly)
// as a share of the whole encode; and OpenH264's camera usage type beside the
// screen-content type the stream uses (time and bytes, for a later decision).
#include <benchmark/benchmark.h>
#include <wels/codec_api.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_ratios.h"
#include "desktop_frames.h"
#include "encoder/color_conversion.h"
#include "encoder/software_encoder.h"

namespace {

using halvorine::SoftwareEncoder;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;
constexpr std::size_t kRing = 12;  // distinct frames, played in a loop

class NullLogger final : public halvorine::Logger {
 public:
  void log(std::string_view) override {}
};

struct Clip {
  explicit Clip(bool full_change) {
    std::vector<std::uint8_t> picture(std::size_t{kWidth} * kHeight * 4);
    halvorine::testing::DesktopPainter painter(picture, kWidth, kHeight);
    painter.paint();
    for (std::uint32_t i = 0; i < kRing; ++i) {
      if (full_change) painter.paint(i * 3);
      painter.type_line(i);
      bgra.push_back(picture);
      y.emplace_back(halvorine::i420_luma_size(kWidth, kHeight));
      u.emplace_back(halvorine::i420_chroma_size(kWidth, kHeight));
      v.emplace_back(halvorine::i420_chroma_size(kWidth, kHeight));
      halvorine::bgra_to_i420(bgra.back(), kWidth, kHeight, y.back(), u.back(), v.back());
    }
  }
  std::vector<std::vector<std::uint8_t>> bgra, y, u, v;
};

SoftwareEncoder make_encoder() {
  NullLogger log;
  auto encoder = SoftwareEncoder::create(kWidth, kHeight, 30, 6000, log);
  if (!encoder) {
    std::fprintf(stderr, "%s\n", encoder.error().text().c_str());
    std::exit(1);
  }
  return std::move(*encoder);
}

// Every frame after the first; with `every_frame_idr` each one is forced to an IDR.
void encode_frames(benchmark::State& state, const Clip& clip, bool every_frame_idr) {
  SoftwareEncoder encoder = make_encoder();
  (void)encoder.encode(clip.bgra[0]);  // the IDR with the parameter sets
  std::size_t frame = 1, bytes = 0;
  for (auto _ : state) {
    if (every_frame_idr) encoder.force_key_frame();
    auto out = encoder.encode(clip.bgra[frame++ % kRing]);
    if (!out) {
      state.SkipWithError(out.error().text().c_str());
      return;
    }
    bytes += out->size();
  }
  state.counters["bytes_per_frame"] =
      benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

void encode(benchmark::State& state, const Clip& clip) { encode_frames(state, clip, false); }

void encode_idr(benchmark::State& state, const Clip& clip) { encode_frames(state, clip, true); }

// The library alone on the same frames, already converted, same settings.
void raw_openh264(benchmark::State& state, const Clip& clip) {
  SoftwareEncoder encoder = make_encoder();
  (void)encoder.encode(clip.bgra[0]);
  ISVCEncoder& library = encoder.instance();
  SSourcePicture picture;
  std::memset(&picture, 0, sizeof picture);
  picture.iColorFormat = videoFormatI420;
  picture.iStride[0] = kWidth;
  picture.iStride[1] = picture.iStride[2] = kWidth / 2;
  picture.iPicWidth = kWidth;
  picture.iPicHeight = kHeight;
  SFrameBSInfo info;
  std::size_t frame = 1;
  for (auto _ : state) {
    const std::size_t i = frame++ % kRing;
    picture.pData[0] = const_cast<std::uint8_t*>(clip.y[i].data());
    picture.pData[1] = const_cast<std::uint8_t*>(clip.u[i].data());
    picture.pData[2] = const_cast<std::uint8_t*>(clip.v[i].data());
    std::memset(&info, 0, sizeof info);
    if (library.EncodeFrame(&picture, &info) != 0) {
      state.SkipWithError("EncodeFrame failed");
      return;
    }
    benchmark::DoNotOptimize(info.iFrameSizeInBytes);
  }
}

// For comparison only: the same settings but two slices, which lets the
// library use two threads (with one slice it settles on one thread); or the
// camera usage type in place of screen content, which skips the screen
// preprocessing of the whole picture (faster on a small change) but codes
// screen content less well (bytes per frame counted).
void raw_openh264_with(benchmark::State& state, const Clip& clip, EUsageType usage, int slices) {
  ISVCEncoder* library = nullptr;
  if (WelsCreateSVCEncoder(&library) != 0 || library == nullptr) {
    state.SkipWithError("WelsCreateSVCEncoder failed");
    return;
  }
  int quiet = WELS_LOG_QUIET;
  library->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  SEncParamExt params;
  std::memset(&params, 0, sizeof params);
  library->GetDefaultParams(&params);
  params.iUsageType = usage;
  params.iPicWidth = kWidth;
  params.iPicHeight = kHeight;
  params.iTargetBitrate = 6000000;
  params.iRCMode = RC_QUALITY_MODE;
  params.fMaxFrameRate = 20;
  params.eSpsPpsIdStrategy = CONSTANT_ID;
  params.bEnableFrameSkip = false;
  params.iMultipleThreadIdc = 2;
  params.bEnableDenoise = false;
  if (slices > 1) {
    params.sSpatialLayers[0].sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
    params.sSpatialLayers[0].sSliceArgument.uiSliceNum = static_cast<unsigned>(slices);
  } else {
    params.iMultipleThreadIdc = 1;
  }
  if (library->InitializeExt(&params) != 0) {
    WelsDestroySVCEncoder(library);
    state.SkipWithError("InitializeExt failed");
    return;
  }
  SSourcePicture picture;
  std::memset(&picture, 0, sizeof picture);
  picture.iColorFormat = videoFormatI420;
  picture.iStride[0] = kWidth;
  picture.iStride[1] = picture.iStride[2] = kWidth / 2;
  picture.iPicWidth = kWidth;
  picture.iPicHeight = kHeight;
  SFrameBSInfo info;
  std::size_t frame = 0, bytes = 0;
  bool first = true;  // the IDR, outside the measurement
  for (;;) {
    if (!first && !state.KeepRunning()) break;
    if (!first) bytes += static_cast<std::size_t>(std::max(info.iFrameSizeInBytes, 0));
    const std::size_t i = frame++ % kRing;
    picture.pData[0] = const_cast<std::uint8_t*>(clip.y[i].data());
    picture.pData[1] = const_cast<std::uint8_t*>(clip.u[i].data());
    picture.pData[2] = const_cast<std::uint8_t*>(clip.v[i].data());
    first = false;
    std::memset(&info, 0, sizeof info);
    if (library->EncodeFrame(&picture, &info) != 0) {
      state.SkipWithError("EncodeFrame failed");
      break;
    }
  }
  library->Uninitialize();
  WelsDestroySVCEncoder(library);
  state.counters["bytes_per_frame"] =
      benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

// Our wrapper's own work per frame: the conversion, of a frame still in
// cache (just written by the capture) or of one that is not ...
void wrapper_conversion(benchmark::State& state, const Clip& clip, bool cold) {
  std::vector<std::uint8_t> y(clip.y[0].size()), u(clip.u[0].size()), v(clip.v[0].size());
  std::size_t frame = 0;
  for (auto _ : state) {
    halvorine::bgra_to_i420(clip.bgra[cold ? frame++ % kRing : 0], kWidth, kHeight, y, u, v);
    benchmark::ClobberMemory();
  }
}

// ... and the output assembly: a fresh buffer with the access unit's bytes.
void wrapper_assembly(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> library_buffer(bytes, 7);
  for (auto _ : state) {
    halvorine::EncodedFrame out;
    out.reserve(bytes);
    out.insert(out.end(), library_buffer.begin(), library_buffer.end());
    benchmark::DoNotOptimize(out.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const Clip small(false), full(true);
  for (const auto& [name, clip] :
       {std::pair{"small_change", &small}, std::pair{"full_change", &full}}) {
    const std::string n = name;
    halvorine::bench::repeated(
        benchmark::RegisterBenchmark(("encode/" + n).c_str(),
                                     [clip](benchmark::State& s) { encode(s, *clip); }),
        3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
    halvorine::bench::repeated(
        benchmark::RegisterBenchmark(("raw_openh264/" + n).c_str(),
                                     [clip](benchmark::State& s) { raw_openh264(s, *clip); }),
        3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
  }
  halvorine::bench::repeated(
      benchmark::RegisterBenchmark("encode_idr/full_change",
                                   [&](benchmark::State& s) { encode_idr(s, full); }),
      3)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(2.0);
  for (bool cold : {false, true}) {
    halvorine::bench::repeated(
        benchmark::RegisterBenchmark(
            cold ? "wrapper_conversion/cold" : "wrapper_conversion/hot",
            [&, cold](benchmark::State& s) { wrapper_conversion(s, full, cold); }))
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  halvorine::bench::repeated(
      benchmark::RegisterBenchmark("raw_openh264_2_slices/small_change",
                                   [&](benchmark::State& s) { raw_openh264_with(s, small, SCREEN_CONTENT_REAL_TIME, 2); }),
      3)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(2.0);
  for (const auto& [usage, usage_name] :
       {std::pair{SCREEN_CONTENT_REAL_TIME, "screen"}, std::pair{CAMERA_VIDEO_REAL_TIME, "camera"}}) {
    for (const auto& [name, clip] : {std::pair{"small_change", &small}, std::pair{"full_change", &full}}) {
      halvorine::bench::repeated(
          benchmark::RegisterBenchmark((std::string("usage_") + usage_name + "/" + name).c_str(),
                                       [clip, usage](benchmark::State& s) { raw_openh264_with(s, *clip, usage, 1); }),
          3)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(2.0);
    }
  }
  // Assembly of a typical changed frame and of a large IDR.
  halvorine::bench::repeated(benchmark::RegisterBenchmark("wrapper_assembly", wrapper_assembly))
      ->Arg(64 << 10)
      ->Arg(512 << 10)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();

  halvorine::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nFastest of the repetitions (goal: wrapper under 3%% of the encode):\n");
  for (const char* name : {"encode/small_change", "encode/full_change", "encode_idr/full_change"}) {
    const std::string full_name = std::string(name) + "/min_time:2.000/repeats:3/real_time";
    const auto t = reporter.seconds(full_name);
    const auto bytes = reporter.counter(full_name, "bytes_per_frame");
    if (t && bytes)
      std::printf("  %-40s %8.2f ms/frame %10.0f bytes/frame\n", name, *t * 1e3, *bytes);
  }
  std::printf("\nOpenH264 usage type, one thread, frames already in I420 (the stream keeps screen content):\n");
  for (const char* clip : {"small_change", "full_change"}) {
    for (const char* usage : {"screen", "camera"}) {
      const std::string full_name =
          std::string("usage_") + usage + "/" + clip + "/min_time:2.000/repeats:3/real_time";
      const auto t = reporter.seconds(full_name);
      const auto bytes = reporter.counter(full_name, "bytes_per_frame");
      if (t && bytes) std::printf("  %-7s %-13s %8.2f ms/frame %10.0f bytes/frame\n", usage, clip, *t * 1e3, *bytes);
    }
  }
  for (const char* clip : {"small_change", "full_change"}) {
    const std::string c = clip;
    reporter.print_ratio("encode / raw OpenH264 (for scale; frame times vary) " + c,
                         "encode/" + c + "/min_time:2.000/repeats:3/real_time",
                         "raw_openh264/" + c + "/min_time:2.000/repeats:3/real_time");
    const auto encode_s = reporter.seconds("encode/" + c + "/min_time:2.000/repeats:3/real_time");
    const auto bytes =
        reporter.counter("encode/" + c + "/min_time:2.000/repeats:3/real_time", "bytes_per_frame");
    const auto assemble_s =
        reporter.seconds((bytes && *bytes > 300e3) ? "wrapper_assembly/524288/repeats:7/real_time"
                                                   : "wrapper_assembly/65536/repeats:7/real_time");
    for (const char* cache : {"hot", "cold"}) {
      const auto convert_s =
          reporter.seconds(std::string("wrapper_conversion/") + cache + "/repeats:7/real_time");
      if (!encode_s || !convert_s || !assemble_s) continue;
      std::printf(
          "  wrapper share of encode, %-12s frame %-4s in cache  %7.3f%%  (conversion %.3f ms + "
          "assembly %.3f ms of %.2f ms)\n",
          c.c_str(), cache, 100 * (*convert_s + *assemble_s) / *encode_s, *convert_s * 1e3,
          *assemble_s * 1e3, *encode_s * 1e3);
    }
  }
  reporter.print_ratio("raw OpenH264 with 2 slices vs 1 slice, small_change",
                       "raw_openh264_2_slices/small_change/min_time:2.000/repeats:3/real_time",
                       "raw_openh264/small_change/min_time:2.000/repeats:3/real_time");
  benchmark::Shutdown();
  return 0;
}
