#include "bin/worker/pipe/video_pipe_server.h"

#include <array>
#include <asio/use_awaitable.hpp>
#include <optional>

#include <fmt/format.h>

namespace halvorine {
namespace {

enum class Streaming { client_gone, channel_closed };

// Throws away what queued while no client was connected. True when the
// channel turned out to be closed.
bool drain_stale_frames(VideoReceiver& frames) {
  for (;;) {
    auto stale = frames.try_receive();
    if (!stale) return stale.error() == TryReceiveError::closed;
  }
}

asio::awaitable<Streaming> stream_frames(PipeInstance& pipe, VideoReceiver& frames, Logger& log) {
  for (;;) {
    std::optional<EncodedFrame> frame = co_await frames.async_receive(asio::use_awaitable);
    if (!frame) co_return Streaming::channel_closed;
    const auto header = video_record_header(frame->size());
    // Two buffers, no combined copy of the frame.
    const std::array<asio::const_buffer, 2> record{asio::buffer(header), asio::buffer(*frame)};
    if (auto written = co_await pipe.write_all(record); !written) {
      log.log("secure-stream: GUI deconectat de la pipe-ul video");
      co_return Streaming::client_gone;
    }
  }
}

}  // namespace

std::array<std::uint8_t, 4> video_record_header(std::size_t size) {
  const auto length = static_cast<std::uint32_t>(size);
  return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

asio::awaitable<void> serve_video_pipe(VideoPipeServerContext context, VideoReceiver frames) {
  auto security = build_pipe_security(context.security, context.log);
  if (!security) {
    context.log.log(
        "secure-stream: WARNING — DACL restrictiv indisponibil, folosesc securitatea implicita a "
        "pipe-ului");
  }
  std::unique_ptr<PipeInstance> pipe;
  for (;;) {
    auto created = context.pipes.create_instance(kVideoPipeName, security.get());
    if (!created) {
      context.log.log(fmt::format("secure-stream: CreateNamedPipe esuat: {}", created.error().text()));
      co_await context.sleep.sleep(kPipeRetryPause);
      continue;
    }
    pipe = std::move(*created);
    if (auto connected = co_await pipe->wait_for_client(); !connected) {
      context.log.log(fmt::format("secure-stream: connect() error: {}", connected.error().text()));
      pipe->close();
      continue;
    }
    context.log.log("secure-stream: GUI conectat la pipe-ul video");
    if (drain_stale_frames(frames)) break;
    if (co_await stream_frames(*pipe, frames, context.log) == Streaming::channel_closed) break;
    pipe->close();
  }
  context.log.log("secure-stream: canal inchis, opresc writer-ul");
  pipe->close();
  pipe.reset();
  security.reset();
}

}  // namespace halvorine
