// HardwareEncoder's set-up and per-frame logic against a scripted transform.
#include "encoder/hardware_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoder/color_conversion.h"
#include "fake_transform.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using testing::FakeMediaFoundation;
using testing::FakeOutput;
using testing::FakeTransformState;
using testing::set_value_call;
using Bytes = std::vector<std::uint8_t>;
using K = MfTypeKey;
using P = MfCodecProperty;
using V = MfCodecValue;

std::uint64_t pack(std::uint64_t high, std::uint64_t low) { return high << 32 | low; }
std::uint64_t guid(MfTypeGuid g) { return static_cast<std::uint64_t>(g); }
std::int32_t hr(std::uint32_t code) { return static_cast<std::int32_t>(code); }

class HardwareEncoderTest : public ::testing::Test {
 protected:
  Result<HardwareEncoder> create(std::uint32_t width = 64, std::uint32_t height = 48, std::uint32_t fps = 30,
                                 std::uint32_t profile = HardwareEncoder::kProfileHigh) {
    return HardwareEncoder::create(mf_, width, height, fps, 6000, profile, log_, clock_);
  }
  HardwareEncoder make(std::uint32_t width = 64, std::uint32_t height = 48) {
    auto encoder = create(width, height);
    if (!encoder) throw std::runtime_error(encoder.error().text());
    return std::move(*encoder);
  }
  static Bytes frame(std::uint32_t width = 64, std::uint32_t height = 48) {
    return Bytes(std::size_t{width} * height * 4, 90);
  }
  std::shared_ptr<FakeTransformState> add(std::u16string name = u"Fake H264 Encoder MFT") {
    auto state = mf_.add(std::move(name));
    state->clock = &clock_;
    return state;
  }

  FakeMediaFoundation mf_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
};

// Every value of both types and the codec API, at two rates: the frame
// duration and key-frame spacing (ten minutes) follow the rate.
TEST_F(HardwareEncoderTest, SetUpFollowsTheRateAndProfile) {
  struct Case { std::uint32_t fps, profile; std::int64_t duration; std::uint32_t spacing; };
  for (const Case& c : {Case{30, 100, 333'333, 18'000}, Case{1, 77, 10'000'000, 600}}) {
    SCOPED_TRACE(c.fps);
    mf_ = {};
    log_.clear();
    auto t = add();
    auto encoder = create(64, 48, c.fps, c.profile);
    ASSERT_TRUE(encoder.has_value());
    EXPECT_FALSE(encoder->asynchronous());
    const std::string spacing = std::to_string(c.spacing);
    EXPECT_EQ(t->output_types, (std::vector<testing::TypeValues>{
                                   {{K::major_type, guid(MfTypeGuid::video)}, {K::subtype, guid(MfTypeGuid::h264)},
                                    {K::frame_size, pack(64, 48)}, {K::frame_rate, pack(c.fps, 1)},
                                    {K::interlace_mode, 2}, {K::avg_bitrate, 6'000'000}, {K::mpeg2_profile, c.profile},
                                    {K::nominal_range, 2}, {K::yuv_matrix, 1}, {K::video_primaries, 2},
                                    {K::transfer_function, 5}, {K::max_keyframe_spacing, c.spacing}}}));
    EXPECT_EQ(t->input_types, (std::vector<testing::TypeValues>{
                                  {{K::major_type, guid(MfTypeGuid::video)}, {K::subtype, guid(MfTypeGuid::nv12)},
                                   {K::frame_size, pack(64, 48)}, {K::frame_rate, pack(c.fps, 1)},
                                   {K::interlace_mode, 2}}}));
    // The contract, not the order of every call: the output type before the
    // input type, both before streaming starts, and every codec value.
    const std::vector<std::string> ordered = {"SetOutputType", "SetInputType", "ProcessMessage(BEGIN_STREAMING)",
                                              "ProcessMessage(START_OF_STREAM)", "ProcessInput"};
    std::vector<std::ptrdiff_t> at;
    for (const auto& call : ordered) at.push_back(std::ranges::find(t->calls, call) - t->calls.begin());
    EXPECT_TRUE(std::ranges::is_sorted(at) && at.back() < std::ssize(t->calls)) << ::testing::PrintToString(at);
    EXPECT_THAT(t->calls, IsSupersetOf({std::string("SetUINT32(low_latency,1)"),
                                        set_value_call(P::rate_control_mode, V::ui4(1)),
                                        set_value_call(P::mean_bit_rate, V::ui4(6'000'000)),
                                        set_value_call(P::max_bit_rate, V::ui4(12'000'000)),
                                        set_value_call(P::b_picture_count, V::ui4(0)),
                                        set_value_call(P::low_latency_mode, V::boolean(true)),
                                        set_value_call(P::gop_size, V::ui4(c.spacing))}));
    const auto lines = log_.lines();
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 7),
                ElementsAre("ENCODER enum: gasit 1 encodere HW", "ENCODER enum: [0] Fake H264 Encoder MFT",
                            "ENCODER hw: rate control=PeakConstrainedVBR mean=6000k max=12000k bframes=0 lowlatency=1",
                            "ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING=" + spacing + " set",
                            "ENCODER hw: CODECAPI_AVEncMPVGOPSize=" + spacing + " set",
                            "ENCODER: hardware activat: Fake H264 Encoder MFT", "ENCODER hw: ProcessInput Ok"));
    // Four black validation frames one frame apart, the first one marked; the
    // first real frame is marked again and carries on the sample time.
    ASSERT_TRUE(encoder->encode(frame()).has_value());
    ASSERT_EQ(t->inputs.size(), 5U);
    for (std::size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(t->inputs[i].time, std::int64_t(i) * c.duration) << i;
      EXPECT_EQ(t->inputs[i].duration, c.duration);
      EXPECT_EQ(t->inputs[i].bytes, 64U * 48 * 3 / 2);
      EXPECT_EQ(t->inputs[i].discontinuity, i == 0 || i == 4) << i;
    }
    EXPECT_EQ(mf_.startups, 1);
  }
}

