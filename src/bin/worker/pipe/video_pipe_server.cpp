#include "bin/worker/pipe/video_pipe_server.h"

#include <array>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "bin/worker/pipe/pipe_creation_log.h"
#include "common/line_budget.h"

namespace halvorine {
namespace {

constexpr std::string_view kGuiGone = "secure-stream: GUI deconectat de la pipe-ul video";

enum class Streaming { client_gone, channel_closed };

// The end of one connection as the pending read sees it; shared by the
// writer and the read, which may outlive the writer's use of the instance.
struct Departure {
  bool gone = false;
  // Wakes the writer from its wait for the next frame.
  asio::cancellation_signal signal;
};

// Keeps one read pending on the instance until the GUI leaves (end of stream
// or error, also when the writer closes the instance). Whatever the GUI
// writes is read and dropped: it is not supposed to write at all, and a read
// that stopped would no longer notice it leaving.
asio::awaitable<void> watch_for_departure(std::shared_ptr<PipeInstance> pipe,
                                          std::shared_ptr<Departure> departure) {
  std::array<std::uint8_t, 256> ignored;
  while (co_await pipe->read_some(ignored)) {
  }
  departure->gone = true;
  departure->signal.emit(asio::cancellation_type::terminal);
}

// Throws away what queued while no client was connected, counting it. True
// when the channel turned out to be closed.
bool drain_stale_frames(VideoReceiver& frames, std::uint64_t& taken) {
  for (;;) {
    auto stale = frames.try_receive();
    if (!stale) return stale.error() == TryReceiveError::closed;
    ++taken;
  }
}

// `taken` counts every frame taken from the channel, for the key-frame
// request's numbering.
asio::awaitable<Streaming> stream_frames(PipeInstance& pipe, VideoReceiver& frames, std::uint64_t& taken,
                                         Departure& departure, const VideoPipeServerContext& context,
                                         BudgetedLines& lines) {
  for (;;) {
    if (departure.gone) break;
    std::optional<EncodedFrame> frame = co_await frames.async_receive(
        asio::bind_cancellation_slot(departure.signal.slot(), asio::use_awaitable));
    if (frame) ++taken;
    if (departure.gone) break;  // the frame, if any, had nobody to go to
    if (!frame) co_return Streaming::channel_closed;
    // Until the key frame this GUI asked for, it could decode nothing.
    if (context.key_frames.stale(taken)) continue;
    const auto header = video_record_header(frame->size());
    // Two buffers, no combined copy of the frame.
    const std::array<asio::const_buffer, 2> record{asio::buffer(header), asio::buffer(*frame)};
    if (auto written = co_await pipe.write_all(record); !written) break;
  }
  lines.write(kGuiGone);
  co_return Streaming::client_gone;
}

}  // namespace

asio::awaitable<void> serve_video_pipe(VideoPipeServerContext context, VideoReceiver frames) {
  auto security = build_pipe_security(context.security, context.log);
  if (!security) {
    context.log.log(
        "secure-stream: WARNING — DACL restrictiv indisponibil, folosesc securitatea implicita a "
        "pipe-ului");
  }
  const auto executor = co_await asio::this_coro::executor;
  std::uint64_t taken = 0;
  std::shared_ptr<PipeInstance> pipe;
  PipeCreationLog creation_log(context.log, context.clock, "secure-stream: CreateNamedPipe esuat: {}");
  BudgetedLines lines(context.log, context.clock, kVideoLinesSummary);
  for (;;) {
    auto created = context.pipes.create_instance(kVideoPipeName, security.get());
    if (!created) {
      creation_log.report(kVideoPipeName, created.error());
      co_await context.sleep.sleep(kPipeRetryPause);
      continue;
    }
    pipe = std::move(*created);
    if (auto connected = co_await pipe->wait_for_client(); !connected) {
      lines.write(fmt::format("secure-stream: connect() error: {}", connected.error().text()));
      pipe->close();
      continue;
    }
    lines.write("secure-stream: GUI conectat la pipe-ul video");
    auto departure = std::make_shared<Departure>();
    asio::co_spawn(executor, watch_for_departure(pipe, departure), asio::detached);
    if (drain_stale_frames(frames, taken)) break;
    // Only now: a key frame made before the drain would go with the stale
    // frames, and this GUI would get P-frames it cannot decode.
    context.key_frames.request();
    if (co_await stream_frames(*pipe, frames, taken, *departure, context, lines) == Streaming::channel_closed) break;
    pipe->close();  // ends the pending read
  }
  lines.flush();
  context.log.log("secure-stream: canal inchis, opresc writer-ul");
  pipe->close();
  pipe.reset();
  security.reset();
}

}  // namespace halvorine
