// The secure-video pipe writer: serves \\.\pipe\halvorine-secure-video to one
// client at a time and writes every frame of the video channel to it as a
// 4-byte little-endian length followed by the frame's bytes.
//
// A read stays pending on the connected instance (the GUI never writes), so
// a GUI that leaves is noticed at once, also while no frames flow. Each newly
// accepted GUI asks the capture thread for a key frame and gets no frame
// sent before it.
#pragma once

#include <array>
#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bin/worker/key_frame_request.h"
#include "bin/worker/pipe/async_sleep.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_security.h"
#include "bin/worker/pipe/video_record.h"
#include "common/clock.h"
#include "common/logger.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// What the video pipe writer runs on. Every member outlives the task.
struct VideoPipeServerContext {
  PipeApi& pipes;
  PipeSecurityPlatform& security;
  AsyncSleep& sleep;
  Logger& log;
  const Clock& clock;
  KeyFrameRequest& key_frames;  // shared with the secure-capture thread
};

// The count of connection and disconnection lines a GUI made too often (see
// line_budget.h).
inline constexpr std::string_view kVideoLinesSummary =
    "secure-stream: {} mesaje nelogate (conexiuni sau erori prea dese)";

// Ends only when the video channel is closed, which it notices only while a
// client is connected. Runs on the runtime's thread. The lines a GUI causes
// draw on one budget for the writer's life.
asio::awaitable<void> serve_video_pipe(VideoPipeServerContext context, VideoReceiver frames);

}  // namespace halvorine
