#include "bin/worker/pipe/input_pipe_server.h"

#include <array>

#include <asio/use_awaitable.hpp>

#include <fmt/format.h>

#include "bin/worker/pipe/held_inputs.h"
#include "bin/worker/pipe/input_decoder.h"
#include "bin/worker/pipe/pipe_creation_log.h"

namespace halvorine {
namespace {

// Per connection; larger reads only batch what the pipe already holds.
constexpr std::size_t kReadChunk = 4096;

void release_held(HeldInputs& held, const InputSender& sender, BudgetedLines& lines) {
  if (held.empty()) return;
  lines.write(fmt::format("releasing held input: {} key(s), {} button(s)", held.held_keys(), held.held_buttons()));
  for (auto& release : held.take_releases()) sender.send(std::move(release));
}

}  // namespace

void MouseLineLog::write(const MouseEvent& mouse) {
  const BurstThrottle::Verdict verdict = throttle_.take(clock_.monotonic_now());
  summary(verdict.suppressed_before);
  if (verdict.admit) log_.log(mouse_log_line(mouse));
}

void MouseLineLog::flush() { summary(throttle_.flush()); }

void MouseLineLog::summary(std::uint64_t suppressed) {
  if (suppressed != 0) log_.log(fmt::format("MOUSE recv: {} mesaje nelogate in ultima secunda", suppressed));
}

asio::awaitable<void> read_input_messages(PipeInstance& pipe, InputSender sender, BudgetedLines& lines,
                                          MouseLineLog& mouse_lines, const InputStop* stop) {
  InputDecoder decoder;
  HeldInputs held;
  std::array<std::uint8_t, kReadChunk> buffer;
  for (;;) {
    auto read = co_await pipe.read_some(buffer);
    if (!read) {
      if (!stop || !stop->requested()) lines.write(decoder.read_failure_message(read.error().text()));
      break;
    }
    std::span<const std::uint8_t> input(buffer.data(), *read);
    bool violated = false;
    while (!violated) {
      const auto outcome = decoder.feed(input);
      if (outcome == InputDecoder::Outcome::need_more) break;
      if (outcome == InputDecoder::Outcome::dropped) continue;
      if (outcome == InputDecoder::Outcome::violation) {
        lines.write(decoder.violation_message());
        violated = true;
        break;
      }
      InputEvent& event = decoder.event();
      if (const auto* mouse = std::get_if<MouseEvent>(&event)) {
        if (mouse->button != 0 || mouse->scroll != 0) mouse_lines.write(*mouse);
      }
      held.note(event);
      // A gone receiver drops the event; the connection goes on regardless.
      sender.send(std::move(event));
      // Back-pressure: stop reading (the client's writes wait in the pipe)
      // until the injection thread has caught up; the runtime runs on.
      if (sender.above_high_water()) co_await sender.async_wait_for_room(asio::use_awaitable);
    }
    if (violated) break;
  }
  mouse_lines.flush();
  release_held(held, sender, lines);
}

asio::awaitable<void> serve_input_pipe(InputPipeServerContext context, InputSender sender) {
  const auto security = build_pipe_security(context.security, context.log);
  if (!security) {
    context.log.log(
        "pipe: WARNING — DACL restrictiv indisponibil, folosesc securitatea implicita a pipe-ului");
  }
  const auto stopped = [&] { return context.stop && context.stop->requested(); };
  PipeCreationLog creation_log(context.log, context.clock, "CreateNamedPipe failed: {}");
  // Across connections: a client cannot reset them by reconnecting.
  MouseLineLog mouse_lines(context.log, context.clock);
  BudgetedLines lines(context.log, context.clock, kInputLinesSummary);
  for (;;) {
    if (stopped()) {
      lines.flush();
      if (context.serving) context.serving->abandon();
      co_return;
    }
    auto created = context.pipes.create_instance(kInputPipeName, security.get());
    if (!created) {
      creation_log.report(kInputPipeName, created.error());
      co_await context.sleep.sleep(kPipeRetryPause);
      continue;
    }
    // Only a worker that serves gets an instance: the names are its own, and
    // so is the machine-wide lock (or no worker holds it).
    if (context.serving) context.serving->open();
    std::unique_ptr<PipeInstance> pipe = std::move(*created);
    if (context.stop) context.stop->watch(pipe.get());
    lines.write("waiting for client");
    if (auto connected = co_await pipe->wait_for_client(); !connected) {
      if (!stopped()) lines.write(fmt::format("connect() error: {}", connected.error().text()));
      pipe->close();
      if (context.stop) context.stop->watch(nullptr);
      continue;
    }
    lines.write("client connected");
    // Once per connection, before its first event: the injection thread
    // follows the verdict on the secure desktop.
    if (context.trust) sender.send(judge_client(*context.trust, pipe->client_process_id()));
    co_await read_input_messages(*pipe, sender, lines, mouse_lines, context.stop);
    pipe->close();
    if (context.stop) context.stop->watch(nullptr);
    lines.write("client disconnected");
  }
}

}  // namespace halvorine
