// A stand-in for the worker's capture thread, for driving halvorine-client's
// video side: serves the secure-video pipe with the real writer and, once a
// client is connected, sends the frames named on the command line ("small":
// 00 00 00 01 09; "big": 70000 patterned bytes), then closes the channel so
// the writer ends. Log lines go to standard output.
#include <cstdio>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "bin/worker/pipe/pipe_tasks.h"
#include "common/clock.h"
#include "common/logger.h"

namespace {

using halvorine::EncodedFrame;

EncodedFrame frame_named(std::string_view name) {
  if (name == "small") return {0x00, 0x00, 0x00, 0x01, 0x09};
  EncodedFrame big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return big;
}

class FeedingLogger final : public halvorine::Logger {
 public:
  FeedingLogger(halvorine::VideoSender sender, std::vector<EncodedFrame> frames)
      : sender_(std::move(sender)), frames_(std::move(frames)) {}
  void log(std::string_view message) override {
    std::printf("%.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stdout);
    // Fed by main once the handler that logged this has run on: by then the
    // writer has drained the channel and waits for the next frame.
    if (message == "secure-stream: GUI conectat la pipe-ul video" && sender_) pending_ = true;
  }
  bool take_pending() { return std::exchange(pending_, false); }
  // As the capture thread would, the feeder takes the writer's key-frame
  // request before its first frame: that frame answers it.
  void feed(halvorine::KeyFrameRequest& key_frames) {
    key_frames.take(0);
    for (auto& frame : frames_) sender_->try_send(std::move(frame));
    sender_.reset();
  }

 private:
  std::optional<halvorine::VideoSender> sender_;
  std::vector<EncodedFrame> frames_;
  bool pending_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<EncodedFrame> frames;
  for (int i = 1; i < argc; ++i) frames.push_back(frame_named(argv[i]));
  auto [sender, receiver] = halvorine::make_bounded_channel<EncodedFrame>(halvorine::kVideoChannelCapacity);
  FeedingLogger log(std::move(sender), std::move(frames));
  halvorine::KeyFrameRequest key_frames;
  const halvorine::SystemClock clock;
  asio::io_context runtime(1);
  asio::co_spawn(runtime, halvorine::run_video_pipe_server(log, clock, std::move(receiver), key_frames),
                 asio::detached);
  // One handler at a time; once connected, whatever is ready runs first, so
  // the frames go in after the drain.
  while (runtime.run_one() > 0) {
    if (log.take_pending()) {
      runtime.poll();
      log.feed(key_frames);
    }
  }
  return 0;
}
