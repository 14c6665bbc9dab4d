#include "view/view.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fmt/format.h>

#include "view/input_forwarder.h"
#include "view/input_sender.h"
#include "view/video_stream.h"
#include "view/view_window.h"

namespace halvorine::client {
namespace {

constexpr const char* kTitle = "halvorine view";
constexpr std::chrono::milliseconds kReleaseFlush{300};

// Times in milliseconds (arrival to screen, arrival to decoded) of the
// pictures shown, for the summary line.
class LatencyLog {
 public:
  void add(const Picture& picture, std::chrono::steady_clock::time_point shown) {
    if (total_.size() >= kMaxSamples) return;
    total_.push_back(std::chrono::duration<double, std::milli>(shown - picture.arrival).count());
    decode_.push_back(std::chrono::duration<double, std::milli>(picture.decoded - picture.arrival).count());
  }
  std::string summary() {
    if (total_.empty()) return "latency_ms median=- p95=- decode_ms median=- p95=-";
    return fmt::format("latency_ms {} decode_ms {}", quantiles(total_), quantiles(decode_));
  }

 private:
  static std::string quantiles(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))]; };
    return fmt::format("median={:.2f} p95={:.2f}", at(0.5), at(0.95));
  }
  static constexpr std::size_t kMaxSamples = 1 << 20;
  std::vector<double> total_;
  std::vector<double> decode_;
};

std::string title_text(const std::string& state, const WindowSize& stream, bool streaming, double fps, double kbps,
                       bool input_connected) {
  std::string title = streaming ? fmt::format("{} — {}x{}, {:.1f} fps, {:.0f} kbit/s", kTitle, stream.width,
                                              stream.height, fps, kbps)
                                : fmt::format("{} — {}", kTitle, state);
  if (!input_connected) title += " (input pipe not connected)";
  return title;
}

}  // namespace

int run_view(const ViewOptions& options) {
  auto window = create_view_window(fmt::format("{} — waiting for the worker", kTitle));
  if (!window) {
    std::fprintf(stderr, "halvorine-client: cannot open the view's window: %s\n", window.error().text().c_str());
    return 1;
  }
  ViewWindow& view = **window;
  auto mailbox = std::make_shared<StreamMailbox>();
  mailbox->set_wake([&view] { view.wake(); });
  start_video_stream({options.video_path, options.check, options.retry}, mailbox);

  const SystemClock clock;
  InputSender input(options.input_path, options.check, options.retry, clock);
  InputForwarder forwarder(clock, [&input](const InputMessage& message) { input.send(message); });
  LatencyLog latency;
  long long shown = 0;
  WindowSize stream_size;
  auto counted = mailbox->counters();
  auto next_second = clock.monotonic_now() + std::chrono::seconds(1);
  std::string last_title;
  bool streaming = false;

  for (;;) {
    auto deadline = next_second;
    if (auto tick = forwarder.next_tick()) deadline = std::min(deadline, *tick);
    if (auto event = view.next_event(deadline)) {
      if (event->kind == WindowEvent::Kind::close) break;
      if (event->kind == WindowEvent::Kind::redraw) view.redraw();
      const WindowSize size = view.client_size();
      forwarder.handle(*event, size.width, size.height);
    }
    if (auto picture = mailbox->take_picture()) {
      if (auto shown_ok = view.show(*picture); !shown_ok) {
        std::fprintf(stderr, "halvorine-client: cannot show a picture: %s\n", shown_ok.error().text().c_str());
      } else {
        latency.add(*picture, std::chrono::steady_clock::now());
        stream_size = {picture->width, picture->height};
        streaming = true;
        ++shown;
        if (options.pictures >= 0 && shown >= options.pictures) break;
      }
    }
    forwarder.tick();
    const auto now = clock.monotonic_now();
    if (now >= next_second) {
      // Once a second: the title, and the input pipe's dropped messages.
      const auto counters = mailbox->counters();
      const double seconds = std::chrono::duration<double>(now - (next_second - std::chrono::seconds(1))).count();
      const double fps = static_cast<double>(counters.records - counted.records) / seconds;
      const double kbps = static_cast<double>(counters.bytes - counted.bytes) * 8 / 1000 / seconds;
      const std::string state = mailbox->state();
      streaming = streaming && state.starts_with("connected");
      const std::string title = title_text(state, stream_size, streaming, fps, kbps, input.connected());
      if (title != last_title) view.set_title(title);
      last_title = title;
      counted = counters;
      input.report_drops();
      next_second = now + std::chrono::seconds(1);
    }
  }
  // Keys and buttons still held go up; a worker that does not read them
  // within the flush time cannot keep the view open.
  forwarder.release_all();
  input.stop(kReleaseFlush);
  mailbox->stop();
  const auto counters = mailbox->counters();
  std::fprintf(stderr, "view: records=%llu bytes=%llu pictures=%llu shown=%lld replaced=%llu %s\n",
               static_cast<unsigned long long>(counters.records), static_cast<unsigned long long>(counters.bytes),
               static_cast<unsigned long long>(counters.pictures), shown,
               static_cast<unsigned long long>(counters.replaced), latency.summary().c_str());
  return 0;
}

}  // namespace halvorine::client
