// The input path: events per second through decode, channel and injection
// (a counting sink in place of SendInput, a desktop API that always reports
// the same desktop), against the channel alone as the reference; the same
// through the real input pipe server on a Unix socket; and the latency from a
// client's write to the sink call under a steady 10 000 events per second.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratios.h"
#include "bin/worker/inject/injection_thread.h"
#include "bin/worker/pipe/input_decoder.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_tasks.h"
#include "common/clock.h"
#include "common/logger.h"

namespace {

using namespace halvorine;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 100'000;

class NullLogger final : public Logger {
 public:
  void log(std::string_view) override {}
};

// One desktop named "Default", one active session whose user can be impersonated.
class SteadyDesktopApi final : public DesktopApi, public SessionApi {
 public:
  OwnedDesktop open_input_desktop() override { return OwnedDesktop(*this, 1); }
  bool read_desktop_name(const OwnedDesktop&, std::span<char16_t, kDesktopNameUnits> units) override {
    constexpr std::u16string_view kName = u"Default";
    std::copy(kName.begin(), kName.end(), units.begin());
    units[kName.size()] = u'\0';
    return true;
  }
  bool set_thread_desktop(const OwnedDesktop&) override { return true; }
  void close_desktop(std::uintptr_t) override {}
  std::optional<std::vector<SessionInfo>> enumerate_sessions() override {
    return std::vector<SessionInfo>{{1, SessionState::active}};
  }
  std::unique_ptr<UserToken> query_user_token(std::uint32_t) override { return std::make_unique<UserToken>(); }
  bool impersonate(const UserToken&) override { return true; }
  void revert_to_self() override {}
  std::uint32_t current_thread_id() override { return 1; }
};

// Counts calls; with a stamp table, stamps the arrival of each pure move by
// its sequence number (carried in x and y).
class CountingSink final : public InputSink {
 public:
  explicit CountingSink(std::vector<SteadyClock::time_point>* stamps = nullptr) : stamps_(stamps) {}
  SendOutcome send(std::span<const InputRecord> records) override {
    if (stamps_ && records.size() == 1 && records[0].type == InputType::mouse) {
      const auto sequence = static_cast<std::size_t>(records[0].mouse.dx) | (std::size_t(records[0].mouse.dy) << 16);
      if (sequence < stamps_->size()) (*stamps_)[sequence] = SteadyClock::now();
    }
    calls.fetch_add(1, std::memory_order_release);
    return {static_cast<std::uint32_t>(records.size()), 0};
  }
  bool is_down(std::uint16_t) override { return false; }
  std::atomic<std::size_t> calls{0};

 private:
  std::vector<SteadyClock::time_point>* stamps_;
};

void put_mouse(std::vector<std::uint8_t>& out, std::uint16_t x, std::uint16_t y, std::uint8_t button, bool pressed,
               std::int8_t scroll) {
  const std::uint8_t bytes[] = {0x01, std::uint8_t(x >> 8), std::uint8_t(x), std::uint8_t(y >> 8), std::uint8_t(y),
                                button, std::uint8_t(pressed), 0, std::uint8_t(scroll)};
  out.insert(out.end(), std::begin(bytes), std::end(bytes));
}

void put_key(std::vector<std::uint8_t>& out, std::string_view name, bool pressed) {
  out.insert(out.end(), {0x02, std::uint8_t(pressed), 0, std::uint8_t(name.size())});
  out.insert(out.end(), name.begin(), name.end());
}

// A desktop session's mix: mostly pointer moves, some clicks, some typing.
std::vector<std::uint8_t> session_bytes(std::size_t events) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < events; ++i) {
    const auto x = static_cast<std::uint16_t>(i * 37), y = static_cast<std::uint16_t>(i * 91);
    switch (i % 20) {
      case 5: put_mouse(bytes, x, y, 1, true, 0); break;
      case 6: put_mouse(bytes, x, y, 1, false, 0); break;
      case 10: put_key(bytes, "KeyA", true); break;
      case 11: put_key(bytes, "KeyA", false); break;
      case 15: put_mouse(bytes, x, y, 0, false, -1); break;
      default: put_mouse(bytes, x, y, 0, false, 0);
    }
  }
  return bytes;
}

std::vector<InputEvent> decoded(const std::vector<std::uint8_t>& bytes) {
  std::vector<InputEvent> events;
  InputDecoder decoder;
  std::span<const std::uint8_t> rest(bytes);
  while (!rest.empty() && decoder.feed(rest) == InputDecoder::Outcome::event) events.push_back(decoder.event());
  return events;
}

