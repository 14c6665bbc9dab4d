#include "view/input_sender.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "view/input_queue.h"

namespace halvorine::client {

struct InputSender::Shared {
  std::string path;
  ServerCheck check;
  std::chrono::milliseconds retry;

  std::mutex mutex;
  std::condition_variable changed;
  InputQueue queue{kInputQueueCapacity};
  bool stopping = false;
  bool writing = false;
  std::atomic<bool> connected{false};
  // Drops not reported yet, the last of them, and when the last line went.
  std::uint64_t unreported = 0;
  std::string last_dropped;
  std::optional<Clock::MonotonicTime> last_line;

  // With the lock held.
  void report(Clock::MonotonicTime now) {
    if (unreported == 0) return;
    std::fprintf(stderr, "halvorine-client: input pipe %s: %llu key or button message%s dropped (the last: %s)\n",
                 connected ? "not read by the worker" : "not connected",
                 static_cast<unsigned long long>(unreported), unreported == 1 ? "" : "s", last_dropped.c_str());
    unreported = 0;
    last_line = now;
  }

  void run();
};

namespace {

std::string describe(const InputMessage& message) {
  const char* state = message.pressed ? "down" : "up";
  if (message.kind == InputMessage::Kind::key) return fmt::format("{} {}", message.key, state);
  if (message.button == 0) return fmt::format("wheel {}", message.scroll);
  return fmt::format("button {} {}", message.button, state);
}

}  // namespace

void InputSender::Shared::run() {
  std::unique_ptr<ClientPipe> pipe;
  std::string problem;
  std::vector<InputMessage> batch;
  std::vector<std::uint8_t> bytes;
  for (;;) {
    if (!pipe) {
      auto opened = open_client_pipe(path, check);
      std::unique_lock lock(mutex);
      if (stopping) return;
      if (opened) {
        pipe = std::move(*opened);
        problem.clear();
        queue.clear();
        connected = true;
        continue;
      }
      const std::string now_problem = opened.error().failure == OpenFailure::untrusted_server
                                          ? "its server is not the privileged worker"
                                          : opened.error().detail;
      if (now_problem != problem) {
        std::fprintf(stderr, "halvorine-client: input pipe %s: %s; trying again every second\n", path.c_str(),
                     now_problem.c_str());
      }
      problem = now_problem;
      changed.wait_for(lock, retry, [&] { return stopping; });
      continue;
    }
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return stopping || !queue.empty(); });
      if (queue.empty()) return;  // stopping, all written
      queue.take_all(batch);
      writing = true;
    }
    bytes.clear();
    for (const auto& message : batch) append_message(message, bytes);
    auto written = pipe->write_all(bytes);
    std::lock_guard lock(mutex);
    writing = false;
    if (!written) {
      std::fprintf(stderr, "halvorine-client: input pipe: %s; reconnecting\n", written.error().text().c_str());
      pipe.reset();
      connected = false;
      queue.clear();  // the worker releases what this connection held
    }
    changed.notify_all();
  }
}

InputSender::InputSender(std::string path, ServerCheck check, std::chrono::milliseconds retry, const Clock& clock)
    : clock_(clock), shared_(std::make_shared<Shared>()) {
  shared_->path = std::move(path);
  shared_->check = check;
  shared_->retry = retry;
  // Not joined: a write to a worker that does not read may never return.
  std::thread([shared = shared_] { shared->run(); }).detach();
}

InputSender::~InputSender() { stop(std::chrono::milliseconds(0)); }

void InputSender::send(const InputMessage& message) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->stopping) return;
  if (shared_->connected && shared_->queue.push(message)) {
    shared_->changed.notify_all();
    return;
  }
  if (message.is_move()) return;  // a move without a pipe is no loss: the next one says where the pointer is
  ++shared_->unreported;
  shared_->last_dropped = describe(message);
  const auto now = clock_.monotonic_now();
  if (!shared_->last_line || now - *shared_->last_line >= std::chrono::seconds(1)) shared_->report(now);
}

bool InputSender::connected() const { return shared_->connected; }

void InputSender::report_drops() {
  std::lock_guard lock(shared_->mutex);
  shared_->report(clock_.monotonic_now());
}

void InputSender::stop(std::chrono::milliseconds flush) {
  std::unique_lock lock(shared_->mutex);
  if (shared_->stopping) return;
  shared_->stopping = true;
  shared_->changed.notify_all();
  shared_->changed.wait_for(lock, flush, [&] { return shared_->queue.empty() && !shared_->writing; });
  if (const std::size_t left = shared_->queue.size(); left > 0) {
    std::fprintf(stderr, "halvorine-client: input pipe not read by the worker: %llu message%s not sent at the end\n",
                 static_cast<unsigned long long>(left), left == 1 ? "" : "s");
  }
  shared_->report(clock_.monotonic_now());
}

}  // namespace halvorine::client
