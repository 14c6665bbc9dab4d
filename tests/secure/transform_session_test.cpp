// The whole stream over transforms that behave as real hardware encoders do:
// the capture loop, the VideoEncoder and the hardware encoder's logic over a
// scripted transform, through one session of fake time. A sparse screen (a
// small change every 600 ms, two minutes), a GUI that connects, stalls for
// five seconds and comes back, and a new GUI after a minute. Each GUI must
// be able to decode from its first record, with no picture missing; the
// hardware stays in use unless the behaviour makes it unusable; the log
// stays quiet.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "bin/worker/secure/secure_capture_loop.h"
#include "desktop/fake_desktop_api.h"
#include "encoder/fake_openh264.h"
#include "encoder/fake_transform.h"
#include "encoder/video_encoder.h"
#include "fake_clock.h"
#include "recording_logger.h"
#include "secure/fake_stream_backend.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransformState;

struct Behaviour {
  const char* name;
  std::function<void(FakeTransformState&)> set_up;
  // Once, when the session reaches the second given.
  int at_second = -1;
  std::function<void(FakeTransformState&)> event;
  bool unusable = false;  // software may take over
  // A GUI's first record comes this soon after it connected.
  std::chrono::milliseconds first_record_within{250};
};

const Behaviour kBehaviours[] = {
    {"synchronous", [](FakeTransformState&) {}},
    {"asynchronous, output 20 ms after its input",
     [](FakeTransformState& t) {
       t.asynchronous = true;
       t.output_latency = 20ms;
     }},
    {"asynchronous, output one frame late",
     [](FakeTransformState& t) {
       t.asynchronous = true;
       t.pipeline_depth = 1;
     }},
    {"asynchronous, output three frames late",
     [](FakeTransformState& t) {
       t.asynchronous = true;
       t.pipeline_depth = 3;
       t.output_latency = 5ms;
     }},
    {"parameter sets only in the first IDR",
     [](FakeTransformState& t) { t.parameter_sets = FakeTransformState::Sets::first_idr; }},
    {"parameter sets only in the output type",
     [](FakeTransformState& t) { t.parameter_sets = FakeTransformState::Sets::output_type; }},
    // The transform is rebuilt about a second after a request.
    {"key-frame requests ignored", [](FakeTransformState& t) { t.ignores_key_frames = true; }, -1, {}, false,
     1500ms},
    {"no codec API", [](FakeTransformState& t) { t.failures["QueryInterface(ICodecAPI)"] = kMfNotImplemented; }},
    {"one output step fails", [](FakeTransformState&) {}, 45,
     [](FakeTransformState& t) { t.lose_next_output = true; }},
    {"a stream change mid-stream", [](FakeTransformState&) {}, 75,
     [](FakeTransformState& t) { t.outputs.push_back({kMfStreamChange, {}}); }},
    {"one NAL unit per output sample",
     [](FakeTransformState& t) {
       t.asynchronous = true;
       t.nal_per_sample = true;
     }},
    {"output that is not H.264", [](FakeTransformState&) {}, 40,
     [](FakeTransformState& t) {
       t.numbered = false;
       t.default_output = t.key_output = {0x41, 0x9A, 0, 0, 1};
     },
     true},
};

class TransformSessionTest : public ::testing::TestWithParam<Behaviour> {
 protected:
  // The writer's part: a new GUI drains what is queued and asks for a key
  // frame; stale frames are never written to it.
  void connect() {
    while (receiver_->try_receive()) ++taken_;
    key_frames_.request();
    sessions_.emplace_back();
    connected_at_ = clock_.monotonic_now();
    first_record_.reset();
  }
  void read() {
    while (auto frame = receiver_->try_receive()) {
      if (key_frames_.stale(++taken_)) continue;
      if (!first_record_) first_record_ = clock_.monotonic_now() - connected_at_;
      sessions_.back().insert(sessions_.back().end(), frame->begin(), frame->end());
    }
  }

  testing::FakeClock clock_;
  testing::FakeDesktopApi desktops_;
  testing::FakeStreamBackend backend_{clock_};
  testing::RecordingLogger log_;
  testing::FakeMediaFoundation mf_;
  testing::FakeOpenH264 openh264_;
  KeyFrameRequest key_frames_;
  std::optional<VideoReceiver> receiver_;
  std::uint64_t taken_ = 0;
  std::vector<std::vector<std::uint8_t>> sessions_;
  Clock::MonotonicTime connected_at_{};
  std::optional<Clock::MonotonicTime::duration> first_record_;
  std::vector<Clock::MonotonicTime::duration> first_records_;
};

