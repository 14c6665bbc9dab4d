#include "bin/worker/pipe/video_pipe_server.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>

#include "fake_pipes.h"

namespace halvorine {
namespace {

using namespace halvorine::testing;
using Lines = std::vector<std::string>;

const std::string kConnected = "secure-stream: GUI conectat la pipe-ul video";
const std::string kGone = "secure-stream: GUI deconectat de la pipe-ul video";
const std::string kClosed = "secure-stream: canal inchis, opresc writer-ul";

Bytes record(const Bytes& frame) {
  const auto header = video_record_header(frame.size());
  Bytes bytes(header.size() + frame.size());
  std::copy(header.begin(), header.end(), bytes.begin());
  std::copy(frame.begin(), frame.end(), bytes.begin() + 4);
  return bytes;
}

// A GUI that stays connected and never writes, as a real one does.
FakeClient connected_client() {
  FakeClient client;
  client.stays = true;
  return client;
}

// The server on the fakes, with the channel the capture thread sends on.
struct VideoServer : FakePipeWorld {
  VideoServer() {
    auto [sender, receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
    sender_.emplace(std::move(sender));
    receiver_.emplace(std::move(receiver));
  }
  void start() {
    asio::co_spawn(runtime_,
                   serve_video_pipe({pipes, security, sleep, log, clock, key_frames_}, std::move(*receiver_)),
                   [this](std::exception_ptr) { ended_ = true; });
    run_until_idle(runtime_);
  }
  // Sends as the capture thread does: a pending key-frame request is taken
  // first, and the frame is the key frame that answers it.
  void send(Bytes frame) {
    key_frames_.take(sent_);
    send_encoded_earlier(std::move(frame));
  }
  // Sends a frame encoded before a pending request could be taken.
  void send_encoded_earlier(Bytes frame) {
    EXPECT_EQ(sender_->try_send(std::move(frame)), TrySendResult::sent);
    ++sent_;
    run_until_idle(runtime_);
  }

  KeyFrameRequest key_frames_;
  std::uint64_t sent_ = 0;
  bool ended_ = false;
  asio::io_context runtime_;  // destroyed after the channel, before the fakes
  // Destroyed first: a receive waiting in the channel holds work on the
  // runtime, and Asio's Windows runtime waits for all work when destroyed.
  std::optional<VideoSender> sender_;
  std::optional<VideoReceiver> receiver_;
};

class VideoPipeServerTest : public ::testing::Test, protected VideoServer {};

// Whatever the client writes is read and ignored.
TEST_F(VideoPipeServerTest, WritesLengthPrefixedFramesUnchanged) {
  FakeClient chatty = connected_client();
  chatty.chunks = {Bytes(1000, 0x55), Bytes{1}};
  pipes.script.push_back(std::move(chatty));
  start();
  send({0x00, 0x00, 0x00, 0x01, 0x09});
  Bytes big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  send(big);
  send({});  // an empty frame travels as a record of length 0
  ASSERT_EQ(pipes.instances.size(), 1u);
  const Bytes& written = pipes.instances[0]->written;
  ASSERT_EQ(written.size(), 9u + 4u + 70000u + 4u);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 9),
            (Bytes{0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x09}));
  EXPECT_EQ(Bytes(written.begin() + 9, written.begin() + 13), (Bytes{0x70, 0x11, 0x01, 0x00}));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), written.begin() + 13));
  EXPECT_EQ(Bytes(written.end() - 4, written.end()), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(served_lines(), Lines{kConnected});
  EXPECT_EQ(pipes.instances[0]->name, "halvorine-secure-video");
  EXPECT_TRUE(pipes.instances[0]->read_pending);
}

