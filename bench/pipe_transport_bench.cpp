// Pipe transport speed, each against a reference in the same run:
// - the input decoder's messages per second against a plain memcpy of the
//   same bytes (a realistic mix: mostly mouse moves, some keys and clicks);
// - the secure-video writer (the real one, on the real Unix-socket pipe)
//   for 50 KB and 1 MB frames against a raw socket loop that writes the
//   same length fields and frames to a reader thread.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratios.h"
#include "bin/worker/pipe/input_decoder.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_tasks.h"
#include "client_pipe.h"
#include "common/clock.h"
#include "common/logger.h"

namespace {

using namespace halvorine;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMessages = 10'000;
constexpr std::size_t kFramesPerBatch = 8;  // the video channel's capacity

class NullLogger final : public Logger {
 public:
  void log(std::string_view) override {}
};

Bytes input_stream() {
  Bytes stream;
  for (std::size_t i = 0; i < kMessages; ++i) {
    if (i % 10 == 9) {
      const std::string name = i % 20 == 9 ? "KeyA" : "ShiftLeft";
      stream.insert(stream.end(), {0x02, static_cast<std::uint8_t>(i % 2), 0x00,
                                   static_cast<std::uint8_t>(name.size())});
      stream.insert(stream.end(), name.begin(), name.end());
    } else {
      const auto x = static_cast<std::uint16_t>(i * 37), y = static_cast<std::uint16_t>(i * 11);
      const std::uint8_t button = i % 50 == 0 ? 1 : 0;
      stream.insert(stream.end(), {0x01, static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x),
                                   static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(y),
                                   button, 0, 0, 0});
    }
  }
  return stream;
}

// Decodes in 4096-byte reads, as the server does.
void BM_DecodeInput(benchmark::State& state) {
  const Bytes stream = input_stream();
  std::size_t events = 0;
  for (auto _ : state) {
    InputDecoder decoder;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
      std::span<const std::uint8_t> input(stream.data() + at, std::min<std::size_t>(4096, stream.size() - at));
      for (;;) {
        const auto outcome = decoder.feed(input);
        if (outcome != InputDecoder::Outcome::event) break;
        InputEvent event = std::move(decoder.event());
        benchmark::DoNotOptimize(event);
        ++events;
      }
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kMessages));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  if (events != state.iterations() * kMessages) state.SkipWithError("lost events");
}

void BM_MemcpyInput(benchmark::State& state) {
  const Bytes stream = input_stream();
  Bytes copy(stream.size());
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
      std::memcpy(copy.data() + at, stream.data() + at, std::min<std::size_t>(4096, stream.size() - at));
    }
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kMessages));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

// Counts what arrives on a client end until told to stop.
class Reader {
 public:
  explicit Reader(client::ClientPipe& pipe)
      : thread_([this, &pipe] {
          std::vector<std::uint8_t> buffer(1 << 18);
          for (;;) {
            const auto read = pipe.read_some(buffer);
            if (!read || *read == 0) break;
            received_.fetch_add(*read, std::memory_order_release);
          }
        }) {}
  ~Reader() { thread_.join(); }
  void wait_for(std::size_t total) const {
    while (received_.load(std::memory_order_acquire) < total) std::this_thread::yield();
  }
  std::size_t received() const { return received_.load(); }

 private:
  std::atomic<std::size_t> received_ = 0;
  std::thread thread_;
};

