#include "bin/worker/secure/secure_capture_loop.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/fake_desktop_api.h"
#include "fake_clock.h"
#include "recording_logger.h"
#include "secure/fake_stream_backend.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using testing::changed_image;
using testing::FakeImage;
using testing::FakeSize;
using Lines = std::vector<std::string>;

const std::string kStarted1080 = "secure-capture: DesktopDuplicator pornit pe Winlogon (1920x1080)";
const std::string kEncoder1080 = "secure-stream: encoder pornit 1920x1080 30fps 6000kbps";
const std::string kCaptureStop = "secure-capture: stop";
const std::string kStreamStop = "secure-stream: stop";
const std::string kBlocked = "secure-capture: pe Winlogon dar SetThreadDesktop a esuat (privilegii?)";

class SecureCaptureLoopTest : public ::testing::Test {
 protected:
  SecureCaptureLoopTest() {
    auto [sender, receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
    receiver_.emplace(std::move(receiver));
    loop_.emplace(desktops_, backend_, std::move(sender), key_frames_, log_, clock_);
  }

  void steps(int count) {
    for (int i = 0; i < count; ++i) loop_->step();
  }
  // Every step until the fake clock has moved by `duration`.
  int run_for(std::chrono::milliseconds duration) {
    const auto end = clock_.monotonic_now() + duration;
    int count = 0;
    while (clock_.monotonic_now() < end) {
      loop_->step();
      ++count;
    }
    return count;
  }
  // The same with a GUI that takes every frame after each step.
  void run_reading(std::chrono::milliseconds duration) {
    const auto end = clock_.monotonic_now() + duration;
    while (clock_.monotonic_now() < end) {
      loop_->step();
      sent();
    }
  }
  std::vector<EncodedFrame> sent() {
    std::vector<EncodedFrame> frames;
    while (auto frame = receiver_->try_receive()) frames.push_back(std::move(*frame));
    return frames;
  }
  // Streaming at 1920×1080 with the start lines cleared; its first capture
  // takes no time, so the timers count from here.
  void start_streaming() {
    desktops_.input_desktop = "Winlogon";
    const auto wait = std::exchange(backend_.capture_wait, 0ms);
    loop_->step();
    backend_.capture_wait = wait;
    ASSERT_TRUE(loop_->streaming());
    log_.clear();
  }

  testing::FakeClock clock_;
  testing::FakeDesktopApi desktops_;
  testing::FakeStreamBackend backend_{clock_};
  testing::RecordingLogger log_;
  KeyFrameRequest key_frames_;
  std::optional<VideoReceiver> receiver_;
  std::optional<SecureCaptureLoop> loop_;
};

// --- following the desktop ---------------------------------------------------

TEST_F(SecureCaptureLoopTest, WinlogonAtStartStreamsFromTheFirstIteration) {
  desktops_.input_desktop = "Winlogon";
  loop_->step();
  EXPECT_EQ(log_.lines(), (Lines{kStarted1080, kEncoder1080}));
  EXPECT_EQ(backend_.source_outputs, std::vector<std::uint32_t>{0});
  EXPECT_EQ(backend_.last_fps, 30u);
  EXPECT_EQ(backend_.last_kbps, 6000u);
  EXPECT_EQ(backend_.captures_made, 1);  // capture follows in the same iteration
  EXPECT_EQ(desktops_.attached, "Winlogon");
}

TEST_F(SecureCaptureLoopTest, OnlyTheExactNameIsStreamedAndEverythingElseIdlesEvery200ms) {
  struct Case {
    std::optional<std::string> name;
    bool open_fails;
  };
  for (const Case& c : {Case{"winlogon", false}, Case{"WINLOGON", false}, Case{"Winlogon ", false},
                        Case{"Winlogo", false}, Case{"Default", false}, Case{std::nullopt, false},
                        Case{"Winlogon", true}}) {
    SCOPED_TRACE(c.name.value_or("<unreadable>"));
    testing::FakeClock clock;
    testing::FakeDesktopApi desktops;
    testing::FakeStreamBackend backend{clock};
    testing::RecordingLogger log;
    desktops.input_desktop = c.name;
    desktops.open_fails = c.open_fails;
    auto [sender, receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
    SecureCaptureLoop loop(desktops, backend, std::move(sender), key_frames_, log, clock);
    for (int i = 0; i < 5; ++i) loop.step();
    EXPECT_TRUE(backend.source_outputs.empty());
    EXPECT_EQ(log.lines(), Lines{});
    EXPECT_EQ(clock.total_slept(), 5 * 200ms);
    EXPECT_LE(desktops.desktops_open, 1);  // at most the attached one stays open
  }
}

TEST_F(SecureCaptureLoopTest, LeavingLogsBothStopLinesOnceAndComingBackStartsAgain) {
  start_streaming();
  desktops_.input_desktop = "Default";
  steps(10);
  EXPECT_EQ(log_.lines(), (Lines{kCaptureStop, kStreamStop}));
  EXPECT_EQ(backend_.sources_alive, 0);
  EXPECT_EQ(backend_.encoders_alive, 0);
  EXPECT_EQ(desktops_.attached, "Default");  // it follows every desktop, not only Winlogon

  log_.clear();
  desktops_.input_desktop = "Winlogon";
  loop_->step();
  EXPECT_EQ(log_.lines(), (Lines{kStarted1080, kEncoder1080}));
}

TEST_F(SecureCaptureLoopTest, AttachFailureOnWinlogonWarnsAtMostEvery500msAndPollsEvery100ms) {
  desktops_.input_desktop = "Winlogon";
  desktops_.attach_refused = {"Winlogon"};
  EXPECT_EQ(run_for(1200ms), 12);
  EXPECT_EQ(log_.lines(), (Lines{kBlocked, kBlocked, kBlocked}));  // at 0, 500 and 1000 ms
  EXPECT_TRUE(backend_.source_outputs.empty());
  EXPECT_EQ(desktops_.desktops_open, 0);  // every refused desktop is closed again

  desktops_.attach_refused.clear();
  log_.clear();
  loop_->step();
  EXPECT_TRUE(loop_->streaming());
}

// --- starting -----------------------------------------------------------------

TEST_F(SecureCaptureLoopTest, SourceFailuresAreRetriedEvery500msWith50msPolls) {
  const Error failure = Error::message("DuplicateOutput: nu");
  backend_.sources = {std::unexpected(failure), std::unexpected(failure), std::unexpected(failure)};
  desktops_.input_desktop = "Winlogon";
  run_for(1100ms);
  const std::string line = "secure-capture: DesktopDuplicator::new(0) esuat pe Winlogon: DuplicateOutput: nu";
  EXPECT_EQ(log_.lines(), (Lines{line, line, line}));  // at 0, 500 and 1000 ms
  // One 100 ms pause after each failure, 50 ms polls in between.
  EXPECT_EQ(clock_.total_slept(), 3 * 100ms + 16 * 50ms);
  loop_->step();
  EXPECT_EQ(backend_.source_outputs.size(), 3u);
}

TEST_F(SecureCaptureLoopTest, EncoderFailureDropsTheNewSourceAndRetriesThroughStarting) {
  backend_.encoder_failures = {Error::message("no encoder")};
  desktops_.input_desktop = "Winlogon";
  loop_->step();
  EXPECT_EQ(log_.lines(), (Lines{kStarted1080, "secure-stream: encoder init esuat: no encoder"}));
  EXPECT_EQ(backend_.sources_alive, 0);
  EXPECT_EQ(clock_.total_slept(), 200ms);
  EXPECT_EQ(backend_.captures_made, 0);
  log_.clear();
  run_for(350ms);  // the next attempt waits for 500 ms since the last
  EXPECT_TRUE(loop_->streaming());
  EXPECT_EQ(log_.lines().at(0), kStarted1080);
  EXPECT_EQ(log_.lines().at(1), kEncoder1080);
}

TEST_F(SecureCaptureLoopTest, CaptureErrorRebuildsTheSourceAndKeepsAnEncoderOfTheSameSize) {
  start_streaming();
  backend_.captures.push_back(std::unexpected(Error::message("ACCESS_LOST")));
  loop_->step();
  EXPECT_EQ(log_.lines(), Lines{"secure-capture: capture err (ACCESS_LOST) — reinitializez"});
  EXPECT_EQ(backend_.sources_alive, 0);
  EXPECT_EQ(backend_.encoders_alive, 1);
  run_for(500ms);
  EXPECT_EQ(log_.lines().back(), kStarted1080);  // and no encoder line
  EXPECT_EQ(backend_.encoders_created.size(), 1u);
}

TEST_F(SecureCaptureLoopTest, RebuiltSourceOfAnotherSizeGetsANewEncoder) {
  start_streaming();
  backend_.captures.push_back(std::unexpected(Error::message("mode change")));
  backend_.sources.push_back(FakeSize{1280, 800});
  run_for(600ms);
  const Lines lines = log_.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "secure-capture: DesktopDuplicator pornit pe Winlogon (1280x800)");
  EXPECT_EQ(lines[2], "secure-stream: encoder pornit 1280x800 30fps 6000kbps");
  EXPECT_EQ(backend_.encoders_alive, 1);
}

// --- streaming ----------------------------------------------------------------

TEST_F(SecureCaptureLoopTest, ChangedImagesAreEncodedAndOfferedAsTheEncoderReturnsThem) {
  start_streaming();
  backend_.captures.push_back(std::optional<FakeImage>(changed_image({})));
  backend_.encodes.push_back(EncodedFrame{9, 8, 7});
  backend_.captures.push_back(std::optional<FakeImage>(changed_image({})));
  backend_.encodes.push_back(EncodedFrame{});  // no output for this input
  backend_.captures.push_back(std::optional<FakeImage>(changed_image({})));
  backend_.encodes.push_back(std::unexpected(Error::message("openh264 encode: 4")));
  steps(3);
  EXPECT_EQ(sent(), std::vector<EncodedFrame>{(EncodedFrame{9, 8, 7})});
  EXPECT_EQ(log_.lines(), Lines{"secure-stream: encode err: openh264 encode: 4"});
}

TEST_F(SecureCaptureLoopTest, PointerOnlyUpdatesAreNotEncodedAndDoNotPostponeTheRefresh) {
  start_streaming();
  FakeImage no_rects = changed_image({});
  no_rects.changed = false;
  FakeImage no_pixels;
  no_pixels.changed = true;
  for (int i = 0; i < 3; ++i) {
    backend_.captures.push_back(std::optional<FakeImage>(no_rects));
    backend_.captures.push_back(std::optional<FakeImage>(no_pixels));
  }
  steps(6);  // 600 ms
  EXPECT_TRUE(backend_.encoded_sizes.empty());
  loop_->step();  // 700 ms without output: the refresh
  EXPECT_EQ(backend_.full_captures, 1);
  EXPECT_EQ(backend_.encoded_sizes.size(), 1u);
}

TEST_F(SecureCaptureLoopTest, RefreshAfter700msEncodesAFullImageAsAKeyFrame) {
  start_streaming();
  steps(6);  // 600 ms, nothing new
  EXPECT_EQ(backend_.full_captures, 0);
  backend_.capture_wait = 99ms;
  loop_->step();  // 699 ms: not yet
  EXPECT_EQ(backend_.full_captures, 0);
  backend_.capture_wait = 1ms;
  loop_->step();  // 700 ms
  EXPECT_EQ(backend_.full_captures, 1);
  EXPECT_EQ(backend_.key_frames_forced, 1);
  EXPECT_EQ(backend_.encodes_after_force, 1);
  EXPECT_EQ(sent().size(), 1u);
  backend_.capture_wait = 100ms;
  steps(6);
  EXPECT_EQ(backend_.full_captures, 1);  // the timer restarted
  loop_->step();
  EXPECT_EQ(backend_.full_captures, 2);
}

TEST_F(SecureCaptureLoopTest, RefreshTriesFiveEncodesAndRestartsTheTimerEvenWithoutOutput) {
  start_streaming();
  for (int i = 0; i < 5; ++i) backend_.encodes.push_back(EncodedFrame{});
  steps(7);
  EXPECT_EQ(backend_.encoded_sizes.size(), 5u);
  EXPECT_TRUE(sent().empty());
  loop_->step();
  EXPECT_EQ(backend_.full_captures, 1);  // 700 ms must pass again

  // An output on the third attempt ends the attempts there.
  backend_.encodes = {EncodedFrame{}, EncodedFrame{}, EncodedFrame{3}};
  steps(6);
  EXPECT_EQ(backend_.encoded_sizes.size(), 8u);
  EXPECT_EQ(sent(), std::vector<EncodedFrame>{EncodedFrame{3}});

  // An error ends them too, with its own message.
  backend_.encodes = {std::unexpected(Error::message("x"))};
  steps(7);
  EXPECT_EQ(backend_.encoded_sizes.size(), 9u);
  EXPECT_EQ(log_.lines().back(), "secure-stream: gdi encode err: x");
}

TEST_F(SecureCaptureLoopTest, FailedFullCaptureIsRetriedInTheNextIteration) {
  start_streaming();
  backend_.full_image.reset();
  steps(9);
  EXPECT_EQ(backend_.full_captures, 3);  // at 700, 800 and 900 ms
  EXPECT_TRUE(backend_.encoded_sizes.empty());
}

TEST_F(SecureCaptureLoopTest, StatisticsCountEveryEncodedFrameOncePerSecond) {
  start_streaming();
  backend_.endless_changes = true;
  run_reading(1s);
  EXPECT_EQ(log_.lines(), Lines{"secure-capture: 10 frames encodate+trimise, 1920x1080"});
}

// --- pacing and a GUI that does not read -----------------------------------------

TEST_F(SecureCaptureLoopTest, AtMostOneImagePerFrameIntervalAndTheLastChangeOfABurstIsEncoded) {
  start_streaming();
  backend_.changes_start = clock_.monotonic_now();
  backend_.change_period = 15ms;  // 66 changes a second
  backend_.encoder_fps = 20;  // the rate the encoder was made with (the software encoder's)
  run_reading(1s);
  for (std::size_t i = 1; i < backend_.encode_times.size(); ++i) {
    EXPECT_GE(backend_.encode_times[i] - backend_.encode_times[i - 1], 50ms);
  }
  EXPECT_GE(backend_.encoded_tags.size(), 19u);
  EXPECT_LE(backend_.captures_made, 22);  // changes merge in the source, not in captures
  // The burst ends: its last change still goes out, at the next slot.
  const auto last = static_cast<std::uint8_t>((clock_.monotonic_now() - backend_.changes_start) / 15ms);
  backend_.change_period.reset();
  backend_.captures.push_back(std::optional<FakeImage>(changed_image({}, last)));
  run_reading(300ms);
  EXPECT_EQ(backend_.encoded_tags.back(), last);

  // After a quiet moment a single change goes at once, without waiting.
  backend_.captures.push_back(std::optional<FakeImage>(changed_image({}, 200)));
  const auto slept = clock_.total_slept();
  loop_->step();
  EXPECT_EQ(backend_.encoded_tags.back(), 200);
  EXPECT_EQ(clock_.total_slept(), slept);

  // GDI-only capture paces itself (33 ms a capture): no second wait on top
  // of it at 30 fps, and only the rest of the frame interval at 20.
  backend_.gdi_only = true;
  backend_.endless_changes = true;
  backend_.capture_wait = 33ms;
  backend_.encoder_fps = 30;
  run_reading(100ms);
  const auto before = clock_.total_slept();
  run_reading(330ms);
  EXPECT_EQ(clock_.total_slept(), before);
  backend_.encoder_fps = 20;
  const auto first = backend_.encode_times.size() + 1;
  run_reading(500ms);
  for (std::size_t i = first + 1; i < backend_.encode_times.size(); ++i) {
    EXPECT_GE(backend_.encode_times[i] - backend_.encode_times[i - 1], 49ms);
  }
}

TEST_F(SecureCaptureLoopTest, NothingIsCapturedOrEncodedWhileTheChannelIsFull) {
  start_streaming();
  backend_.endless_changes = true;
  run_for(2s);  // nobody reads
  EXPECT_EQ(backend_.encoded_tags.size(), 8u);  // what the channel holds, no more
  EXPECT_EQ(backend_.captures_made, 1 + 8);     // the first (still) one, then one per frame held
  EXPECT_EQ(backend_.full_captures, 0);         // no refresh into a full channel either
  EXPECT_EQ(sent().size(), 8u);                 // the GUI reads again
  loop_->step();
  EXPECT_EQ(backend_.encoded_tags.size(), 9u);
  EXPECT_EQ(backend_.key_frames_forced, 0);  // nothing was lost: no key frame needed
}

TEST_F(SecureCaptureLoopTest, LateEncoderOutputIsCollectedWhenNothingNewComes) {
  start_streaming();
  backend_.pending_outputs.push_back(EncodedFrame{5, 5});
  loop_->step();
  EXPECT_EQ(sent(), std::vector<EncodedFrame>{(EncodedFrame{5, 5})});
  backend_.pending_outputs.push_back(std::unexpected(Error::message("HW collect output: x")));
  backend_.pending_outputs.push_back(std::unexpected(Error::message("HW collect output: x")));
  steps(2);
  EXPECT_EQ(log_.lines(), Lines{"secure-stream: encode err: HW collect output: x"});  // once a second
}

TEST_F(SecureCaptureLoopTest, AnExceptionDropsSourceAndEncoderAndStartingBuildsThemAgain) {
  start_streaming();
  backend_.capture_throws = true;
  loop_->step();
  EXPECT_EQ(log_.lines(),
            Lines{"secure-capture: eroare neasteptata (std::bad_alloc) — reinitializez captura si encoderul"});
  EXPECT_EQ(backend_.sources_alive, 0);
  EXPECT_EQ(backend_.encoders_alive, 0);
  run_for(600ms);
  EXPECT_TRUE(loop_->streaming());
  EXPECT_EQ(backend_.encoders_created.size(), 2u);
}

TEST_F(SecureCaptureLoopTest, StatisticsAfterACaptureErrorShowNoSize) {
  start_streaming();
  steps(9);
  backend_.captures.push_back(std::unexpected(Error::message("gone")));
  loop_->step();
  EXPECT_EQ(log_.lines().back(), "secure-capture: 1 frames encodate+trimise, 0x0");  // the refresh frame
}

// --- the writer's key-frame request and a changing size ------------------------

TEST_F(SecureCaptureLoopTest, KeyFrameRequestOnAStillScreenIsAnsweredAtOnceByTheRefresh) {
  start_streaming();
  steps(2);
  key_frames_.request();
  loop_->step();
  EXPECT_EQ(backend_.full_captures, 1);
  EXPECT_EQ(backend_.key_frames_forced, 1);
  EXPECT_FALSE(key_frames_.pending());
  EXPECT_FALSE(key_frames_.stale(1));
}

TEST_F(SecureCaptureLoopTest, KeyFrameRequestForcesTheNextEncodeOnce) {
  start_streaming();
  backend_.endless_changes = true;
  steps(2);
  EXPECT_EQ(backend_.key_frames_forced, 0);
  key_frames_.request();
  EXPECT_TRUE(key_frames_.stale(1));
  loop_->step();
  EXPECT_EQ(backend_.key_frames_forced, 1);
  EXPECT_EQ(backend_.encodes_after_force, 1);
  steps(3);
  EXPECT_EQ(backend_.key_frames_forced, 1);
  // The two frames sent before the request are stale for the new GUI; the
  // key frame (the third) is not.
  EXPECT_TRUE(key_frames_.stale(2));
  EXPECT_FALSE(key_frames_.stale(3));
}

TEST_F(SecureCaptureLoopTest, SizeChangeInGdiOnlyModeRecreatesTheEncoder) {
  start_streaming();
  backend_.endless_changes = true;
  loop_->step();
  backend_.resize_to = FakeSize{1280, 800};
  steps(3);
  EXPECT_EQ(log_.lines(), Lines{"secure-stream: encoder pornit 1280x800 30fps 6000kbps"});
  EXPECT_EQ(backend_.encoded_sizes.back(), (FakeSize{1280, 800}));
  EXPECT_EQ(sent().size(), 4u);  // no frame lost to a size mismatch
  EXPECT_EQ(backend_.encoders_alive, 1);
  EXPECT_EQ(backend_.sources_alive, 1);
}

TEST_F(SecureCaptureLoopTest, SizeChangeWithoutANewEncoderRestartsThroughStarting) {
  start_streaming();
  backend_.endless_changes = true;
  backend_.resize_to = FakeSize{1280, 800};
  backend_.encoder_failures = {Error::message("no memory")};
  backend_.sources.push_back(FakeSize{1280, 800});
  loop_->step();
  EXPECT_EQ(log_.lines(), Lines{"secure-stream: encoder init esuat: no memory"});
  EXPECT_EQ(backend_.sources_alive, 0);
  run_for(500ms);
  EXPECT_TRUE(loop_->streaming());
  EXPECT_EQ(log_.lines().back(), "secure-stream: encoder pornit 1280x800 30fps 6000kbps");
}

}  // namespace
}  // namespace halvorine
