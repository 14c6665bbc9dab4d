// BGRA → I420/NV12 conversion speed against libyuv's ARGBToI420 (the speed
// reference; its arithmetic differs from ours) and against a memcpy of the
// source frame, single thread, with the frame in cache ("hot") and not
// ("cold": a ring of frames several times the size of the last-level cache).
// Also the NV12 parallel loop on one and two threads, and the conversion that
// scales a screen too large for the encoders (5120x1440 to 3840x1080) within
// its pass, against libyuv scaling (box filter) and then converting.
#include <benchmark/benchmark.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratios.h"
#include "desktop_frames.h"
#include "encoder/color_conversion.h"
#include "encoder/conversion_kernels.h"
#include "encoder/frame_scaler.h"
#include "encoder/parallel_pool.h"

namespace {

using halvorine::ParallelPool;
using halvorine::conversion::Level;

constexpr std::size_t kColdBytes = 256u << 20;  // well beyond a 32 MiB L3

struct Size {
  std::uint32_t width, height;
  std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

// Source frames and I420/NV12 destinations; one slot when hot, a ring when cold.
struct Frames {
  Frames(Size size, bool cold) : size(size) {
    const std::size_t source = std::size_t{size.width} * size.height * 4;
    const std::size_t slots = cold ? std::max<std::size_t>(4, kColdBytes / (source * 2)) : 1;
    std::vector<std::uint8_t> picture(source);
    halvorine::testing::DesktopPainter(picture, size.width, size.height).paint();
    for (std::size_t i = 0; i < slots; ++i) {
      bgra.push_back(picture);
      copy.emplace_back(source, 1);
      y.emplace_back(halvorine::i420_luma_size(size.width, size.height), 1);
      u.emplace_back(halvorine::i420_chroma_size(size.width, size.height), 1);
      v.emplace_back(halvorine::i420_chroma_size(size.width, size.height), 1);
      nv12.emplace_back(halvorine::nv12_size(size.width, size.height), 1);
    }
  }
  std::size_t next() { return slot = (slot + 1) % bgra.size(); }

  Size size;
  std::size_t slot = 0;
  std::vector<std::vector<std::uint8_t>> bgra, copy, y, u, v, nv12;
};

void set_bytes(benchmark::State& state, const Frames& f) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * f.size.width *
                          f.size.height * 4);
}

void register_all(std::vector<std::string>& sizes_and_caches, ParallelPool& one,
                  ParallelPool& two) {
  for (Size size : {Size{1920, 1080}, Size{3840, 2160}}) {
    for (bool cold : {false, true}) {
      const std::string suffix = "/" + size.name() + (cold ? "/cold" : "/hot");
      sizes_and_caches.push_back(suffix + "/repeats:7/real_time");
      auto frames = std::make_shared<Frames>(size, cold);

      halvorine::bench::repeated(benchmark::RegisterBenchmark(
                                     ("memcpy" + suffix).c_str(),
                                     [frames](benchmark::State& state) {
                                       for (auto _ : state) {
                                         const std::size_t i = frames->next();
                                         std::memcpy(frames->copy[i].data(), frames->bgra[i].data(),
                                                     frames->bgra[i].size());
                                         benchmark::ClobberMemory();
                                       }
                                       set_bytes(state, *frames);
                                     }))
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();

      halvorine::bench::repeated(
          benchmark::RegisterBenchmark(
              ("libyuv_ARGBToI420" + suffix).c_str(),
              [frames](benchmark::State& state) {
                const int w = static_cast<int>(frames->size.width),
                          h = static_cast<int>(frames->size.height);
                for (auto _ : state) {
                  const std::size_t i = frames->next();
                  libyuv::ARGBToI420(frames->bgra[i].data(), w * 4, frames->y[i].data(), w,
                                     frames->u[i].data(), w / 2, frames->v[i].data(), w / 2, w, h);
                  benchmark::ClobberMemory();
                }
                set_bytes(state, *frames);
              }))
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();

      for (Level level : {Level::scalar, Level::sse2, Level::avx2}) {
        const auto* kernels = halvorine::conversion::kernels_for(level);
        if (kernels == nullptr) continue;
        const std::string name(halvorine::conversion::level_name(level));
        halvorine::bench::repeated(
            benchmark::RegisterBenchmark(("i420_" + name + suffix).c_str(),
                                         [frames, kernels](benchmark::State& state) {
                                           for (auto _ : state) {
                                             const std::size_t i = frames->next();
                                             halvorine::conversion::bgra_to_i420(
                                                 *kernels, frames->bgra[i], frames->size.width,
                                                 frames->size.height, frames->y[i], frames->u[i],
                                                 frames->v[i]);
                                             benchmark::ClobberMemory();
                                           }
                                           set_bytes(state, *frames);
                                         }))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
      }

      const auto* best = halvorine::conversion::kernels_for(halvorine::conversion::best_level());
      for (ParallelPool* pool : {&one, &two}) {
        const std::string name = "nv12_threads" + std::to_string(pool->thread_count());
        halvorine::bench::repeated(
            benchmark::RegisterBenchmark((name + suffix).c_str(),
                                         [frames, best, pool](benchmark::State& state) {
                                           for (auto _ : state) {
                                             const std::size_t i = frames->next();
                                             halvorine::conversion::bgra_to_nv12(
                                                 *best, frames->bgra[i], frames->size.width,
                                                 frames->size.height, frames->nv12[i], *pool);
                                             benchmark::ClobberMemory();
                                           }
                                           set_bytes(state, *frames);
                                         }))
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
      }
    }
  }
}

