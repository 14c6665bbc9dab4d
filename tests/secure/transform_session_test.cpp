// The capture loop, the VideoEncoder and the hardware encoder's logic over
// transforms that behave as real hardware encoders do, each through one
// session of fake time: a small change every 600 ms for two minutes, a GUI
// that stalls for five seconds, a new GUI after a minute. Each GUI decodes
// from its first record, which comes at once and shows the screen (not the
// black frames the encoder was validated with); no new picture stays in the
// transform; no switch to software unless the behaviour calls for it; a quiet log.
#include <gtest/gtest.h>

#include <functional>
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
using Habit = std::function<void(testing::FakeTransformState&)>;
using Sets = testing::FakeTransformState::Sets;

struct Behaviour {
  const char* name;
  Habit set_up;
  int at_second = -1;  // when `event` happens, once
  Habit event;
  bool unusable = false;  // software takes over
  std::chrono::milliseconds first_record_within{250};  // of a GUI's connection (a rebuild takes ~1 s)
};

const Behaviour kBehaviours[] = {
    {"Synchronous", [](auto&) {}},
    {"OutputTwentyMsAfterItsInput", [](auto& t) { t.asynchronous = true; t.output_latency = 20ms; }},
    {"OutputOneFrameLate", [](auto& t) { t.asynchronous = true; t.pipeline_depth = 1; }},
    {"OutputThreeFramesLate", [](auto& t) { t.asynchronous = true; t.pipeline_depth = 3; t.output_latency = 5ms; }},
    {"ParameterSetsOnlyInTheFirstIdr", [](auto& t) { t.parameter_sets = Sets::first_idr; }},
    {"ParameterSetsOnlyInTheOutputType", [](auto& t) { t.parameter_sets = Sets::output_type; }},
    {"KeyFrameRequestsIgnored", [](auto& t) { t.ignores_key_frames = true; }, -1, {}, false, 1500ms},
    {"NoCodecApi", [](auto& t) { t.failures["QueryInterface(ICodecAPI)"] = kMfNotImplemented; }},
    {"OneOutputStepFails", [](auto&) {}, 45, [](auto& t) { t.lose_next_output = true; }},
    {"StreamChangeMidStream", [](auto& t) { t.change_loses_output = true; }, 75,
     [](auto& t) { t.outputs.push_back({kMfStreamChange, {}}); }},
    {"OneNalUnitPerSample", [](auto& t) { t.asynchronous = true; t.nal_per_sample = true; }},
    {"OutputThatIsNotH264", [](auto&) {}, 40,
     [](auto& t) { t.numbered = false; t.default_output = t.key_output = {0x41, 0x9A, 0, 0, 1}; }, true},
    // A new output type whose key frame (its parameter sets in the type) comes in the same call.
    {"AsynchronousStreamChange",
     [](auto& t) {
       t.asynchronous = true;
       t.parameter_sets = Sets::output_type;
       t.change_loses_output = t.change_makes_key_frame = true;
     },
     75, [](auto& t) { t.outputs.push_back({kMfStreamChange, {}}); }},
    {"OneInputRefused", [](auto& t) { t.asynchronous = true; }, 45,
     [](auto& t) { t.fail_next_input = static_cast<std::int32_t>(0x80004005); }},
    // Key frames a fixed 1 MiB output sample cannot hold (a detailed 4K screen).
    {"KeyFramesLargerThanAMebibyte", [](auto& t) { t.key_frame_bytes = 3 << 20; t.output_buffer_size = 4 << 20; }},
};

class TransformSessionTest : public ::testing::TestWithParam<Behaviour> {};

