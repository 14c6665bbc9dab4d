// The Media Foundation backend against the platform's real Media Foundation
// (Wine's here), with the test transform of test_transform.h standing in for
// a hardware encoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "encoder/transform_api.h"
#include "encoder/win/media_foundation_fixture.h"
#include "encoder/win/test_transform.h"
#include "encoder/win/win_media_foundation.h"
#include "encoder/win/win_transform.h"

namespace halvorine::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TEST_F(MediaFoundationTest, StartsAndFindsNoHardwareEncoderUnderWine) {
  WinMediaFoundation platform;
  ASSERT_TRUE(platform.startup().has_value());
  ASSERT_TRUE(platform.startup().has_value());  // every encoder creation starts it again
  auto candidates = platform.enumerate_h264_encoders();
  ASSERT_TRUE(candidates.has_value()) << candidates.error().text();
  if (!candidates->empty()) GTEST_SKIP() << "this machine has a hardware H.264 encoder";
}

TEST_F(MediaFoundationTest, LocalTransformIsFoundOnlyWhenLocalOnesAreAsked) {
  auto record = std::make_shared<TransformRecord>();
  LocalRegistration registration(TestTransformConfig{}, record);
  ASSERT_TRUE(registration.ok());

  WinMediaFoundation product;
  ASSERT_TRUE(product.startup().has_value());
  auto hardware_only = product.enumerate_h264_encoders();
  ASSERT_TRUE(hardware_only.has_value());
  for (auto& candidate : *hardware_only) {
    EXPECT_NE(candidate->friendly_name().value_or(u""), kTestTransformName);
  }

  WinMediaFoundation with_local(kHardwareEncoderEnumFlags | MFT_ENUM_FLAG_LOCALMFT);
  ASSERT_TRUE(with_local.startup().has_value());
  auto candidates = with_local.enumerate_h264_encoders();
  ASSERT_TRUE(candidates.has_value()) << candidates.error().text();
  ASSERT_EQ(candidates->size(), 1u);
  auto transform = candidates->front()->activate();
  ASSERT_TRUE(transform.has_value()) << transform.error().text();
  EXPECT_EQ(record->created, 1);
  // Wine's activation object for a local transform carries no friendly
  // name; the logic then calls the encoder "unknown".
  auto name = candidates->front()->friendly_name();
  if (name) {
    EXPECT_EQ(*name, kTestTransformName);
  }

  transform->reset();
  candidates->clear();
  EXPECT_EQ(record->alive, 0) << "every reference to the transform is released";
}

