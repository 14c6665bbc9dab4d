// HardwareEncoder's set-up and per-frame logic against a scripted transform.
#include "encoder/hardware_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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
using testing::set_value_call;

std::uint64_t pack(std::uint64_t high, std::uint64_t low) { return high << 32 | low; }

class HardwareEncoderTest : public ::testing::Test {
 protected:
  Result<HardwareEncoder> create(std::uint32_t width = 64, std::uint32_t height = 48,
                                 std::uint32_t fps = 30, std::uint32_t kbps = 6000,
                                 std::uint32_t profile = HardwareEncoder::kProfileHigh) {
    return HardwareEncoder::create(mf_, width, height, fps, kbps, profile, log_, clock_);
  }
  HardwareEncoder make(std::uint32_t width = 64, std::uint32_t height = 48) {
    auto encoder = create(width, height);
    if (!encoder) throw std::runtime_error(encoder.error().text());
    return std::move(*encoder);
  }
  static std::vector<std::uint8_t> frame(std::uint32_t width = 64, std::uint32_t height = 48) {
    return std::vector<std::uint8_t>(std::size_t{width} * height * 4, 90);
  }
  std::shared_ptr<testing::FakeTransformState> add(std::u16string name = u"Fake H264 Encoder MFT") {
    auto state = mf_.add(std::move(name));
    state->clock = &clock_;
    return state;
  }

  FakeMediaFoundation mf_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
};

