#include "bin/worker/pipe/input_pipe_server.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <algorithm>

#include <fmt/format.h>

#include "fake_pipes.h"

namespace halvorine {
namespace {

using namespace halvorine::testing;
using Lines = std::vector<std::string>;

const std::string kSecurityLine =
    "pipe: DACL restrictionat -> SYSTEM+Administrators+INTERACTIVE pot deschide pipe-ul";
const std::string kFallbackLine = "pipe: SID user indisponibil -> DACL fallback SY+BA+INTERACTIVE";

FakeClient client(std::vector<Bytes> chunks, Error end = Error::early_eof()) {
  FakeClient fake;
  fake.chunks = std::move(chunks);
  fake.end = std::move(end);
  return fake;
}

class InputPipeServerTest : public ::testing::Test, protected FakePipeWorld {
 protected:
  void start() {
    auto [sender, receiver] = make_unbounded_channel<InputEvent>();
    receiver_.emplace(std::move(receiver));
    asio::co_spawn(runtime_, serve_input_pipe({pipes, security, sleep, log, clock}, std::move(sender)),
                   asio::detached);
    run_until_idle(runtime_);
  }
  std::vector<InputEvent> received() {
    std::vector<InputEvent> events;
    while (auto event = receiver_->try_receive()) events.push_back(std::move(*event));
    return events;
  }