// 5120x1440 to NV12 at 3840x1080 on two threads: ours in one pass, libyuv in
// two (ARGBScale with its box filter into a frame, then ARGBToNV12).
void register_scaled(ParallelPool& two) {
  const halvorine::FrameSize source{5120, 1440}, target{3840, 1080};
  auto bgra = std::make_shared<std::vector<std::uint8_t>>(std::size_t{source.width} * source.height * 4);
  halvorine::testing::DesktopPainter(*bgra, source.width, source.height).paint();
  auto scaler = std::make_shared<halvorine::FrameScaler>(source, target);
  auto nv12 = std::make_shared<std::vector<std::uint8_t>>(halvorine::nv12_size(target.width, target.height));
  auto scaled = std::make_shared<std::vector<std::uint8_t>>(std::size_t{target.width} * target.height * 4);
  halvorine::bench::repeated(benchmark::RegisterBenchmark(
                                 "nv12_scaled_threads2/5120x1440",
                                 [=, &two](benchmark::State& state) {
                                   for (auto _ : state) {
                                     halvorine::bgra_to_nv12(*scaler, *bgra, *nv12, two);
                                     benchmark::ClobberMemory();
                                   }
                                 }))
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  halvorine::bench::repeated(
      benchmark::RegisterBenchmark(
          "libyuv_ARGBScale_box_ARGBToNV12/5120x1440",
          [=](benchmark::State& state) {
            const int tw = static_cast<int>(target.width), th = static_cast<int>(target.height);
            for (auto _ : state) {
              libyuv::ARGBScale(bgra->data(), static_cast<int>(source.width) * 4, static_cast<int>(source.width),
                                static_cast<int>(source.height), scaled->data(), tw * 4, tw, th, libyuv::kFilterBox);
              libyuv::ARGBToNV12(scaled->data(), tw * 4, nv12->data(), tw, nv12->data() + std::size_t(tw) * th, tw,
                                 tw, th);
              benchmark::ClobberMemory();
            }
          }))
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ParallelPool one(1), two(2);
  std::vector<std::string> cases;
  register_all(cases, one, two);
  register_scaled(two);
  halvorine::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  using Clock = halvorine::bench::RatioReporter::Clock;
  const std::string best(halvorine::conversion::level_name(halvorine::conversion::best_level()));
  std::printf(
      "\nRatios of time per frame, fastest of 7 repetitions each (goal: i420 <= 0.6 x libyuv "
      "and <= 1.0 x memcpy).\nSingle-threaded cases compare CPU time (the machine is "
      "shared), the NV12 thread cases real time.\n");
  for (const std::string& c : cases) {
    const std::string where = c.substr(0, c.find("/repeats"));
    std::printf("%s\n", where.c_str());
    for (const char* level : {"scalar", "sse2", "avx2"}) {
      reporter.print_ratio(std::string("i420 ") + level + " / libyuv ARGBToI420",
                           std::string("i420_") + level + c, "libyuv_ARGBToI420" + c, Clock::cpu);
      reporter.print_ratio(std::string("i420 ") + level + " / memcpy of the source",
                           std::string("i420_") + level + c, "memcpy" + c, Clock::cpu);
    }
    reporter.print_ratio("nv12 on 1 thread (" + best + ") / i420 " + best, "nv12_threads1" + c,
                         "i420_" + best + c);
    reporter.print_ratio("nv12 speed-up: 1 thread / 2 threads", "nv12_threads1" + c,
                         "nv12_threads2" + c);
  }
  std::printf("5120x1440 scaled to 3840x1080 NV12\n");
  reporter.print_ratio("ours on 2 threads / libyuv box scale + convert on 1",
                       "nv12_scaled_threads2/5120x1440/repeats:7/real_time",
                       "libyuv_ARGBScale_box_ARGBToNV12/5120x1440/repeats:7/real_time");
  benchmark::Shutdown();
  return 0;
}
