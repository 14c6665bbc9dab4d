// The two pipe tasks as the worker's main starts them: each builds the real
// platform pipes, security and retry timer in its own frame and serves.
#pragma once

#include <asio/awaitable.hpp>

#include "bin/worker/input_event.h"
#include "bin/worker/key_frame_request.h"
#include "bin/worker/pipe/input_stop.h"
#include "bin/worker/serving_latch.h"
#include "common/clock.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// Returns only on `stop`'s request (never without one). `log`, `clock`,
// `stop` and `serving` outlive the task; `serving` opens with the first
// pipe instance.
asio::awaitable<void> run_input_pipe_server(Logger& log, const Clock& clock, InputSender sender,
                                            InputStop* stop = nullptr, ServingLatch* serving = nullptr);

// Returns once the video channel is closed (noticed while a client is
// connected). `log`, `clock` and `key_frames` outlive the task.
asio::awaitable<void> run_video_pipe_server(Logger& log, const Clock& clock, VideoReceiver frames,
                                            KeyFrameRequest& key_frames);

}  // namespace halvorine