  std::optional<InputReceiver> receiver_;
  asio::io_context runtime_;  // destroyed first: parked tasks still use the fakes
};

// Clients one after another, an instance each: how each connection ended is
// written between "client connected" and "client disconnected", and what the
// client left down is released after its last event.
TEST_F(InputPipeServerTest, ServesClientsOneAfterAnotherAndReleasesWhatEachLeftHeld) {
  const Error eof = Error::early_eof();
  const struct {
    std::vector<Bytes> chunks;
    Error end;
    Lines lines;
    std::vector<InputEvent> events;
  } clients[] = {
      {{{0x01, 0x80, 0x00, 0x40, 0x00, 0x01, 0x01, 0x00, 0xFF}}, eof,
       {"MOUSE recv nx=32768 ny=16384 → inject abs_x=32768 abs_y=16384 btn=1 pressed=true scroll=-1",
        "read type byte error: early eof", "releasing held input: 0 key(s), 1 button(s)"},
       {MouseEvent{32768, 16384, 1, true, -1}, MouseEvent{32768, 16384, 1, false, 0}}},
      // Mouse lines only for a button or the wheel. A name that is not UTF-8 is
      // dropped and the connection goes on. Nothing held, nothing released.
      {{{0x01, 0x00, 0x05, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x05, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01},
        {0x02, 0x01, 0x00, 0x01, 0xFF, 0x02, 0x00, 0x00, 0x05, 'E', 'n'}, {'t', 'e', 'r'}}, eof,
       {"MOUSE recv nx=5 ny=6 → inject abs_x=5 abs_y=6 btn=0 pressed=false scroll=1",
        "read type byte error: early eof"},
       {MouseEvent{5, 6, 0, true, 0}, MouseEvent{5, 6, 0, false, 1}, KeyEvent{"Enter", false}}},
      {{{0x07}}, eof, {"unknown type byte 0x07 — closing connection"}, {}},
      {{{0x02, 0x01}}, eof, {"read key header error"}, {}},
      {{}, Error::os(109), {"read type byte error: " + Error::os(109).text()}, {}},
      {{{0x02, 0x01, 0x00, 0x09, 'S', 'h', 'i', 'f', 't', 'L', 'e', 'f', 't'},
        {0x01, 0x00, 0x10, 0x00, 0x20, 0x01, 0x01, 0x00, 0x00},
        {0x02, 0x01, 0x00, 0x04, 'K', 'e', 'y', 'A'},
        {0x01, 0x00, 0x30, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00},
        {0x09}},
       eof,
       {"MOUSE recv nx=16 ny=32 → inject abs_x=16 abs_y=32 btn=1 pressed=true scroll=0",
        "unknown type byte 0x09 — closing connection", "releasing held input: 2 key(s), 1 button(s)"},
       {KeyEvent{"ShiftLeft", true}, MouseEvent{16, 32, 1, true, 0}, KeyEvent{"KeyA", true},
        MouseEvent{48, 64, 0, false, 0}, KeyEvent{"ShiftLeft", false}, MouseEvent{48, 64, 1, false, 0},
        KeyEvent{"KeyA", false}}},
  };
  Lines expected{kFallbackLine, kSecurityLine};
  std::vector<InputEvent> events;
  for (const auto& c : clients) {
    pipes.script.push_back(client(c.chunks, c.end));
    expected.insert(expected.end(), {"waiting for client", "client connected"});
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back("client disconnected");
    events.insert(events.end(), c.events.begin(), c.events.end());
  }
  expected.push_back("waiting for client");
  start();
  EXPECT_EQ(log.lines(), expected);
  EXPECT_EQ(received(), events);
  ASSERT_EQ(pipes.instances.size(), std::size(clients) + 1);
  for (const auto& instance : pipes.instances) {
    EXPECT_EQ(instance->name, "halvorine-input");
    EXPECT_EQ(instance->security, pipes.instances[0]->security);
    EXPECT_NE(instance->security, nullptr);
    EXPECT_EQ(instance->closed, instance != pipes.instances.back());  // all but the one now waiting
  }
  EXPECT_EQ(security.converted.size(), 1u);  // built once for every instance
}

// 20 mouse lines a second, the rest counted, also for a client that reconnects at once.
TEST_F(InputPipeServerTest, MouseLinesAreLimitedPerSecondAndTheRestCounted) {
  Bytes flood;
  for (int i = 0; i < 25; ++i) flood.insert(flood.end(), {0x01, 0x00, 0x01, 0x00, 0x02, 0x07, 0x01, 0x00, 0x00});
  pipes.script.push_back(client({flood}));
  pipes.script.push_back(client({Bytes(flood.begin(), flood.begin() + 9)}));
  start();
  Lines expected(22, "MOUSE recv nx=1 ny=2 → inject abs_x=1 abs_y=2 btn=7 pressed=true scroll=0");
  expected[0] = "waiting for client", expected[1] = "client connected";
  expected.insert(expected.end(), {"read type byte error: early eof", "MOUSE recv: 5 mesaje nelogate in ultima secunda",
                                   "client disconnected", "waiting for client", "client connected",
                                   "read type byte error: early eof", "MOUSE recv: 1 mesaje nelogate in ultima secunda"});
  Lines lines = served_lines();
  lines.resize(expected.size());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(received().size(), 26u);  // every message is still injected
}

// A hundred clients ten a second, each breaking the protocol (4 lines each),
// then one that stays until the stop (3 lines, the count of the last ones
// written at the stop): the burst, then a line a second and the counts, every
// line written or counted. The first instance tells that this worker serves.
// The receiver is gone from the start: the moves before each bad byte go nowhere.
TEST_F(InputPipeServerTest, ConnectionFloodLinesDrawOnABudgetAndAreAllCounted) {
  for (int i = 0; i < 100; ++i) pipes.script.push_back(client({{0x01, 0, 1, 0, 2, 0, 0, 0, 0, 0x07}}));
  pipes.script.push_back(FakeClient{.stays = true});
  pipes.clock = &clock;
  pipes.step = std::chrono::milliseconds(100);
  InputStop stop;
  ServingLatch serving;
  const InputPipeServerContext context{pipes, security, sleep, log, clock, &stop, &serving};
  asio::co_spawn(runtime_, serve_input_pipe(context, make_input_channel().first), asio::detached);
  run_until_idle(runtime_);
  stop.request();
  run_until_idle(runtime_);
  std::uint64_t written = 0, counted = 0;
  for (const std::string& line : served_lines()) {
    const auto n = line.starts_with("pipe input: ") ? std::stoull(line.substr(12)) : 0;
    line == fmt::format(fmt::runtime(kInputLinesSummary), n) ? counted += n : ++written;
  }
  EXPECT_EQ(written + counted, 100u * 4 + 3);
  EXPECT_LE(written, kClientLineBurst + 11);  // ten seconds of refills
  EXPECT_GT(counted, 0u);
  EXPECT_TRUE(serving.wait());
}

// A client writing far faster than events are injected: the server stops
// reading at the high-water mark and reads on as the receiver drains, so the
// queue never grows past the mark and every event arrives, in order, with the
// key-up sent after the flood last.
TEST_F(InputPipeServerTest, FloodIsReadOnlyAsFastAsItIsDrainedAndNothingIsLost) {
  constexpr std::size_t kMoves = 5000;
  Bytes flood;
  for (std::size_t i = 0; i < kMoves; ++i) {
    const auto x = static_cast<std::uint8_t>(i >> 8), y = static_cast<std::uint8_t>(i);
    flood.insert(flood.end(), {0x01, x, y, y, x, 0x00, 0x00, 0x00, 0x00});
  }
  flood.insert(flood.end(), {0x02, 0x00, 0x00, 0x04, 'K', 'e', 'y', 'Q'});
  pipes.script.push_back(client({flood}));
  auto [sender, receiver] = make_input_channel();
  asio::co_spawn(runtime_, serve_input_pipe({pipes, security, sleep, log, clock}, std::move(sender)),
                 asio::detached);
  std::vector<InputEvent> events;
  std::size_t longest = 0, rounds = 0;
  for (; rounds < 100 && events.size() < kMoves + 1; ++rounds) {
    run_until_idle(runtime_);
    longest = std::max(longest, receiver.queued());
    // The injection thread takes a few hundred events, then the server goes on.
    for (int i = 0; i < 300; ++i) {
      auto event = receiver.try_receive();
      if (!event) break;
      events.push_back(std::move(*event));
    }
  }
  EXPECT_EQ(longest, kInputChannelWatermarks.high);
  EXPECT_GT(rounds, kMoves / kInputChannelWatermarks.high);  // it really waited
  ASSERT_EQ(events.size(), kMoves + 1);
  for (std::size_t i = 0; i < kMoves; ++i) {
    const auto x = static_cast<std::uint16_t>((i >> 8) << 8 | (i & 0xFF));
    const auto y = static_cast<std::uint16_t>((i & 0xFF) << 8 | (i >> 8));
    ASSERT_EQ(events[i], InputEvent(MouseEvent{x, y, 0, false, 0})) << i;
  }
  EXPECT_EQ(events.back(), InputEvent(KeyEvent{"KeyQ", false}));
  EXPECT_EQ(served_lines(), (Lines{"waiting for client", "client connected",
                                   "read type byte error: early eof", "client disconnected",
                                   "waiting for client"}));
}

TEST_F(InputPipeServerTest, FailedCreationPausesTwoSecondsAndFailedWaitRetriesAtOnce) {
  security.conversion_succeeds = false;
  pipes.script.push_back(std::unexpected(Error::os(5)));
  pipes.script.push_back(std::unexpected(Error::os(231)));
  FakeClient refused;
  refused.connect = std::unexpected(Error::os(232));
  pipes.script.push_back(std::move(refused));
  start();
  const Lines lines = log.lines();
  EXPECT_EQ(lines, (Lines{kFallbackLine,
                          "pipe: ConvertStringSD esuat pentru D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019f;;;IU)",
                          "pipe: WARNING — DACL restrictiv indisponibil, folosesc securitatea "
                          "implicita a pipe-ului",
                          // Once a minute: the second failure, 2 s later, is not written.
                          "CreateNamedPipe failed: " + Error::os(5).text(), "waiting for client",
                          "connect() error: " + Error::os(232).text(), "waiting for client"}));
  EXPECT_EQ(sleep.pauses, (std::vector<std::chrono::milliseconds>{kPipeRetryPause, kPipeRetryPause}));
  EXPECT_EQ(kPipeRetryPause, std::chrono::seconds(2));
  ASSERT_EQ(pipes.instances.size(), 2u);
  EXPECT_TRUE(pipes.instances[0]->closed);
  EXPECT_EQ(pipes.instances[1]->security, nullptr);  // default security
}

}  // namespace
}  // namespace halvorine