TEST_F(MediaFoundationTest, MediaTypeAttributesReachTheTransformUnderTheirGuids) {
  auto record = std::make_shared<TransformRecord>();
  WinMediaFoundation platform;
  WinTransform transform(make_test_transform({}, record));
  auto type = platform.create_media_type();
  ASSERT_TRUE(type.has_value());
  MfMediaType& t = **type;
  ASSERT_TRUE(t.set_guid(MfTypeKey::major_type, MfTypeGuid::video));
  ASSERT_TRUE(t.set_guid(MfTypeKey::subtype, MfTypeGuid::h264));
  ASSERT_TRUE(t.set_uint64(MfTypeKey::frame_size, (std::uint64_t{1366} << 32) | 768));
  ASSERT_TRUE(t.set_uint64(MfTypeKey::frame_rate, (std::uint64_t{30} << 32) | 1));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::interlace_mode, 2));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::avg_bitrate, 6'000'000));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::mpeg2_profile, 100));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::nominal_range, 2));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::yuv_matrix, 1));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::video_primaries, 2));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::transfer_function, 5));
  ASSERT_TRUE(t.set_uint32(MfTypeKey::max_keyframe_spacing, 18'000));
  ASSERT_TRUE(transform.set_output_type(t));
  EXPECT_EQ(t.get_uint64(MfTypeKey::frame_size).value_or(0), (std::uint64_t{1366} << 32) | 768);
  EXPECT_FALSE(t.get_uint64(MfTypeKey::avg_bitrate).has_value())
      << "a UINT32 attribute is not read as UINT64";

  ASSERT_EQ(record->output_types.size(), 1u);
  IMFMediaType* seen = record->output_types[0].get();
  EXPECT_EQ(guid_of(seen, MF_MT_MAJOR_TYPE), MFMediaType_Video);
  EXPECT_EQ(guid_of(seen, MF_MT_SUBTYPE), MFVideoFormat_H264);
  EXPECT_EQ(uint64_of(seen, MF_MT_FRAME_SIZE), (std::uint64_t{1366} << 32) | 768);
  EXPECT_EQ(uint64_of(seen, MF_MT_FRAME_RATE), (std::uint64_t{30} << 32) | 1);
  EXPECT_EQ(uint32_of(seen, MF_MT_INTERLACE_MODE), 2u);
  EXPECT_EQ(uint32_of(seen, MF_MT_AVG_BITRATE), 6'000'000u);
  EXPECT_EQ(uint32_of(seen, MF_MT_MPEG2_PROFILE), 100u);
  EXPECT_EQ(uint32_of(seen, MF_MT_VIDEO_NOMINAL_RANGE), 2u);
  EXPECT_EQ(uint32_of(seen, MF_MT_YUV_MATRIX), 1u);
  EXPECT_EQ(uint32_of(seen, MF_MT_VIDEO_PRIMARIES), 2u);
  EXPECT_EQ(uint32_of(seen, MF_MT_TRANSFER_FUNCTION), 5u);
  EXPECT_EQ(uint32_of(seen, MF_MT_MAX_KEYFRAME_SPACING), 18'000u);
  UINT32 count = 0;
  seen->GetCount(&count);
  EXPECT_EQ(count, 12u);

  auto nv12 = platform.create_media_type();
  ASSERT_TRUE(nv12 && (*nv12)->set_guid(MfTypeKey::subtype, MfTypeGuid::nv12));
  ASSERT_TRUE(transform.set_input_type(**nv12));
  ASSERT_EQ(record->input_types.size(), 1u);
  EXPECT_EQ(guid_of(record->input_types[0].get(), MF_MT_SUBTYPE), MFVideoFormat_NV12);
}

TEST_F(MediaFoundationTest, CodecValuesAndTransformAttributesUseTheSdkGuids) {
  auto record = std::make_shared<TransformRecord>();
  WinTransform transform(make_test_transform({.asynchronous = true}, record));
  auto codec = transform.codec_api();
  ASSERT_TRUE(codec.has_value());
  const std::pair<MfCodecProperty, GUID> properties[] = {
      {MfCodecProperty::rate_control_mode, CODECAPI_AVEncCommonRateControlMode},
      {MfCodecProperty::mean_bit_rate, CODECAPI_AVEncCommonMeanBitRate},
      {MfCodecProperty::max_bit_rate, CODECAPI_AVEncCommonMaxBitRate},
      {MfCodecProperty::b_picture_count, CODECAPI_AVEncMPVDefaultBPictureCount},
      {MfCodecProperty::low_latency_mode, CODECAPI_AVLowLatencyMode},
      {MfCodecProperty::gop_size, CODECAPI_AVEncMPVGOPSize},
      {MfCodecProperty::force_key_frame, CODECAPI_AVEncVideoForceKeyFrame},
  };
  for (std::uint32_t i = 0; i < std::size(properties); ++i) {
    ASSERT_TRUE((*codec)->set_value(properties[i].first, MfCodecValue::ui4(1000 + i)));
  }
  ASSERT_TRUE((*codec)->set_value(MfCodecProperty::low_latency_mode, MfCodecValue::boolean(true)));
  ASSERT_EQ(record->codec_values.size(), std::size(properties) + 1);
  for (std::size_t i = 0; i < std::size(properties); ++i) {
    EXPECT_EQ(record->codec_values[i].property, properties[i].second) << "property " << i;
    EXPECT_EQ(record->codec_values[i].type, VT_UI4);
    EXPECT_EQ(record->codec_values[i].value, 1000 + i);
  }
  EXPECT_EQ(record->codec_values.back().type, VT_BOOL);
  EXPECT_EQ(record->codec_values.back().value, 0xFFFFu) << "VARIANT_TRUE";

  auto attributes = transform.attributes();
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ((*attributes)->get_uint32(MfTransformKey::async).value_or(0), 1u);
  ASSERT_TRUE((*attributes)->set_uint32(MfTransformKey::async_unlock, 1));
  ASSERT_TRUE((*attributes)->set_uint32(MfTransformKey::low_latency, 1));
  EXPECT_EQ(uint32_of(record->attributes.get(), MF_TRANSFORM_ASYNC_UNLOCK), 1u);
  EXPECT_EQ(uint32_of(record->attributes.get(), MF_LOW_LATENCY), 1u);

  WinTransform without(make_test_transform({.codec_api = false}, record));
  auto none = without.codec_api();
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(static_cast<std::uint32_t>(none.error().code()), 0x80004002u) << "E_NOINTERFACE";
  EXPECT_FALSE(without.event_queue().has_value()) << "a synchronous transform has no events";
}

TEST_F(MediaFoundationTest, InputSampleCarriesBytesTimesAndDiscontinuity) {
  auto record = std::make_shared<TransformRecord>();
  WinMediaFoundation platform;
  WinTransform transform(make_test_transform({}, record));
  std::vector<std::uint8_t> nv12(1366 * 768 * 3 / 2);
  for (std::size_t i = 0; i < nv12.size(); ++i) nv12[i] = static_cast<std::uint8_t>(i * 7);

  auto first = platform.create_input_sample(nv12, 4 * 333'333, 333'333);
  ASSERT_TRUE(first.has_value()) << first.error().text();
  ASSERT_TRUE((*first)->set_discontinuity());
  ASSERT_TRUE(transform.process_input(**first));
  auto output_sample = platform.create_output_sample(1 << 20);
  ASSERT_TRUE(output_sample.has_value());
  auto output = transform.process_output(std::move(*output_sample));
  ASSERT_TRUE(output.has_value()) << output.error().text();
  auto second = platform.create_input_sample(std::span(nv12).first(16), 5 * 333'333, 333'333);
  ASSERT_TRUE(second && transform.process_input(**second));

  ASSERT_EQ(record->inputs.size(), 2u);
  EXPECT_EQ(record->inputs[0].time, 4 * 333'333);
  EXPECT_EQ(record->inputs[0].duration, 333'333);
  EXPECT_TRUE(record->inputs[0].discontinuity);
  EXPECT_EQ(record->inputs[0].buffer_count, 1u);
  EXPECT_TRUE(record->inputs[0].bytes == nv12) << "the whole NV12 frame, byte for byte";
  EXPECT_EQ(record->inputs[1].time, 5 * 333'333);
  EXPECT_FALSE(record->inputs[1].discontinuity);
  EXPECT_THAT(record->inputs[1].bytes, ElementsAreArray(nv12.data(), 16));
}

// Output through our 1 MiB sample and through the transform's own sample;
// need-more-input and stream change keep their codes for the logic.
TEST_F(MediaFoundationTest, OutputStepsReadEveryBufferAndKeepTheCodes) {
  for (const bool provides : {false, true}) {
    SCOPED_TRACE(provides ? "transform provides samples" : "we provide samples");
    auto record = std::make_shared<TransformRecord>();
    WinMediaFoundation platform;
    WinTransform transform(make_test_transform(
        {.provides_samples = provides, .stream_change_at = 1, .template_width = 800}, record));
    EXPECT_EQ(transform.output_stream_flags().value_or(0xFFFF) & kMfOutputProvidesSamples,
              provides ? kMfOutputProvidesSamples : 0u);
    auto next_sample = [&]() -> std::unique_ptr<MfSample> {
      if (provides) return nullptr;
      auto sample = platform.create_output_sample(1 << 20);
      EXPECT_TRUE(sample.has_value());
      return sample ? std::move(*sample) : nullptr;
    };

    auto nothing = transform.process_output(next_sample());
    ASSERT_FALSE(nothing.has_value());
    EXPECT_EQ(nothing.error().code(), kMfNeedMoreInput);

    const std::uint8_t frame[4] = {1, 2, 3, 4};
    auto input = platform.create_input_sample(frame, 0, 1);
    ASSERT_TRUE(input.has_value()) << input.error().text();
    ASSERT_TRUE(transform.process_input(**input));
    auto change = transform.process_output(next_sample());
    ASSERT_FALSE(change.has_value());
    EXPECT_EQ(change.error().code(), kMfStreamChange);
    auto offered = transform.output_available_type(0);
    ASSERT_TRUE(offered.has_value());
    EXPECT_EQ((*offered)->get_uint64(MfTypeKey::frame_size).value_or(0),
              (std::uint64_t{800} << 32) | 480);
    EXPECT_FALSE(transform.output_available_type(1).has_value());

    auto produced = transform.process_output(next_sample());
    ASSERT_TRUE(produced.has_value()) << produced.error().text();
    ASSERT_NE(*produced, nullptr);
    EXPECT_EQ((*produced)->buffer_count().value_or(0), 1u);
    std::vector<std::uint8_t> bytes = {0xAA};
    ASSERT_TRUE((*produced)->append_buffer(0, bytes));
    std::vector<std::uint8_t> expected = {0xAA};
    for (std::uint8_t b : test_transform_output(0)) expected.push_back(b);
    EXPECT_EQ(bytes, expected) << "appended after what was there";
    EXPECT_FALSE((*produced)->append_buffer(1, bytes).has_value());
    EXPECT_EQ(bytes, expected) << "a failed read leaves the output as it was";
  }
}

TEST_F(MediaFoundationTest, MessagesReachTheTransform) {
  auto record = std::make_shared<TransformRecord>();
  WinTransform transform(make_test_transform({}, record));
  ASSERT_TRUE(transform.process_message(MfMessage::notify_begin_streaming));
  ASSERT_TRUE(transform.process_message(MfMessage::notify_start_of_stream));
  EXPECT_THAT(record->messages,
              ElementsAre(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM));
}

// The bounded wait: a request that timed out stays outstanding, and the
// event that completes it is handed out exactly once, by poll() or wait().
TEST_F(MediaFoundationTest, EventQueueWaitsWithALimitAndKeepsOneRequest) {
  auto record = std::make_shared<TransformRecord>();
  {
    WinTransform transform(make_test_transform({.asynchronous = true}, record));
    auto queue_result = transform.event_queue();
    ASSERT_TRUE(queue_result.has_value()) << queue_result.error().text();
    MfEventQueue& queue = **queue_result;
    IMFMediaEventQueue* events = record->events.get();

    auto empty = queue.poll();
    ASSERT_TRUE(empty.has_value());
    EXPECT_FALSE(empty->has_value());

    ASSERT_TRUE(transform.process_message(MfMessage::notify_start_of_stream));
    EXPECT_EQ(queue.poll().value_or(std::nullopt), kMfEventNeedInput);
    EXPECT_FALSE(queue.poll().value_or(0).has_value());

    const auto started = std::chrono::steady_clock::now();
    auto timed_out = queue.wait(30ms);
    const auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(timed_out.has_value()) << timed_out.error().text();
    EXPECT_FALSE(timed_out->has_value());
    EXPECT_GE(waited, 25ms);
    EXPECT_LT(waited, 5s);
    EXPECT_FALSE(queue.poll().value_or(0).has_value()) << "nothing posted yet";

    // Posted while the timed-out request is outstanding: it completes that
    // request, and poll() collects it instead of asking the queue again.
    ASSERT_EQ(events->QueueEventParamVar(kMfEventHaveOutput, GUID_NULL, S_OK, nullptr), S_OK);
    std::optional<std::uint32_t> collected;
    for (int i = 0; i < 200 && !collected; ++i) {
      collected = queue.poll().value_or(std::nullopt);
      if (!collected) Sleep(5);
    }
    EXPECT_EQ(collected, kMfEventHaveOutput);

    // A new wait makes a new request and gets an event posted meanwhile.
    ASSERT_EQ(events->QueueEventParamVar(kMfEventNeedInput, GUID_NULL, S_OK, nullptr), S_OK);
    EXPECT_EQ(queue.wait(5s).value_or(std::nullopt), kMfEventNeedInput);

    // Left outstanding when the queue object goes away.
    EXPECT_FALSE(queue.wait(1ms).value_or(0).has_value());
  }
  // The outstanding request holds the transform until its queue ends it.
  EXPECT_EQ(record->alive, 1);
  ASSERT_EQ(record->events->Shutdown(), S_OK);
  for (int i = 0; i < 200 && record->alive != 0; ++i) Sleep(5);
  EXPECT_EQ(record->alive, 0);
}

TEST_F(MediaFoundationTest, EventQueueReportsAFailedRequest) {
  auto record = std::make_shared<TransformRecord>();
  WinTransform transform(make_test_transform({.asynchronous = true}, record));
  auto queue = transform.event_queue();
  ASSERT_TRUE(queue.has_value());
  ASSERT_EQ(record->events->Shutdown(), S_OK);
  auto result = (*queue)->wait(5s);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(static_cast<std::uint32_t>(result.error().code()), 0xC00D3E85u) << "MF_E_SHUTDOWN";
}

}  // namespace
}  // namespace halvorine::testing