// Reference: the decoded events moved through the channel to a thread that only counts them.
void BM_ChannelOnly(benchmark::State& state) {
  const std::vector<InputEvent> events = decoded(session_bytes(kBatch));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<InputEvent> batch = events;
    auto [sender, receiver] = make_unbounded_channel<InputEvent>();
    state.ResumeTiming();
    std::thread consumer([receiver = std::move(receiver)]() mutable {
      std::size_t count = 0;
      while (auto event = receiver.receive()) benchmark::DoNotOptimize(++count);
    });
    for (InputEvent& event : batch) sender.send(std::move(event));
    { auto last = std::move(sender); }
    consumer.join();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_ChannelOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// Wire bytes decoded, sent through the channel, and injected by the injection thread.
void BM_DecodeChannelInject(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = session_bytes(kBatch);
  NullLogger log;
  const SystemClock clock;
  for (auto _ : state) {
    SteadyDesktopApi desktops;
    CountingSink sink;
    auto [sender, receiver] = make_unbounded_channel<InputEvent>();
    std::thread injection([&, receiver = std::move(receiver)]() mutable {
      run_injection_thread(std::move(receiver), desktops, desktops, sink, log, clock);
    });
    InputDecoder decoder;
    std::span<const std::uint8_t> rest(bytes);
    while (!rest.empty() && decoder.feed(rest) == InputDecoder::Outcome::event) sender.send(std::move(decoder.event()));
    { auto last = std::move(sender); }
    injection.join();
    if (sink.calls != kBatch) state.SkipWithError("events were lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_DecodeChannelInject)->Unit(benchmark::kMillisecond)->UseRealTime();

// The real input pipe server (Unix socket, Asio runtime thread) feeding the
// injection thread; the client is a plain socket in this process.
class PipeRig {
 public:
  explicit PipeRig(std::vector<SteadyClock::time_point>* stamps) : sink_(stamps) {
    char directory[] = "/tmp/halvorine-inject-bench.XXXXXX";
    if (!mkdtemp(directory)) std::abort();
    directory_ = directory;
    setenv("HALVORINE_PIPE_DIR", directory_.c_str(), 1);
    auto [sender, receiver] = make_unbounded_channel<InputEvent>();
    injection_ = std::thread([this, receiver = std::move(receiver)]() mutable {
      run_injection_thread(std::move(receiver), desktops_, desktops_, sink_, log_, clock_);
    });
    runtime_.emplace(1);
    asio::co_spawn(*runtime_, run_input_pipe_server(log_, clock_, std::move(sender)), asio::detached);
    runtime_thread_ = std::thread([this] { runtime_->run(); });
  }
  ~PipeRig() {
    if (client_ >= 0) close(client_);
    runtime_->stop();
    runtime_thread_.join();
    runtime_.reset();  // destroys the server's frame and with it the last sender
    injection_.join();
    std::filesystem::remove_all(directory_);
  }

  // Connects as a client; false after 5 s without a listening server.
  bool connect_client() {
    const std::string path = pipe_path(kInputPipeName);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    for (int attempt = 0; attempt < 500; ++attempt) {
      client_ = socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(client_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
      close(client_);
      client_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool write_all(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const ssize_t written = ::write(client_, data, size);
      if (written <= 0) return false;
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return true;
  }
  std::size_t injected() const { return sink_.calls.load(std::memory_order_acquire); }

 private:
  std::string directory_;
  NullLogger log_;
  SystemClock clock_;
  SteadyDesktopApi desktops_;
  CountingSink sink_;
  std::thread injection_;
  std::optional<asio::io_context> runtime_;
  std::thread runtime_thread_;
  int client_ = -1;
};

// As fast as the client can write: wire bytes in, sink calls out.
void BM_PipeDecodeChannelInject(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = session_bytes(kBatch);
  for (auto _ : state) {
    PipeRig rig(nullptr);
    if (!rig.connect_client()) {
      state.SkipWithError("no pipe server");
      break;
    }
    if (!rig.write_all(bytes.data(), bytes.size())) state.SkipWithError("write failed");
    while (rig.injected() < kBatch) std::this_thread::yield();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_PipeDecodeChannelInject)->Unit(benchmark::kMillisecond)->UseRealTime();

// One second of pure moves at 10 000 per second, one 9-byte write each; the
// latency of each from just before its write to its sink call.
void BM_PipeLatencyAt10kPerSecond(benchmark::State& state) {
  constexpr std::size_t kEvents = 10'000;
  constexpr auto kInterval = std::chrono::microseconds(100);
  std::vector<double> latencies_us;
  for (auto _ : state) {
    std::vector<SteadyClock::time_point> arrived(kEvents);
    std::vector<SteadyClock::time_point> written(kEvents);
    PipeRig rig(&arrived);
    if (!rig.connect_client()) {
      state.SkipWithError("no pipe server");
      break;
    }
    std::vector<std::uint8_t> message;
    message.reserve(9);
    const auto start = SteadyClock::now();
    for (std::size_t i = 0; i < kEvents; ++i) {
      // Sleep most of the gap (leaving the cores to the worker's threads),
      // then spin to the exact due time.
      const auto due = start + i * kInterval;
      std::this_thread::sleep_until(due - std::chrono::microseconds(70));
      while (SteadyClock::now() < due) {
      }
      message.clear();
      put_mouse(message, static_cast<std::uint16_t>(i & 0xFFFF), static_cast<std::uint16_t>(i >> 16), 0, false, 0);
      written[i] = SteadyClock::now();
      if (!rig.write_all(message.data(), message.size())) {
        state.SkipWithError("write failed");
        break;
      }
    }
    while (rig.injected() < kEvents) std::this_thread::yield();
    for (std::size_t i = 0; i < kEvents; ++i) {
      latencies_us.push_back(std::chrono::duration<double, std::micro>(arrived[i] - written[i]).count());
    }
  }
  if (latencies_us.empty()) return;
  std::sort(latencies_us.begin(), latencies_us.end());
  const auto at = [&](double q) { return latencies_us[static_cast<std::size_t>(q * (latencies_us.size() - 1))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = latencies_us.back();
  state.SetItemsProcessed(static_cast<std::int64_t>(latencies_us.size()));
}
BENCHMARK(BM_PipeLatencyAt10kPerSecond)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorine::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (time per batch of %zu events):\n", kBatch);
  reporter.print_ratio("decode + channel + inject vs channel alone", "BM_DecodeChannelInject/real_time",
                       "BM_ChannelOnly/real_time");
  reporter.print_ratio("through the Unix socket pipe server vs channel alone", "BM_PipeDecodeChannelInject/real_time",
                       "BM_ChannelOnly/real_time");
  benchmark::Shutdown();
  return 0;
}
