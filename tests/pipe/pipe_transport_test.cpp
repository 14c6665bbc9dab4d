// The pipe servers on the platform's real pipes (Unix-domain sockets
// natively, named pipes under Wine), driven by in-process clients through
// halvorine-client's connection code.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_tasks.h"
#include "bin/worker/pipe/video_record.h"
#include "client_pipe.h"
#include "common/clock.h"
#include "recording_logger.h"

namespace halvorine {
namespace {

using client::ClientPipe;
using client::OpenFailure;
using testing::RecordingLogger;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Each test binary run gets its own socket directory (named pipes are global).
void use_private_pipe_dir() {
#ifndef _WIN32
  // Removed at exit with what the tests left in it.
  static const struct PrivateDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("halvorine-pipe-test-" + std::to_string(::getpid()));
    PrivateDir() {
      std::filesystem::create_directories(path);
      // Whatever the umask: the worker uses only a directory nobody else may write.
      std::filesystem::permissions(path, std::filesystem::perms(0755));
    }
    ~PrivateDir() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } dir;
  ::setenv("HALVORINE_PIPE_DIR", dir.path.c_str(), 1);
#endif
}

std::size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// Waits until `done()` holds, 20 s at most; says whether it did.
template <typename Done>
bool wait_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool wait_for_line(const RecordingLogger& log, const std::string& line, std::size_t times = 1) {
  return wait_until([&] { return count_of(log.lines(), line) >= times; });
}

// Opens pipe `name`, retrying while its instance is not there yet (missing,
// or on Linux an earlier test's socket file nobody listens on): the video
// pipe's first instance comes after the input pipe's.
std::unique_ptr<ClientPipe> open(std::string_view name) {
  auto pipe = client::open_client_pipe(pipe_path(name));
  wait_until([&] {
    if (pipe || (pipe.error().failure != OpenFailure::missing && pipe.error().failure != OpenFailure::busy)) return true;
    pipe = client::open_client_pipe(pipe_path(name));
    return false;
  });
  EXPECT_TRUE(pipe) << (pipe ? "" : pipe.error().detail);
  return pipe ? std::move(*pipe) : nullptr;
}

void write(ClientPipe& pipe, const Bytes& bytes) {
  const auto written = pipe.write_all(bytes);
  ASSERT_TRUE(written) << written.error().text();
}

// The next record's frame; nullopt at the end of the stream.
std::optional<Bytes> read_frame(ClientPipe& pipe) {
  Bytes frame;
  const auto record =
      read_record([&pipe](std::span<std::uint8_t> buffer) { return pipe.read_some(buffer); }, frame,
                  kMaxVideoRecordBytes);
  EXPECT_TRUE(record) << record.error().text();
  if (!record || record->kind != VideoRecord::Kind::frame) return std::nullopt;
  frame.resize(record->length);
  return frame;
}

// The two pipe tasks as main starts them, on a runtime thread of their own.
class PipeTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_private_pipe_dir();
    auto [input_sender, input_receiver] = make_unbounded_channel<InputEvent>();
    auto [video_sender, video_receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
    input_.emplace(std::move(input_receiver));
    video_.emplace(std::move(video_sender));
    asio::co_spawn(runtime_, run_input_pipe_server(log_, clock_, std::move(input_sender)), asio::detached);
    asio::co_spawn(runtime_, run_video_pipe_server(log_, clock_, std::move(video_receiver), key_frames_),
                   [this](std::exception_ptr) { video_ended_ = true; });
    thread_ = std::thread([this] { runtime_.run(); });
    ASSERT_TRUE(wait_for_line(log_, "waiting for client"));
  }
  void TearDown() override {
    // A receive waiting in the video channel holds work on the runtime, and
    // Asio's Windows runtime waits for all work when it is destroyed.
    video_.reset();
    runtime_.stop();
    thread_.join();
  }
  // Returns once the runtime has run every handler that was ready when this
  // was called, e.g. the video writer's drain that follows its "connected" line.
  void sync_with_runtime() {
    std::promise<void> done;
    asio::post(runtime_, [&] { asio::post(runtime_, [&] { done.set_value(); }); });
    done.get_future().wait();
  }
  void wait_until_streaming(std::size_t connections = 1) {
    ASSERT_TRUE(wait_for_line(log_, "secure-stream: GUI conectat la pipe-ul video", connections));
    sync_with_runtime();
  }
  // Sends as the capture thread does: a pending key-frame request is taken
  // first, so the frame counts as the key frame the new client waits for.
  TrySendResult send_frame(Bytes frame) {
    key_frames_.take(frames_sent_);
    const TrySendResult result = video_->try_send(std::move(frame));
    if (result == TrySendResult::sent) ++frames_sent_;
    return result;
  }
  std::vector<InputEvent> take_events(std::size_t count) {
    std::vector<InputEvent> events;
    wait_until([&] {
      while (events.size() < count) {
        auto event = input_->try_receive();
        if (!event) return false;
        // Each connection's verdict on its client comes first (client_trust.h).
        if (std::holds_alternative<ClientVerdict>(*event)) continue;
        events.push_back(std::move(*event));
      }
      return true;
    });
    return events;
  }

