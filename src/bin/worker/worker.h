// The worker process: start-up in its fixed order, then the two pipe tasks on
// the Asio runtime until both have ended.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <string_view>

#include "bin/worker/input_event.h"
#include "bin/worker/process/process_platform.h"
#include "common/error.h"
#include "common/fatal_stop.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// The subsystems' entry points, each given the channel end it owns.
struct WorkerTasks {
  std::move_only_function<void(VideoSender)> secure_capture_thread;
  std::move_only_function<void(InputReceiver)> injection_thread;
  std::move_only_function<asio::awaitable<void>(InputSender)> serve_input_pipe;
  std::move_only_function<asio::awaitable<void>(VideoReceiver)> serve_video_pipe;
};

// Runs the worker's main task on `runtime` (which must not be running) and
// returns when both pipe tasks have ended, after "worker exiting". An error
// means a fatal stop: a thread could not be created.
Result<void> run_worker(asio::io_context& runtime, ProcessPlatform& platform, Logger& log,
                        WorkerTasks tasks);

}  // namespace halvorine