TEST_F(HardwareEncoderTest, SetUpAtThirtyFpsAndSixMegabits) {
  auto t = add();
  HardwareEncoder encoder = make();
  EXPECT_FALSE(encoder.asynchronous());

  // Output type first, with the colour description and key-frame spacing.
  ASSERT_EQ(t->output_types.size(), 1U);
  using K = MfTypeKey;
  const testing::TypeValues out = t->output_types[0];
  EXPECT_EQ(out.at(K::major_type), std::uint64_t(MfTypeGuid::video));
  EXPECT_EQ(out.at(K::subtype), std::uint64_t(MfTypeGuid::h264));
  EXPECT_EQ(out.at(K::frame_size), pack(64, 48));
  EXPECT_EQ(out.at(K::frame_rate), pack(30, 1));
  EXPECT_EQ(out.at(K::interlace_mode), 2U);
  EXPECT_EQ(out.at(K::avg_bitrate), 6'000'000U);
  EXPECT_EQ(out.at(K::mpeg2_profile), 100U);
  EXPECT_EQ(out.at(K::nominal_range), 2U);
  EXPECT_EQ(out.at(K::yuv_matrix), 1U);
  EXPECT_EQ(out.at(K::video_primaries), 2U);
  EXPECT_EQ(out.at(K::transfer_function), 5U);
  EXPECT_EQ(out.at(K::max_keyframe_spacing), 18'000U);
  ASSERT_EQ(t->input_types.size(), 1U);
  EXPECT_EQ(t->input_types[0],
            (testing::TypeValues{{K::major_type, std::uint64_t(MfTypeGuid::video)},
                                 {K::subtype, std::uint64_t(MfTypeGuid::nv12)},
                                 {K::frame_size, pack(64, 48)},
                                 {K::frame_rate, pack(30, 1)},
                                 {K::interlace_mode, 2}}));

  // The contract, not the order of every call: the output type before the
  // input type, both before streaming starts, and every codec value.
  using V = MfCodecValue;
  using P = MfCodecProperty;
  auto at = [&](const std::string& call) { return std::ranges::find(t->calls, call) - t->calls.begin(); };
  EXPECT_LT(at("SetOutputType"), at("SetInputType"));
  EXPECT_LT(at("SetInputType"), at("ProcessMessage(BEGIN_STREAMING)"));
  EXPECT_LT(at("ProcessMessage(BEGIN_STREAMING)"), at("ProcessMessage(START_OF_STREAM)"));
  EXPECT_LT(at("ProcessMessage(START_OF_STREAM)"), at("ProcessInput"));
  EXPECT_THAT(t->calls, IsSupersetOf(std::vector<std::string>{
                            "SetUINT32(low_latency,1)", set_value_call(P::rate_control_mode, V::ui4(1)),
                            set_value_call(P::mean_bit_rate, V::ui4(6'000'000)),
                            set_value_call(P::max_bit_rate, V::ui4(12'000'000)),
                            set_value_call(P::b_picture_count, V::ui4(0)),
                            set_value_call(P::low_latency_mode, V::boolean(true)),
                            set_value_call(P::gop_size, V::ui4(18'000))}));
  const auto lines = log_.lines();
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 7),
              ElementsAre("ENCODER enum: gasit 1 encodere HW",
                          "ENCODER enum: [0] Fake H264 Encoder MFT",
                          "ENCODER hw: rate control=PeakConstrainedVBR mean=6000k max=12000k "
                          "bframes=0 lowlatency=1",
                          "ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING=18000 set",
                          "ENCODER hw: CODECAPI_AVEncMPVGOPSize=18000 set",
                          "ENCODER: hardware activat: Fake H264 Encoder MFT",
                          "ENCODER hw: ProcessInput Ok"));

  // Four black validation frames at 1/30 s steps, the first one marked; the
  // first real frame is marked again and carries on the sample time.
  ASSERT_TRUE(encoder.encode(frame()).has_value());
  ASSERT_EQ(t->inputs.size(), 5U);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(t->inputs[i].time, std::int64_t(i) * 333'333) << i;
    EXPECT_EQ(t->inputs[i].duration, 333'333);
    EXPECT_EQ(t->inputs[i].bytes, 64U * 48 * 3 / 2);
    EXPECT_EQ(t->inputs[i].discontinuity, i == 0 || i == 4) << i;
  }
  EXPECT_EQ(mf_.startups, 1);
}

TEST_F(HardwareEncoderTest, OneFpsGivesOneSecondFrames) {
  auto t = add();
  auto encoder = HardwareEncoder::create(mf_, 64, 48, 1, 6000, 77, log_, clock_);
  ASSERT_TRUE(encoder.has_value());
  EXPECT_EQ(t->inputs.at(1).time, 10'000'000);
  EXPECT_EQ(t->output_types.at(0).at(MfTypeKey::frame_rate), pack(1, 1));
  EXPECT_EQ(t->output_types.at(0).at(MfTypeKey::mpeg2_profile), 77U);
  EXPECT_EQ(t->output_types.at(0).at(MfTypeKey::max_keyframe_spacing), 600U);
}

TEST_F(HardwareEncoderTest, RefusedCodecSettingsBecomeLabels) {
  using V = MfCodecValue;
  using P = MfCodecProperty;
  struct Case {
    std::vector<std::string> refused;
    std::string line;
  };
  const std::string nope = "ENCODER hw: rate control=";
  const std::vector<Case> cases = {
      {{set_value_call(P::rate_control_mode, V::ui4(1))},
       nope + "UnconstrainedVBR mean=6000k max=n/a bframes=0 lowlatency=1"},
      {{set_value_call(P::rate_control_mode, V::ui4(1)),
        set_value_call(P::rate_control_mode, V::ui4(2)),
        set_value_call(P::mean_bit_rate, V::ui4(6'000'000)),
        set_value_call(P::b_picture_count, V::ui4(0)),
        set_value_call(P::low_latency_mode, V::boolean(true))},
       nope + "implicit (refuzat) mean=refuzat max=n/a bframes=refuzat lowlatency=1"},
      {{set_value_call(P::max_bit_rate, V::ui4(12'000'000)),
        set_value_call(P::low_latency_mode, V::boolean(true)),
        set_value_call(P::low_latency_mode, V::ui4(1))},
       nope + "PeakConstrainedVBR mean=6000k max=refuzat bframes=0 lowlatency=refuzat"},
  };
  for (const Case& c : cases) {
    FakeMediaFoundation mf;
    auto t = mf.add();
    for (const auto& call : c.refused) t->failures[call] = static_cast<std::int32_t>(0x80070057);
    log_.clear();
    ASSERT_TRUE(HardwareEncoder::create(mf, 64, 48, 30, 6000, 100, log_, clock_).has_value());
    EXPECT_THAT(log_.lines_with("rate control="), ElementsAre(c.line));
    const bool peak = c.line.find("max=n/a") == std::string::npos;
    EXPECT_EQ(t->count(set_value_call(P::max_bit_rate, V::ui4(12'000'000))), peak ? 1 : 0);
  }
  // Refused key-frame spacing and GOP size are logged and set-up goes on.
  FakeMediaFoundation mf;
  auto t = mf.add();
  t->failures[set_value_call(P::b_picture_count, V::ui4(0))] = 1;
  t->failures["Set(max_keyframe_spacing)"] = static_cast<std::int32_t>(0xC00D36B9);
  t->failures[set_value_call(P::gop_size, V::ui4(18'000))] = static_cast<std::int32_t>(0x80004001);
  log_.clear();
  ASSERT_TRUE(HardwareEncoder::create(mf, 64, 48, 30, 6000, 100, log_, clock_).has_value());
  EXPECT_THAT(log_.lines(),
              IsSupersetOf({nope + "PeakConstrainedVBR mean=6000k max=12000k bframes=refuzat "
                                   "lowlatency=1",
                            std::string("ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING nesuportat "
                                        "(0xC00D36B9)"),
                            std::string("ENCODER hw: CODECAPI_AVEncMPVGOPSize nesuportat "
                                        "(0x80004001)")}));
}

TEST_F(HardwareEncoderTest, WithoutCodecApiKeyFramesOnlyMarkTheSample) {
  auto t = add();
  t->failures["QueryInterface(ICodecAPI)"] = static_cast<std::int32_t>(0x80004002);
  HardwareEncoder encoder = make();
  EXPECT_THAT(log_.lines(), Contains("ENCODER hw: ICodecAPI indisponibil (fara GOP/ForceKeyFrame)"));
  EXPECT_THAT(log_.lines_with("rate control"), ElementsAre());

  log_.clear();
  encoder.force_key_frame();
  EXPECT_THAT(log_.lines_with("ForceKeyFrame"), ElementsAre());
  ASSERT_TRUE(encoder.encode(frame()).has_value());
  ASSERT_TRUE(encoder.encode(frame()).has_value());
  EXPECT_TRUE(t->inputs.at(4).discontinuity);
  EXPECT_FALSE(t->inputs.at(5).discontinuity);
}

TEST_F(HardwareEncoderTest, ForceKeyFrameAsksTheCodecApiAndLogsTheOutcomeOncePerSecond) {
  auto t = add();
  HardwareEncoder encoder = make();
  // Creation asks too: the validation frames had the transform's first one.
  EXPECT_THAT(log_.lines_with("ForceKeyFrame"),
              ElementsAre("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)"));
  log_.clear();
  for (int i = 0; i < 5; ++i) encoder.force_key_frame();  // the same line, within the second
  clock_.advance(1s);
  encoder.force_key_frame();
  t->failures[set_value_call(MfCodecProperty::force_key_frame, MfCodecValue::ui4(1))] =
      static_cast<std::int32_t>(0x80004001);
  encoder.force_key_frame();  // another text: at once
  encoder.force_key_frame();
  EXPECT_THAT(log_.lines(),
              ElementsAre("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)",
                          "ENCODER hw: ForceKeyFrame esuat (0x80004001) - fallback CleanPoint/GOP"));
  EXPECT_EQ(t->count(set_value_call(MfCodecProperty::force_key_frame, MfCodecValue::ui4(1))), 9);
}

TEST_F(HardwareEncoderTest, CandidateRefusingTheOutputTypeIsSkippedForTheNext) {
  auto first = add(u"First");
  auto second = add(u"Second");
  first->failures["SetOutputType"] = static_cast<std::int32_t>(0xC00D6D60);
  HardwareEncoder encoder = make();
  const auto lines = log_.lines();
  EXPECT_THAT(lines, IsSupersetOf({"ENCODER enum: gasit 2 encodere HW", "ENCODER enum: [0] First",
                                   "ENCODER enum: [1] Second", "ENCODER: skip First: 0xC00D6D60",
                                   "ENCODER: hardware activat: Second"}));
  EXPECT_EQ(log_.lines_with("ENCODER: skip").size(), 1U);
  // Whatever was made for the first candidate is released.
  EXPECT_EQ(first->live_objects, 0);
  EXPECT_EQ(first->count("ProcessMessage(BEGIN_STREAMING)"), 0);
  EXPECT_EQ(second->input_types.size(), 1U);
}

TEST_F(HardwareEncoderTest, CreationFailuresNameTheirCause) {
  struct Case {
    std::string name;
    std::function<void(FakeMediaFoundation&)> script;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no encoder", [](FakeMediaFoundation&) {},
       "init: No hardware H.264 encoder found (0xFFFFFFFF)"},
      {"startup",
       [](FakeMediaFoundation& mf) {
         mf.add();
         mf.startup_hr = static_cast<std::int32_t>(0xC00D36E3);
       },
       "init: startup refused (0xC00D36E3)"},
      {"enumeration",
       [](FakeMediaFoundation& mf) { mf.enumerate_hr = static_cast<std::int32_t>(0x80070005); },
       "init: enum refused (0x80070005)"},
      {"all candidates fail",
       [](FakeMediaFoundation& mf) {
         mf.add(u"A")->failures["ActivateObject"] = static_cast<std::int32_t>(0x80004005);
         mf.add(u"B")->failures["SetInputType"] = static_cast<std::int32_t>(0xC00D6D60);
       },
       "init: fake failure (0xC00D6D60)"},
      {"async unlock refused",
       [](FakeMediaFoundation& mf) {
         auto t = mf.add();
         t->asynchronous = true;
         t->failures["SetUINT32(async_unlock,1)"] = static_cast<std::int32_t>(0x80070005);
       },
       "init: fake failure (0x80070005)"},
      {"start of stream refused",
       [](FakeMediaFoundation& mf) {
         mf.add()->failures["ProcessMessage(START_OF_STREAM)"] = static_cast<std::int32_t>(0x8000FFFF);
       },
       "init: fake failure (0x8000FFFF)"},
      {"validation frame refused, next candidate not tried",
       [](FakeMediaFoundation& mf) {
         mf.add()->failures["ProcessInput"] = static_cast<std::int32_t>(0xC00D36B4);
         mf.add(u"Never");
       },
       "validation: HW encode frame 0: fake failure (0xC00D36B4)"},
  };
  for (const Case& c : cases) {
    FakeMediaFoundation mf;
    c.script(mf);
    log_.clear();
    auto encoder = HardwareEncoder::create(mf, 64, 48, 30, 6000, 100, log_, clock_);
    ASSERT_FALSE(encoder.has_value()) << c.name;
    EXPECT_EQ(encoder.error().text(), c.error) << c.name;
    for (auto& t : mf.transforms) {
      EXPECT_EQ(t->live_objects, 0) << c.name;
      if (t->name == u"Never") {
        EXPECT_EQ(t->count("ActivateObject"), 0);
      }
    }
  }
}

TEST_F(HardwareEncoderTest, FriendlyNamesUnreadableOrInvalid) {
  add()->name_unreadable = true;
  add(std::u16string(u"Bad\xD800"));
  add(u"Encod\u0103tor");
  make();
  EXPECT_THAT(log_.lines(), IsSupersetOf({"ENCODER enum: [0] unknown", "ENCODER enum: [1] ",
                                          "ENCODER enum: [2] Encod\u0103tor"}));
}

TEST_F(HardwareEncoderTest, UnreadableAttributesMeanSynchronousWithoutLowLatencyAttribute) {
  auto t = add();
  t->asynchronous = true;  // would be, if anyone could read it
  t->failures["GetAttributes"] = static_cast<std::int32_t>(0x80004001);
  HardwareEncoder encoder = make();
  EXPECT_FALSE(encoder.asynchronous());
  EXPECT_EQ(t->count("SetUINT32(low_latency,1)"), 0);
  EXPECT_EQ(t->count("QueryInterface(IMFMediaEventGenerator)"), 0);
}

TEST_F(HardwareEncoderTest, SynchronousOutputCollection) {
  auto t = add();
  HardwareEncoder encoder = make();
  log_.clear();
  struct Case {
    std::vector<FakeOutput> outputs;
    std::vector<std::uint8_t> want;
  };
  const std::int32_t need = kMfNeedMoreInput;
  const std::vector<Case> cases = {
      {{{0, {{0, 0, 1, 0x41}}}, {need, {}}}, {0, 0, 1, 0x41}},
      {{{need, {}}}, {}},
      // Two samples, three buffers.
      {{{0, {{0, 0, 1}, {0x41}}}, {0, {{0, 0, 1, 0x41}}}, {need, {}}}, {0, 0, 1, 0x41, 0, 0, 1, 0x41}},
      {{{kMfUnexpected, {}}}, {}},
  };
  for (const Case& c : cases) {
    t->outputs.assign(c.outputs.begin(), c.outputs.end());
    auto out = encoder.encode(frame());
    ASSERT_TRUE(out.has_value()) << out.error().text();
    EXPECT_EQ(*out, c.want);
    EXPECT_TRUE(t->outputs.empty());
  }
  EXPECT_THAT(log_.lines_with("E_UNEXPECTED"),
              ElementsAre("ENCODER hw: ProcessOutput E_UNEXPECTED (benign, no output)"));
  EXPECT_EQ(log_.lines_with("NEED_MORE_INPUT").size(), 3U);
}

TEST_F(HardwareEncoderTest, SamplesPerCallLineAtMostEveryFiveSeconds) {
  auto t = add();
  HardwareEncoder encoder = make();
  log_.clear();
  const FakeOutput two{0, {{0, 0, 1, 0x41}}};
  const FakeOutput need{kMfNeedMoreInput, {}};
  auto call = [&](std::vector<FakeOutput> outputs) {
    t->outputs.assign(outputs.begin(), outputs.end());
    ASSERT_TRUE(encoder.encode(frame()).has_value());
  };
  call({two, two, need});        // logged
  clock_.advance(4999ms);
  call({two, two, two, need});   // too soon
  clock_.advance(1ms);
  call({two, need});             // one sample
  call({two, two, two, need});   // 5 s after the first line
  EXPECT_THAT(log_.lines_with("sample-uri"),
              ElementsAre("ENCODER hw: 2 sample-uri intr-un apel",
                          "ENCODER hw: 3 sample-uri intr-un apel"));
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
  EXPECT_THAT(log_.lines(), ElementsAre("ENCODER hw: STREAM_CHANGE (template 1920x1088) -> forced "
                                        "output 1366x768"));
  ASSERT_EQ(t->output_types.size(), 2U);
  EXPECT_EQ(t->output_types[1].at(MfTypeKey::frame_size), pack(1366, 768));
  EXPECT_EQ(t->output_types[1].at(MfTypeKey::mpeg2_profile), 100U);
  EXPECT_EQ(t->output_types[1].at(MfTypeKey::avg_bitrate), 6'000'000U);
  EXPECT_EQ(t->inputs.back().bytes, nv12_size(1365, 767));
  EXPECT_EQ(t->input_types[0].at(MfTypeKey::frame_size), pack(1366, 768));

  // The frame's input is still waiting: the stream change ended the call.
  log_.clear();
  for (int frame = 17; frame < 27; ++frame) ASSERT_TRUE(encoder.encode(this->frame(1365, 767)));
  EXPECT_EQ(log_.lines_with("ProcessOutput").size(), 20U);
}

TEST_F(HardwareEncoderTest, FailuresOfTheFrameAndWhatTheyLeave) {
  auto t = add();
  HardwareEncoder encoder = make();
  t->calls.clear();
  log_.clear();

  // No sample could be made: the request stays for the next frame.
  encoder.force_key_frame();
  t->failures["MFCreateSample(input)"] = static_cast<std::int32_t>(0x8007000E);
  auto failed = encoder.encode(frame());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().text(), "fake failure (0x8007000E)");
  t->failures.clear();

  // The transform refuses the marked sample: the mark is spent.
  t->failures["ProcessInput"] = static_cast<std::int32_t>(0xC00D36B5);
  failed = encoder.encode(frame());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().text(), "fake failure (0xC00D36B5)");
  t->failures.clear();
  ASSERT_TRUE(encoder.encode(frame()).has_value());
  ASSERT_EQ(t->inputs.size(), 6U);
  EXPECT_TRUE(t->inputs[4].discontinuity);
  EXPECT_FALSE(t->inputs[5].discontinuity);
  EXPECT_EQ(t->inputs[5].time - t->inputs[4].time, 333'333);

  // An unexpected output result is logged whatever the countdown.
  t->outputs = {{static_cast<std::int32_t>(0x80004005), {}}};
  failed = encoder.encode(frame());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().text(), "fake answer (0x80004005)");
  EXPECT_THAT(log_.lines(), IsSupersetOf({"ENCODER hw: ProcessInput ERR 0xC00D36B5",
                                          "ENCODER hw: ProcessOutput ERR 0x80004005"}));

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

TEST_F(HardwareEncoderTest, EndlessOutputFailsTheFrameInsteadOfHanging) {
  auto t = add();
  HardwareEncoder encoder = make();
  t->outputs.assign(1000, FakeOutput{0, {{0, 0, 1, 0x41}}});
  auto out = encoder.encode(frame());
  ASSERT_FALSE(out.has_value());
  EXPECT_THAT(out.error().text(), HasSubstr("more than 64 outputs in one call"));
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
  const auto waits = t->waits.size();
  for (int frame = 4; frame < 8; ++frame) {
    auto out = encoder.encode(this->frame());
    ASSERT_TRUE(out.has_value()) << out.error().text();
    EXPECT_EQ(*out, frame == 4 ? t->key_output : t->default_output);
  }
  EXPECT_EQ(t->waits.size(), waits);

  // Without a stored request the encoder waits for one, taking output that
  // comes first.
  t->auto_events = false;
  auto quiet = encoder.encode(frame());  // uses the stored request; nothing comes back
  ASSERT_TRUE(quiet.has_value());
  EXPECT_TRUE(quiet->empty());
  EXPECT_EQ(t->waits.size(), waits);
  t->events = {kMfEventHaveOutput, 999, kMfEventNeedInput};
  t->outputs = {{0, {{0, 0, 1, 5}}}};
  auto out = encoder.encode(frame());
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, (std::vector<std::uint8_t>{0, 0, 1, 5}));
  EXPECT_GT(t->waits.size(), waits);
}

TEST_F(HardwareEncoderTest, SilentAsynchronousTransformFailsTheFrameWithinTheBound) {
  auto t = add();
  t->asynchronous = true;
  t->auto_events = false;
  t->events = {kMfEventNeedInput};  // enough for the first validation frame only
  auto encoder = create();
  ASSERT_FALSE(encoder.has_value());
  EXPECT_EQ(encoder.error().text(),
            "validation: HW encode frame 1: no input request from the transform within 300 ms "
            "(0x800705B4)");

  // Stalling after creation: each frame fails after at most the bound, and a
  // transform that keeps posting only output ends the same way.
  FakeMediaFoundation mf;
  auto hung = mf.add();
  hung->clock = &clock_;
  hung->asynchronous = true;
  auto created = HardwareEncoder::create(mf, 64, 48, 30, 6000, 100, log_, clock_);
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

// What cannot be H.264 never leaves the encoder: the call fails (so the
// facade counts it and asks for a key frame), the output before it stays.
TEST_F(HardwareEncoderTest, OutputThatCannotBeH264FailsTheCall) {
  const std::vector<std::uint8_t> good{0, 0, 0, 1, 0x41, 0x9A};
  struct Case { const char* name; std::vector<std::vector<std::uint8_t>> buffers; std::string error; };
  const std::vector<Case> cases = {
      {"empty sample", {{}}, "empty output sample (0x8007000D)"},
      {"no start code", {{0x41, 0x9A, 0, 0, 1, 0x41}}, "output that is not H.264 (Annex-B) (0x8007000D)"},
      {"forbidden bit", {{0, 0, 1, 0xC1, 0x9A}}, "output that is not H.264 (Annex-B) (0x8007000D)"},
      {"absurd length", {std::vector<std::uint8_t>(HardwareEncoder::kMaxSampleBytes + 1, 0)}, "too long (0x8007000D)"},
  };
  auto t = add();
  HardwareEncoder encoder = make();
  ASSERT_TRUE(encoder.encode(frame()).has_value());
  for (const Case& c : cases) {
    t->outputs = {{0, {good}}, {0, c.buffers}};
    auto out = encoder.encode(frame());
    ASSERT_FALSE(out.has_value()) << c.name;
    EXPECT_EQ(out.error().text(), c.error) << c.name;
    EXPECT_EQ(*out, good) << c.name;
  }
}

}  // namespace
}  // namespace halvorine