// A client that has gone is noticed by a failed write, or at once by the
// read the writer keeps waiting; the frame that failed is not resent.
TEST(VideoPipeServer, GoneClientIsClosedAndTheNextOneGetsTheNextFrame) {
  for (const bool write_fails : {true, false}) {
    SCOPED_TRACE(write_fails);
    VideoServer s;
    FakeClient leaves = connected_client();
    if (write_fails) leaves.writes_before_failure = 1;
    s.pipes.script.push_back(std::move(leaves));
    s.pipes.script.push_back(connected_client());
    s.start();
    if (write_fails) {
      s.send({0x01});
      EXPECT_EQ(s.served_lines(), Lines{kConnected});
      s.send({0x02});
    } else {
      ASSERT_TRUE(s.pipes.instances[0]->read_pending);
      s.pipes.instances[0]->leave();
      run_until_idle(s.runtime_);
    }
    EXPECT_EQ(s.served_lines(), (Lines{kConnected, kGone, kConnected}));
    s.send({0x03});
    ASSERT_EQ(s.pipes.instances.size(), 2u);
    EXPECT_EQ(s.pipes.instances[0]->written, write_fails ? record({0x01}) : Bytes{});
    EXPECT_EQ(s.pipes.instances[0]->write_calls, write_fails ? 2u : 0u);
    EXPECT_TRUE(s.pipes.instances[0]->closed);
    EXPECT_EQ(s.pipes.instances[1]->written, record({0x03}));
    EXPECT_TRUE(s.sleep.pauses.empty());
  }
}

// Frames queued before a client (the channel full) are dropped too.
TEST_F(VideoPipeServerTest, EachNewClientAsksForAKeyFrameAndGetsNothingSentBeforeIt) {
  for (std::uint8_t i = 0; i < 8; ++i) send(Bytes{i});
  EXPECT_EQ(sender_->try_send(Bytes{8}), TrySendResult::full);
  pipes.script.push_back(connected_client());
  pipes.script.push_back(connected_client());
  start();
  EXPECT_TRUE(key_frames_.stale(sent_ + 1));  // the request is pending
  send_encoded_earlier({0x01});               // encoded before the capture thread saw it
  send({0x65});                               // the key frame
  send({0x02});
  EXPECT_EQ(pipes.instances[0]->written, (Bytes{1, 0, 0, 0, 0x65, 1, 0, 0, 0, 0x02}));

  pipes.instances[0]->leave();
  run_until_idle(runtime_);
  send_encoded_earlier({0x03});
  send_encoded_earlier({0x04});
  send({0x66});
  EXPECT_EQ(pipes.instances[1]->written, record({0x66}));
}

// A closed channel ends the task, but is noticed only once a client is
// connected: at the drain that follows the connection, or while streaming.
TEST(VideoPipeServer, ClosedChannelEndsTheTaskOnceAClientIsConnected) {
  VideoServer idle, queued, streaming;
  idle.start();  // no client: the instance waits
  queued.pipes.script.push_back(connected_client());
  queued.sender_->try_send(Bytes{1});
  streaming.pipes.script.push_back(connected_client());
  streaming.start();
  streaming.send({0x05});
  for (VideoServer* s : {&idle, &queued, &streaming}) {
    s->sender_.reset();
    if (s == &queued) s->start(); else run_until_idle(s->runtime_);
    ASSERT_EQ(s->pipes.instances.size(), 1u);
    EXPECT_EQ(s->ended_, s != &idle);
    EXPECT_EQ(s->pipes.instances[0]->closed, s != &idle);
    EXPECT_EQ(s->served_lines(), s == &idle ? Lines{} : (Lines{kConnected, kClosed}));
  }
  EXPECT_TRUE(queued.pipes.instances[0]->written.empty());
  EXPECT_EQ(streaming.pipes.instances[0]->written, record({0x05}));
}

TEST_F(VideoPipeServerTest, FailuresAreLoggedWithTheStreamPrefixAndPaused) {
  security.conversion_succeeds = false;
  pipes.script.push_back(std::unexpected(Error::os(5)));
  FakeClient refused;
  refused.connect = std::unexpected(Error::os(232));
  pipes.script.push_back(std::move(refused));
  start();
  const Lines lines = log.lines();
  EXPECT_EQ(Lines(lines.begin() + 2, lines.end()),
            (Lines{"secure-stream: WARNING — DACL restrictiv indisponibil, folosesc securitatea implicita a pipe-ului",
                   "secure-stream: CreateNamedPipe esuat: " + Error::os(5).text(),
                   "secure-stream: connect() error: " + Error::os(232).text()}));
  EXPECT_EQ(sleep.pauses, std::vector<std::chrono::milliseconds>{kPipeRetryPause});
  ASSERT_EQ(pipes.instances.size(), 2u);
  EXPECT_TRUE(pipes.instances[0]->closed);
  EXPECT_EQ(pipes.instances[1]->security, nullptr);
}

}  // namespace
}  // namespace halvorine