TEST_P(TransformSessionTest, EveryGuiDecodesFromItsFirstRecord) {
  const Behaviour& b = GetParam();
  auto t = mf_.add();
  t->clock = &clock_;
  t->numbered = true;
  b.set_up(*t);
  // The software encoder's frames: each an IDR with its parameter sets.
  openh264_.instance.layers = {testing::FakeLayer{{testing::TestPictures::sps(), testing::TestPictures::pps(),
                                                   testing::TestPictures().next(true, false)}}};
  backend_.sources.push_back(testing::FakeSize{64, 48});
  backend_.full_image = std::vector<std::uint8_t>(64 * 48 * 4, 3);
  backend_.real_encoder = [&](std::uint32_t w, std::uint32_t h, std::uint32_t fps,
                              std::uint32_t kbps) -> Result<std::unique_ptr<H264Encoder>> {
    auto made = VideoEncoder::create(w, h, fps, kbps, log_, clock_, mf_, openh264_, 2);
    if (!made) return std::unexpected(made.error());
    return std::make_unique<VideoEncoder>(std::move(*made));
  };
  auto [sender, receiver] = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  receiver_.emplace(std::move(receiver));
  SecureCaptureLoop loop(desktops_, backend_, std::move(sender), key_frames_, log_, clock_);
  desktops_.input_desktop = "Winlogon";
  loop.step();
  ASSERT_TRUE(loop.streaming());
  const auto start = clock_.monotonic_now();
  backend_.changes_start = start;
  backend_.change_period = 600ms;
  log_.clear();

  connect();
  bool new_gui = false;
  bool event = false;
  for (auto now = start; now - start < 120s; now = clock_.monotonic_now()) {
    loop.step();
    const auto second = std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
    if (second == b.at_second && !std::exchange(event, true)) b.event(*t);
    if (second >= 60 && !std::exchange(new_gui, true)) {
      first_records_.push_back(first_record_.value_or(1h));
      connect();
    }
    if (second < 30 || second >= 35) read();  // a five-second stall
  }
  first_records_.push_back(first_record_.value_or(1h));

  ASSERT_EQ(sessions_.size(), 2U);
  for (const auto& session : sessions_) EXPECT_EQ(testing::continuity_error(session), "") << b.name;
  // A new GUI's first record comes at once, even on a still screen.
  for (const auto& took : first_records_) EXPECT_LE(took, b.first_record_within) << b.name;
  // Beside the detail of an encoder's first output steps, which the
  // countdown bounds.
  const std::regex detail("ENCODER hw: Process(Input Ok|Output (Ok|NEED_MORE_INPUT|E_UNEXPECTED)).*");
  std::vector<std::string> encoder_lines;
  for (const auto& line : log_.lines()) {
    if (line.starts_with("ENCODER") && !std::regex_match(line, detail)) encoder_lines.push_back(line);
  }
  int switches = 0;
  for (const auto& line : encoder_lines) switches += line.find("-> switch software") != std::string::npos;
  // Nothing new stays in the transform: each new picture comes out within
  // about a capture wait (pushed out by repeats of it, which may stay).
  const auto end = clock_.monotonic_now();
  int held = 0;
  for (std::size_t i = 1; i < t->inputs.size(); ++i) {
    const auto& in = t->inputs[i];
    const bool stalled = in.taken_at && *in.taken_at >= start + 29s && *in.taken_at < start + 35s;
    if (!in.taken_at || stalled || in.content == t->inputs[i - 1].content) continue;
    held += in.answered_at.value_or(end) - *in.taken_at > 250ms;
  }
  EXPECT_EQ(held, 0) << b.name;
  EXPECT_EQ(switches, b.unusable ? 1 : 0) << b.name << ": " << ::testing::PrintToString(encoder_lines);
  EXPECT_LE(encoder_lines.size(), 2U * 20) << b.name << ": " << ::testing::PrintToString(encoder_lines);
}

INSTANTIATE_TEST_SUITE_P(Behaviours, TransformSessionTest, ::testing::ValuesIn(kBehaviours),
                         [](const ::testing::TestParamInfo<Behaviour>& info) {
                           std::string name;
                           for (const char c : std::string(info.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace halvorine
