#include "bin/worker/pipe/pipe_tasks.h"

#include <asio/this_coro.hpp>

#include "bin/worker/pipe/async_sleep.h"
#include "bin/worker/pipe/input_pipe_server.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/video_pipe_server.h"

namespace halvorine {

asio::awaitable<void> run_input_pipe_server(Logger& log, const Clock& clock, InputSender sender,
                                            InputStop* stop, ServingLatch* serving) {
  const auto pipes = make_pipe_api(co_await asio::this_coro::executor, &log);
  const auto security = make_pipe_security_platform();
  const auto trust = make_client_trust_platform();
  TimerSleep sleep;
  co_await serve_input_pipe({*pipes, *security, sleep, log, clock, stop, serving, trust.get()}, std::move(sender));
}

asio::awaitable<void> run_video_pipe_server(Logger& log, const Clock& clock, VideoReceiver frames,
                                            KeyFrameRequest& key_frames) {
  const auto pipes = make_pipe_api(co_await asio::this_coro::executor, &log);
  const auto security = make_pipe_security_platform();
  TimerSleep sleep;
  co_await serve_video_pipe({*pipes, *security, sleep, log, clock, key_frames}, std::move(frames));
}

}  // namespace halvorine