// Which candidate is used, what each refusal costs and how it is logged. A
// failed creation names its cause; nothing made for a candidate not used
// stays alive, and it never starts streaming.
TEST_F(HardwareEncoderTest, CreationUsesTheFirstWorkingCandidateOrNamesTheCause) {
  struct Candidate {
    std::u16string name = u"Fake H264 Encoder MFT";
    std::map<std::string, std::int32_t> failures = {};
    bool asynchronous = false, name_unreadable = false;
  };
  struct Case {
    const char* name;
    std::vector<Candidate> candidates;
    std::string error;                     // empty: created
    std::vector<std::string> lines = {};   // each logged once
    std::vector<std::string> absent = {};  // neither called nor in a line
    std::int32_t startup_hr = 0, enumerate_hr = 0;
  };
  const std::string rate = "ENCODER hw: rate control=";
  const std::int32_t no = hr(0x80070057);
  const std::string rate_mode = set_value_call(P::rate_control_mode, V::ui4(1)),
                    max_rate = set_value_call(P::max_bit_rate, V::ui4(12'000'000)),
                    low_latency = set_value_call(P::low_latency_mode, V::boolean(true));
  const std::vector<Case> cases = {
      {"rate mode refused", {{.failures = {{rate_mode, no}}}}, "",
       {rate + "UnconstrainedVBR mean=6000k max=n/a bframes=0 lowlatency=1"}, {max_rate, "PeakConstrained"}},
      {"every rate setting refused",
       {{.failures = {{rate_mode, no}, {set_value_call(P::rate_control_mode, V::ui4(2)), no},
                      {set_value_call(P::mean_bit_rate, V::ui4(6'000'000)), no},
                      {set_value_call(P::b_picture_count, V::ui4(0)), no}, {low_latency, no}}}},
       "", {rate + "implicit (refuzat) mean=refuzat max=n/a bframes=refuzat lowlatency=1"}, {max_rate}},
      {"peak and low latency refused",
       {{.failures = {{max_rate, no}, {low_latency, no}, {set_value_call(P::low_latency_mode, V::ui4(1)), no}}}}, "",
       {rate + "PeakConstrainedVBR mean=6000k max=refuzat bframes=0 lowlatency=refuzat"}},
      {"spacing and GOP refused, set-up goes on",
       {{.failures = {{set_value_call(P::b_picture_count, V::ui4(0)), 1},
                      {"Set(max_keyframe_spacing)", hr(0xC00D36B9)},
                      {set_value_call(P::gop_size, V::ui4(18'000)), hr(0x80004001)}}}},
       "",
       {rate + "PeakConstrainedVBR mean=6000k max=12000k bframes=refuzat lowlatency=1",
        "ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING nesuportat (0xC00D36B9)",
        "ENCODER hw: CODECAPI_AVEncMPVGOPSize nesuportat (0x80004001)"}},
      {"no codec API", {{.failures = {{"QueryInterface(ICodecAPI)", hr(0x80004002)}}}}, "",
       {"ENCODER hw: ICodecAPI indisponibil (fara GOP/ForceKeyFrame)"}, {"rate control", "SetValue("}},
      // Asynchronous, if anyone could read it.
      {"unreadable attributes: synchronous, no low-latency attribute",
       {{.failures = {{"GetAttributes", hr(0x80004001)}}, .asynchronous = true}}, "", {},
       {"SetUINT32(low_latency,1)", "QueryInterface(IMFMediaEventGenerator)"}},
      {"names unreadable or invalid", {{.name_unreadable = true}, {u"Bad\xD800"}, {u"Encod\u0103tor"}}, "",
       {"ENCODER enum: [0] unknown", "ENCODER enum: [1] ", "ENCODER enum: [2] Encod\u0103tor"}},
      {"output type refused: the next one", {{u"First", {{"SetOutputType", hr(0xC00D6D60)}}}, {u"Second"}}, "",
       {"ENCODER enum: gasit 2 encodere HW", "ENCODER enum: [0] First", "ENCODER enum: [1] Second",
        "ENCODER: skip First: 0xC00D6D60", "ENCODER: hardware activat: Second"},
       {"skip Second"}},
      {"no encoder", {}, "init: No hardware H.264 encoder found (0xFFFFFFFF)"},
      {"startup", {{}}, "init: startup refused (0xC00D36E3)", {}, {}, hr(0xC00D36E3)},
      {"enumeration", {}, "init: enum refused (0x80070005)", {}, {}, 0, hr(0x80070005)},
      {"all candidates fail",
       {{u"A", {{"ActivateObject", hr(0x80004005)}}}, {u"B", {{"SetInputType", hr(0xC00D6D60)}}}},
       "init: fake failure (0xC00D6D60)"},
      {"async unlock refused", {{.failures = {{"SetUINT32(async_unlock,1)", hr(0x80070005)}}, .asynchronous = true}},
       "init: fake failure (0x80070005)"},
      {"start of stream refused", {{.failures = {{"ProcessMessage(START_OF_STREAM)", hr(0x8000FFFF)}}}},
       "init: fake failure (0x8000FFFF)"},
      {"validation frame refused, next candidate not tried",
       {{.failures = {{"ProcessInput", hr(0xC00D36B4)}}}, {u"Never"}},
       "validation: HW encode frame 0: fake failure (0xC00D36B4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMediaFoundation mf;
    for (const Candidate& candidate : c.candidates) {
      auto t = mf.add(candidate.name);
      t->failures = candidate.failures;
      t->asynchronous = candidate.asynchronous;
      t->name_unreadable = candidate.name_unreadable;
    }
    mf.startup_hr = c.startup_hr;
    mf.enumerate_hr = c.enumerate_hr;
    log_.clear();
    auto encoder = HardwareEncoder::create(mf, 64, 48, 30, 6000, 100, log_, clock_);
    EXPECT_EQ(encoder.has_value() ? "" : encoder.error().text(), c.error);
    const auto lines = log_.lines();
    for (const auto& line : c.lines) EXPECT_EQ(std::ranges::count(lines, line), 1) << line;
    if (std::ranges::any_of(c.lines, [&](const std::string& l) { return l.starts_with(rate); })) {
      EXPECT_EQ(log_.lines_with(rate).size(), 1U);  // and no other
    }
    for (const auto& a : c.absent) {
      EXPECT_THAT(lines, Not(Contains(HasSubstr(a))));
      for (auto& t : mf.transforms) EXPECT_THAT(t->calls, Not(Contains(HasSubstr(a))));
    }
    for (auto& t : mf.transforms) {
      if (encoder && t == mf.current()) continue;
      EXPECT_EQ(t->live_objects, 0);
      if (encoder) {
        EXPECT_EQ(t->count("ProcessMessage(BEGIN_STREAMING)"), 0) << "streams only once chosen";
      }
      if (t->name == u"Never") {
        EXPECT_EQ(t->count("ActivateObject"), 0);
      }
    }
  }
}

TEST_F(HardwareEncoderTest, ForceKeyFrameAsksTheCodecApiAndLogsTheOutcomeOncePerSecond) {
  auto t = add();
  HardwareEncoder encoder = make();
  // Creation asks too: the validation frames had the transform's first one.
  EXPECT_THAT(log_.lines_with("ForceKeyFrame"), ElementsAre("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)"));
  log_.clear();
  for (int i = 0; i < 5; ++i) encoder.force_key_frame();  // the same line, within the second
  clock_.advance(1s);
  encoder.force_key_frame();
  t->failures[set_value_call(P::force_key_frame, V::ui4(1))] = hr(0x80004001);
  encoder.force_key_frame();  // another text: at once
  encoder.force_key_frame();
  EXPECT_THAT(log_.lines(), ElementsAre("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)",
                                        "ENCODER hw: ForceKeyFrame esuat (0x80004001) - fallback CleanPoint/GOP"));
  EXPECT_EQ(t->count(set_value_call(P::force_key_frame, V::ui4(1))), 9);
}

// What one synchronous call hands back for what the transform answers: every
// sample's buffers in order, or the failure with the output before it. What
// cannot be H.264 never leaves the encoder (the facade counts the failure and
// asks for a key frame); an endless answer fails the frame instead of hanging.
TEST_F(HardwareEncoderTest, SynchronousOutputCollection) {
  auto t = add();
  HardwareEncoder encoder = make();
  log_.clear();
  struct Case {
    std::vector<FakeOutput> outputs;
    Bytes want;
    std::string error = {};
  };
  const std::int32_t need = kMfNeedMoreInput;
  const Bytes good{0, 0, 0, 1, 0x41, 0x9A};
  const FakeOutput sample{0, {{0, 0, 1, 0x41}}};
  Bytes sixty_four;
  for (int i = 0; i < 64; ++i) sixty_four.insert(sixty_four.end(), {0, 0, 1, 0x41});
  const std::string not_h264 = "output that is not H.264 (Annex-B) (0x8007000D)";
  const std::vector<Case> cases = {
      {{sample, {need, {}}}, {0, 0, 1, 0x41}},
      {{{need, {}}}, {}},
      {{{0, {{0, 0, 1}, {0x41}}}, sample, {need, {}}}, {0, 0, 1, 0x41, 0, 0, 1, 0x41}},  // two samples, three buffers
      {{{kMfUnexpected, {}}}, {}},
      {{{0, {good}}, {0, {{}}}}, good, "empty output sample (0x8007000D)"},
      {{{0, {good}}, {0, {{0x41, 0x9A, 0, 0, 1, 0x41}}}}, good, not_h264},  // no start code
      {{{0, {good}}, {0, {{0, 0, 1, 0xC1, 0x9A}}}}, good, not_h264},        // forbidden bit
      {{{0, {good}}, {0, {Bytes(HardwareEncoder::kMaxSampleBytes + 1, 0)}}}, good, "too long (0x8007000D)"},
      {std::vector<FakeOutput>(1000, sample), sixty_four, "more than 64 outputs in one call (0x8000FFFF)"},
      // Logged whatever the countdown (the row before used it up).
      {{{hr(0x80004005), {}}}, {}, "fake answer (0x80004005)"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    t->outputs.assign(c.outputs.begin(), c.outputs.end());
    auto out = encoder.encode(frame());
    EXPECT_EQ(out.has_value() ? "" : out.error().text(), c.error);
    EXPECT_EQ(*out, c.want);
    EXPECT_EQ(t->outputs.empty(), c.outputs.size() < 64) << "every answer taken, but past the bound";
  }
  EXPECT_THAT(log_.lines_with("E_UNEXPECTED"),
              ElementsAre("ENCODER hw: ProcessOutput E_UNEXPECTED (benign, no output)"));
  EXPECT_EQ(log_.lines_with("NEED_MORE_INPUT").size(), 3U);
  EXPECT_THAT(log_.lines_with(" ERR "), ElementsAre("ENCODER hw: ProcessOutput ERR 0x80004005"));
}

// The output sample we make is as large as the transform asks, within
// bounds, and follows a new output type.
TEST_F(HardwareEncoderTest, OutputSampleSizedAsTheTransformAsksWithinBounds) {
  const std::optional<std::uint32_t> unreadable;
  const std::vector<std::pair<std::optional<std::uint32_t>, std::uint32_t>> cases = {
      {0, 1 << 20}, {64, 1 << 20}, {3 << 20, 3 << 20}, {0xFFFFFFFF, 16 << 20}, {unreadable, 1 << 20}};
  for (const auto& [reported, made] : cases) {
    SCOPED_TRACE(reported.value_or(1));
    mf_ = {};
    auto t = add();
    t->output_buffer_size = reported.value_or(3 << 20);
    if (!reported) t->failures["GetOutputStreamInfo"] = hr(0x80004005);
    HardwareEncoder encoder = make();
    ASSERT_TRUE(encoder.encode(frame()));
    EXPECT_EQ(t->output_sample_capacities.back(), made);
    t->output_buffer_size = 5 << 20;
    t->outputs = {{kMfStreamChange, {}}};
    ASSERT_TRUE(encoder.encode(frame()));
    ASSERT_TRUE(encoder.encode(frame()));
    EXPECT_EQ(t->output_sample_capacities.back(), reported ? 5U << 20 : made);
  }
}

TEST_F(HardwareEncoderTest, TransformProvidingSamplesGetsNone) {
  auto t = add();
  t->provides_samples = true;
  HardwareEncoder encoder = make();
  auto out = encoder.encode(frame());
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, t->key_output);  // the key frame asked for at creation
  EXPECT_EQ(t->count("MFCreateSample(output)"), 0);
  EXPECT_THAT(t->calls, Not(Contains("ProcessOutput(our sample)")));
}

TEST_F(HardwareEncoderTest, SamplesPerCallLineAtMostEveryFiveSeconds) {
  auto t = add();
  HardwareEncoder encoder = make();
  log_.clear();
  const FakeOutput two{0, {{0, 0, 1, 0x41}}}, need{kMfNeedMoreInput, {}};
  auto call = [&](std::vector<FakeOutput> outputs) {
    t->outputs.assign(outputs.begin(), outputs.end());
    ASSERT_TRUE(encoder.encode(frame()).has_value());
  };
  call({two, two, need});  // logged
  clock_.advance(4999ms);
  call({two, two, two, need});  // too soon
  clock_.advance(1ms);
  call({two, need});            // one sample
  call({two, two, two, need});  // 5 s after the first line
  EXPECT_THAT(log_.lines_with("sample-uri"),
              ElementsAre("ENCODER hw: 2 sample-uri intr-un apel", "ENCODER hw: 3 sample-uri intr-un apel"));
}

TEST_F(HardwareEncoderTest, VerboseForThirtyOutputStepsThenQuietUntilAStreamChange) {
  auto t = add();
  HardwareEncoder encoder = make(1365, 767);  // odd: the transform works at 1366x768
  // Validation took 8 output steps (a sample and need-more-input per frame).
  for (int frame = 4; frame < 15; ++frame) ASSERT_TRUE(encoder.encode(this->frame(1365, 767)));
  // 30 steps so far: the 31st is silent.
  log_.clear();
  ASSERT_TRUE(encoder.encode(frame(1365, 767)).has_value());
  EXPECT_THAT(log_.lines(), ElementsAre());
  EXPECT_EQ(t->output_sample_capacities.back(), 1U << 20);

  t->outputs = {{kMfStreamChange, {}}};
  ASSERT_TRUE(encoder.encode(frame(1365, 767)).has_value());
  EXPECT_THAT(log_.lines(), ElementsAre("ENCODER hw: STREAM_CHANGE (template 1920x1088) -> forced output 1366x768"));
  // The template with the stream's values, at the even size.
  EXPECT_EQ(t->output_types.at(1), (testing::TypeValues{{K::major_type, guid(MfTypeGuid::video)},
                                                         {K::subtype, guid(MfTypeGuid::h264)},
                                                         {K::frame_size, pack(1366, 768)}, {K::frame_rate, pack(30, 1)},
                                                         {K::interlace_mode, 2}, {K::avg_bitrate, 6'000'000},
                                                         {K::mpeg2_profile, 100}}));
  EXPECT_EQ(t->inputs.back().bytes, nv12_size(1365, 767));
  EXPECT_EQ(t->input_types[0].at(K::frame_size), pack(1366, 768));

  // The frame's input is still waiting: the stream change ended the call.
  log_.clear();
  for (int frame = 17; frame < 27; ++frame) ASSERT_TRUE(encoder.encode(this->frame(1365, 767)));
  EXPECT_EQ(log_.lines_with("ProcessOutput").size(), 20U);
}

// A key-frame request marks the next sample the transform takes, with or
// without a codec API to ask through (without one, nothing is logged).
TEST_F(HardwareEncoderTest, KeyFrameRequestMarksTheNextSampleTaken) {
  for (const bool codec_api : {true, false}) {
    SCOPED_TRACE(codec_api);
    mf_ = {};
    auto t = add();
    if (!codec_api) t->failures["QueryInterface(ICodecAPI)"] = hr(0x80004002);
    HardwareEncoder encoder = make();
    log_.clear();
    clock_.advance(1s);  // past the throttle of creation's own request line
    // No sample could be made: the request stays for the next frame.
    encoder.force_key_frame();
    EXPECT_EQ(log_.lines_with("ForceKeyFrame").size(), codec_api ? 1U : 0U);
    t->failures["MFCreateSample(input)"] = hr(0x8007000E);
    auto failed = encoder.encode(frame());
    EXPECT_EQ(failed.has_value() ? "" : failed.error().text(), "fake failure (0x8007000E)");
    // The transform refuses the marked sample: the mark is spent.
    t->failures = {{"ProcessInput", hr(0xC00D36B5)}};
    failed = encoder.encode(frame());
    EXPECT_EQ(failed.has_value() ? "" : failed.error().text(), "fake failure (0xC00D36B5)");
    t->failures.clear();
    ASSERT_TRUE(encoder.encode(frame()).has_value());
    ASSERT_EQ(t->inputs.size(), 6U);
    EXPECT_TRUE(t->inputs[4].discontinuity);
    EXPECT_FALSE(t->inputs[5].discontinuity);
    EXPECT_EQ(t->inputs[5].time - t->inputs[4].time, 333'333);
    EXPECT_THAT(log_.lines(), Contains("ENCODER hw: ProcessInput ERR 0xC00D36B5"));
  }
}

TEST_F(HardwareEncoderTest, AsynchronousTransformThroughItsEvents) {
  auto t = add();
  t->asynchronous = true;
  const auto before = clock_.monotonic_now();
  HardwareEncoder encoder = make();
  ASSERT_TRUE(encoder.asynchronous());
  EXPECT_EQ(t->count("SetUINT32(async_unlock,1)"), 1);
  // Warm-up: 100 ms of draining in 5 ms pauses.
  EXPECT_GE(clock_.monotonic_now() - before, 100ms);
  EXPECT_EQ(clock_.total_slept(), 100ms);

  // Each input posts have-output and need-input; the drain after the input
  // collects the output and keeps the request, so the next frame goes in at
  // once without waiting.
  const auto waits = t->count("GetEvent(wait)");
  for (int frame = 4; frame < 8; ++frame) {
    auto out = encoder.encode(this->frame());
    ASSERT_TRUE(out.has_value()) << out.error().text();
    EXPECT_EQ(*out, frame == 4 ? t->key_output : t->default_output);
  }
  EXPECT_EQ(t->count("GetEvent(wait)"), waits);

  // Without a stored request the encoder waits for one, taking output that
  // comes first.
  t->auto_events = false;
  auto quiet = encoder.encode(frame());  // uses the stored request; nothing comes back
  ASSERT_TRUE(quiet.has_value());
  EXPECT_TRUE(quiet->empty());
  EXPECT_EQ(t->count("GetEvent(wait)"), waits);
  t->events = {kMfEventHaveOutput, 999, kMfEventNeedInput};
  t->outputs = {{0, {{0, 0, 1, 5}}}};
  auto out = encoder.encode(frame());
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, (Bytes{0, 0, 1, 5}));
  EXPECT_GT(t->count("GetEvent(wait)"), waits);
}

// Silent from the first validation frame on, or after creation: the frame
// fails after the bound, not later.
TEST_F(HardwareEncoderTest, SilentAsynchronousTransformFailsTheFrameWithinTheBound) {
  auto t = add();
  t->asynchronous = true;
  t->auto_events = false;
  t->events = {kMfEventNeedInput};  // enough for the first validation frame only
  auto encoder = create();
  ASSERT_FALSE(encoder.has_value());
  EXPECT_EQ(encoder.error().text(),
            "validation: HW encode frame 1: no input request from the transform within 300 ms (0x800705B4)");

  mf_ = {};
  auto hung = add();
  hung->asynchronous = true;
  auto created = create();
  ASSERT_TRUE(created.has_value());
  hung->auto_events = false;
  hung->events.clear();
  while (created->encode(frame()).has_value()) {
  }  // uses up the stored requests
  const auto start = clock_.monotonic_now();
  auto out = created->encode(frame());
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(clock_.monotonic_now() - start, HardwareEncoder::kEventWait);
  EXPECT_THAT(out.error().text(), HasSubstr("no input request from the transform"));
}

}  // namespace
}  // namespace halvorine