TEST_P(TransformSessionTest, EveryGuiDecodesFromItsFirstRecord) {
  const Behaviour& b = GetParam();
  testing::FakeClock clock;
  testing::FakeDesktopApi desktops;
  testing::FakeStreamBackend backend{clock};
  testing::RecordingLogger log;
  testing::FakeMediaFoundation mf;
  testing::FakeOpenH264 openh264;
  auto t = mf.add();
  t->clock = &clock;
  t->numbered = true;
  b.set_up(*t);
  // The software encoder's frames: each an IDR with its parameter sets.
  openh264.instance.layers = {testing::FakeLayer{{testing::TestPictures().next(true)}}};
  backend.sources.push_back(testing::FakeSize{64, 48});
  backend.full_image = std::vector<std::uint8_t>(64 * 48 * 4, 3);
  backend.real_encoder = [&](std::uint32_t w, std::uint32_t h, std::uint32_t fps,
                             std::uint32_t kbps) -> Result<std::unique_ptr<H264Encoder>> {
    auto made = VideoEncoder::create(w, h, fps, kbps, log, clock, mf, openh264, 2);
    if (!made) return std::unexpected(made.error());
    return std::make_unique<VideoEncoder>(std::move(*made));
  };
  auto channel = make_bounded_channel<EncodedFrame>(kVideoChannelCapacity);
  VideoReceiver& receiver = channel.second;
  KeyFrameRequest key_frames;
  SecureCaptureLoop loop(desktops, backend, std::move(channel.first), key_frames, log, clock);
  desktops.input_desktop = "Winlogon";
  loop.step();
  ASSERT_TRUE(loop.streaming());
  const auto start = clock.monotonic_now();
  backend.changes_start = start;
  backend.change_period = 600ms;
  log.clear();

  // The writer's part: a new GUI drains what is queued and asks for a key
  // frame; stale frames are never written to it.
  std::uint64_t taken = 0;
  std::vector<std::vector<std::uint8_t>> sessions;
  std::vector<Clock::MonotonicTime::duration> first_records;  // of each GUI, since it connected
  Clock::MonotonicTime connected{};
  auto connect = [&] {
    while (receiver.try_receive()) ++taken;
    key_frames.request();
    sessions.emplace_back();
    first_records.push_back(1h);
    connected = clock.monotonic_now();
  };
  auto read = [&] {
    while (auto frame = receiver.try_receive()) {
      if (key_frames.stale(++taken)) continue;
      if (sessions.back().empty()) first_records.back() = clock.monotonic_now() - connected;
      sessions.back().insert(sessions.back().end(), frame->begin(), frame->end());
    }
  };
  connect();
  bool event = false;
  for (auto now = start; now - start < 120s; now = clock.monotonic_now()) {
    loop.step();
    const auto second = std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
    if (second == b.at_second && !std::exchange(event, true)) b.event(*t);
    if (second >= 60 && sessions.size() == 1) connect();
    if (second < 30 || second >= 35) read();  // a five-second stall
  }

  ASSERT_EQ(sessions.size(), 2U);
  for (std::size_t gui = 0; gui < 2; ++gui) {
    EXPECT_EQ(testing::continuity_error(sessions[gui]), "") << b.name << ", GUI " << gui;
    EXPECT_LE(first_records[gui], b.first_record_within) << b.name << ", GUI " << gui;
    // Pictures name their input; the first input of all is a black validation frame.
    const auto first = testing::first_picture_tag(sessions[gui]);
    if (first) {
      EXPECT_NE(t->inputs.at(*first).content, t->inputs.front().content) << b.name << ", GUI " << gui;
    }
  }
  // Each new picture comes out within about a capture wait (pushed out by
  // repeats of it, which may stay), but while the GUI stalls.
  for (std::size_t i = 1; i < t->inputs.size(); ++i) {
    const auto& in = t->inputs[i];
    if (!in.taken_at || in.content == t->inputs[i - 1].content) continue;
    if (*in.taken_at >= start + 29s && *in.taken_at < start + 35s) continue;
    EXPECT_LE(in.answered_at.value_or(clock.monotonic_now()) - *in.taken_at, 250ms) << b.name << ", input " << i;
  }
  // The ENCODER lines, beside the detail of an encoder's first output steps
  // (which their countdown bounds).
  std::vector<std::string> lines;
  int switches = 0;
  for (const auto& line : log.lines()) {
    if (!line.starts_with("ENCODER") || (line.starts_with("ENCODER hw: Process") && !line.contains(" ERR "))) continue;
    lines.push_back(line);
    switches += line.ends_with("-> switch software");
  }
  EXPECT_EQ(switches, b.unusable ? 1 : 0) << b.name << ": " << ::testing::PrintToString(lines);
  EXPECT_EQ(openh264.created, b.unusable ? 1 : 0) << b.name << ": the software encoder took over";
  EXPECT_LE(lines.size(), 2U * 20) << b.name << ": " << ::testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Behaviours, TransformSessionTest, ::testing::ValuesIn(kBehaviours),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halvorine