void BM_VideoPipeWriter(benchmark::State& state) {
  const auto frame_size = static_cast<std::size_t>(state.range(0));
  const auto dir = std::filesystem::temp_directory_path() / ("halvorine-bench-" + std::to_string(::getpid()));
  ::setenv("HALVORINE_PIPE_DIR", dir.c_str(), 1);
  NullLogger log;
  auto [sender, receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  std::optional<VideoSender> frames(std::move(sender));
  asio::io_context runtime(1);
  KeyFrameRequest key_frames;
  const SystemClock clock;
  asio::co_spawn(runtime, run_video_pipe_server(log, clock, std::move(receiver), key_frames), asio::detached);
  std::thread serving([&] { runtime.run(); });
  std::unique_ptr<client::ClientPipe> pipe;
  for (int attempt = 0; !pipe && attempt < 5000; ++attempt) {
    if (auto opened = client::open_client_pipe(pipe_path(kVideoPipeName))) {
      pipe = std::move(*opened);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (!pipe) {
    state.SkipWithError("no video pipe");
  } else {
    std::optional<Reader> reader(std::in_place, *pipe);
    const Bytes source(frame_size, 0x5A);
    std::vector<EncodedFrame> batch;
    std::size_t expected = 0;
    // The writer drains stale frames on connect: wait until it is streaming,
    // then answer its key-frame request as the capture thread would.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    key_frames.take(0);
    for (auto _ : state) {
      state.PauseTiming();
      batch.assign(kFramesPerBatch, source);  // the producer's copies, not timed
      state.ResumeTiming();
      for (auto& frame : batch) {
        if (frames->try_send(std::move(frame)) != TrySendResult::sent) state.SkipWithError("frame dropped");
      }
      expected += kFramesPerBatch * (frame_size + 4);
      reader->wait_for(expected);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(expected));
    frames.reset();  // the writer ends and closes the pipe: the reader sees the end
    reader.reset();
  }
  frames.reset();
  serving.join();
  std::filesystem::remove_all(dir);
}

void BM_RawSocketWriteLoop(benchmark::State& state) {
  const auto frame_size = static_cast<std::size_t>(state.range(0));
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  class FdPipe final : public client::ClientPipe {
   public:
    explicit FdPipe(int fd) : fd_(fd) {}
    Result<void> write_all(std::span<const std::uint8_t>) override { return std::unexpected(Error::os(EBADF)); }
    Result<std::size_t> read_some(std::span<std::uint8_t> buffer) override {
      const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
      if (got < 0) return std::unexpected(Error::last_os());
      return static_cast<std::size_t>(got);
    }
   private:
    int fd_;
  } read_end(fds[1]);
  {
    Reader reader(read_end);
    const Bytes source(frame_size, 0x5A);
    std::vector<Bytes> batch;
    std::size_t expected = 0;
    for (auto _ : state) {
      state.PauseTiming();
      batch.assign(kFramesPerBatch, source);
      state.ResumeTiming();
      for (const auto& frame : batch) {
        const std::uint32_t length = static_cast<std::uint32_t>(frame.size());
        std::uint8_t header[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
        iovec parts[2] = {{header, 4}, {const_cast<std::uint8_t*>(frame.data()), frame.size()}};
        std::size_t left = 4 + frame.size();
        while (left > 0) {
          const ssize_t sent = ::writev(fds[0], parts, 2);
          if (sent <= 0) break;
          left -= static_cast<std::size_t>(sent);
          // Advance the two parts past what was sent.
          std::size_t done = static_cast<std::size_t>(sent);
          for (auto& part : parts) {
            const std::size_t take = std::min(done, part.iov_len);
            part.iov_base = static_cast<std::uint8_t*>(part.iov_base) + take;
            part.iov_len -= take;
            done -= take;
          }
        }
      }
      expected += kFramesPerBatch * (frame_size + 4);
      reader.wait_for(expected);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(expected));
    ::shutdown(fds[0], SHUT_WR);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace

BENCHMARK(BM_DecodeInput)->Apply([](auto* b) { halvorine::bench::repeated(b, 5); });
BENCHMARK(BM_MemcpyInput)->Apply([](auto* b) { halvorine::bench::repeated(b, 5); });
BENCHMARK(BM_VideoPipeWriter)->Arg(50 * 1000)->Arg(1000 * 1000)->UseRealTime()->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});
BENCHMARK(BM_RawSocketWriteLoop)->Arg(50 * 1000)->Arg(1000 * 1000)->UseRealTime()->Apply([](auto* b) {
  halvorine::bench::repeated(b, 5);
});

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorine::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (time per batch; decoder: %zu messages, video: %zu frames):\n", kMessages,
              kFramesPerBatch);
  reporter.print_ratio("input decoder vs memcpy of the same bytes", "BM_DecodeInput/repeats:5",
                       "BM_MemcpyInput/repeats:5");
  reporter.print_ratio("video writer vs raw socket loop, 50 KB frames",
                       "BM_VideoPipeWriter/50000/repeats:5/real_time",
                       "BM_RawSocketWriteLoop/50000/repeats:5/real_time");
  reporter.print_ratio("video writer vs raw socket loop, 1 MB frames",
                       "BM_VideoPipeWriter/1000000/repeats:5/real_time",
                       "BM_RawSocketWriteLoop/1000000/repeats:5/real_time");
  benchmark::Shutdown();
  return 0;
}