  RecordingLogger log_;
  SystemClock clock_;
  std::optional<InputReceiver> input_;
  std::optional<VideoSender> video_;
  KeyFrameRequest key_frames_;
  std::uint64_t frames_sent_ = 0;
  std::atomic<bool> video_ended_ = false;
  asio::io_context runtime_{1};
  std::thread thread_;
};

const Bytes kMouseExample{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF};
const Bytes kKeyExample{0x02, 0x00, 0x00, 0x05, 0x45, 0x6E, 0x74, 0x65, 0x72};

// One client at a time; messages arrive whether written at once or byte by
// byte; a connection the server ends or the client hangs up is replaced by a
// new instance, and the button the client left down is released after its
// last event.
TEST_F(PipeTransportTest, InputClientsAreServedOneAtATimeAndEveryEndIsNoticed) {
  auto first = open(kInputPipeName);
  ASSERT_TRUE(first);
  ASSERT_TRUE(wait_for_line(log_, "client connected"));
#ifndef _WIN32  // Windows keeps an instance listening: the client waits its turn (client_end_to_end.sh)
  auto second = client::open_client_pipe(pipe_path(kInputPipeName));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().failure, OpenFailure::busy) << second.error().detail;
#endif
  Bytes both = kMouseExample;
  both.insert(both.end(), kKeyExample.begin(), kKeyExample.end());
  write(*first, both);
  for (const auto byte : both) write(*first, Bytes{byte});
  write(*first, Bytes{0x07});
  const InputEvent press = MouseEvent{32768, 16384, 1, true, -1}, release = MouseEvent{32768, 16384, 1, false, 0};
  const InputEvent enter = KeyEvent{"Enter", false};
  EXPECT_EQ(take_events(5), (std::vector<InputEvent>{press, enter, press, enter, release}));
  ASSERT_TRUE(wait_for_line(log_, "waiting for client", 2));
  {
    auto third = open(kInputPipeName);
    ASSERT_TRUE(third);
    write(*third, kMouseExample);
  }
  ASSERT_TRUE(wait_for_line(log_, "read type byte error: early eof"));
  EXPECT_EQ(take_events(2), (std::vector<InputEvent>{press, release}));
}

// Two clients connect at the same moment, two hundred times: a client may be
// refused (the pipe is busy), but every write that was accepted is served.
TEST_F(PipeTransportTest, ClientsConnectingTogetherLoseNoAcceptedWrite) {
  std::size_t both_written = 0;
  for (int round = 0; round < 200; ++round) {
    std::atomic<std::size_t> written = 0;
    auto connect_and_write = [&](char letter) {
      auto pipe = client::open_client_pipe(pipe_path(kInputPipeName));
      if (!pipe) return;  // refused: it wrote nothing
      if ((*pipe)->write_all(Bytes{0x02, 0x00, 0x00, 0x04, 'K', 'e', 'y', static_cast<std::uint8_t>(letter)})) {
        ++written;
      }
    };
    std::thread a(connect_and_write, 'A'), b(connect_and_write, 'B');
    a.join();
    b.join();
    if (written == 2) ++both_written;
    const auto events = take_events(written);
    ASSERT_EQ(events.size(), written) << "round " << round;
  }
  // Nothing beyond what was counted arrives late.
  sync_with_runtime();
  EXPECT_FALSE(input_->try_receive());
  std::printf("rounds where both clients wrote: %zu of 200\n", both_written);
}

// Frames queued before a client are dropped; each client gets the next one
// (larger than the pipe's 65536-byte buffer: written as the client reads), and
// one that leaves is noticed at once, frames flowing or not.
TEST_F(PipeTransportTest, EachVideoClientGetsTheFramesAfterItsConnectionAndIsMissedAtOnce) {
  for (std::uint8_t i = 0; i < 5; ++i) send_frame(Bytes{i, i});
  Bytes big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
  for (std::size_t client = 1; client <= 3; ++client) {
    auto pipe = open(kVideoPipeName);
    ASSERT_TRUE(pipe);
    wait_until_streaming(client);
    if (client < 3) {  // the last one leaves without a single frame
      EXPECT_EQ(send_frame(big), TrySendResult::sent);
      EXPECT_EQ(read_frame(*pipe), big);
    }
    pipe.reset();
    ASSERT_TRUE(wait_for_line(log_, "secure-stream: GUI deconectat de la pipe-ul video", client));
  }
}

TEST_F(PipeTransportTest, ClosedVideoChannelIsNoticedOnlyWhenAClientConnects) {
  video_.reset();  // the capture thread is gone
  // The input pipe goes on; its round trip also proves the runtime has turned.
  {
    auto pipe = open(kInputPipeName);
    ASSERT_TRUE(pipe);
    write(*pipe, kKeyExample);
    EXPECT_EQ(take_events(1).size(), 1u);
  }
  EXPECT_FALSE(video_ended_);
  EXPECT_EQ(count_of(log_.lines(), "secure-stream: canal inchis, opresc writer-ul"), 0u);

  auto video = open(kVideoPipeName);
  ASSERT_TRUE(video);
  ASSERT_TRUE(wait_for_line(log_, "secure-stream: canal inchis, opresc writer-ul"));
  EXPECT_EQ(read_frame(*video), std::nullopt);  // the client sees the end of the stream
  EXPECT_TRUE(wait_until([&] { return video_ended_.load(); }));

  ASSERT_TRUE(wait_for_line(log_, "waiting for client", 2));
  auto input = open(kInputPipeName);
  ASSERT_TRUE(input);
  write(*input, kMouseExample);
  EXPECT_EQ(take_events(1).size(), 1u);
}

TEST_F(PipeTransportTest, VideoClientThatDoesNotReadHoldsBackOnlyTheVideoPipe) {
  auto video = open(kVideoPipeName);
  ASSERT_TRUE(video);
  wait_until_streaming();
  // Far more than the pipe buffers: the writer waits in a write for good.
  for (int i = 0; i < 8; ++i) send_frame(Bytes(1 << 20, 0x11));
  sync_with_runtime();
  auto input = open(kInputPipeName);
  ASSERT_TRUE(input);
  write(*input, kKeyExample);
  EXPECT_EQ(take_events(1), (std::vector<InputEvent>{KeyEvent{"Enter", false}}));
}

// The backend alone: a client that opens and closes before the wait counts.
TEST(PipeInstance, ClientThatConnectedAndClosedBeforeTheWaitCounts) {
  use_private_pipe_dir();
  asio::io_context runtime;
  auto pipes = make_pipe_api(runtime.get_executor());
  auto instance = pipes->create_instance("halvorine-pipe-test-early", nullptr);
  ASSERT_TRUE(instance) << instance.error().text();
  {
    auto early = client::open_client_pipe(pipe_path("halvorine-pipe-test-early"));
    ASSERT_TRUE(early) << early.error().detail;
  }
  auto outcome = [&]() -> asio::awaitable<std::pair<Result<void>, Result<std::size_t>>> {
    auto connected = co_await (*instance)->wait_for_client();
    std::array<std::uint8_t, 4> buffer{};
    auto read = co_await (*instance)->read_some(buffer);
    co_return std::pair{std::move(connected), std::move(read)};
  };
  auto future = asio::co_spawn(runtime, outcome(), asio::use_future);
  runtime.run();
  const auto [connected, read] = future.get();
  EXPECT_TRUE(connected) << connected.error().text();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().text(), "early eof");
}

}  // namespace
}  // namespace halvorine
