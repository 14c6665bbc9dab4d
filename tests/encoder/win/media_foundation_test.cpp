// The Media Foundation backend against the platform's real Media Foundation
// (Wine's here), with the test transform of test_transform.h standing in for
// a hardware encoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "encoder/transform_api.h"
#include "encoder/win/media_foundation_fixture.h"
#include "encoder/win/test_transform.h"
#include "encoder/win/win_media_foundation.h"
#include "encoder/win/win_transform.h"

namespace halvorine::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(MediaFoundationTest, LocalTransformIsFoundOnlyWhenLocalOnesAreAsked) {
  auto record = std::make_shared<TransformRecord>();
  Registration registration(TestTransformConfig{}, record);
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

// Output through our 1 MiB sample and through the transform's own sample;
// need-more-input and stream change keep their codes for the logic.
TEST_F(MediaFoundationTest, OutputStepsReadEveryBufferAndKeepTheCodes) {
  for (const bool provides : {false, true}) {
    SCOPED_TRACE(provides ? "transform provides samples" : "we provide samples");
    auto record = std::make_shared<TransformRecord>();
    WinMediaFoundation platform;
    WinTransform transform(make_test_transform(
        {.provides_samples = provides, .stream_change_at = 1, .output_buffer_size = 3 << 20, .template_width = 800},
        record));
    const auto info = transform.output_stream_info();
    ASSERT_TRUE(info.has_value()) << info.error().text();
    EXPECT_EQ(info->flags & kMfOutputProvidesSamples, provides ? kMfOutputProvidesSamples : 0u);
    EXPECT_EQ(info->size, 3u << 20);
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
    ASSERT_TRUE((*produced)->append_buffer(0, bytes, 1 << 20));
    std::vector<std::uint8_t> expected = {0xAA};
    for (std::uint8_t b : test_transform_output(0, true)) expected.push_back(b);
    EXPECT_EQ(bytes, expected) << "appended after what was there";
    EXPECT_FALSE((*produced)->append_buffer(0, bytes, expected.size() - 2).has_value()) << "longer than the limit";
    EXPECT_FALSE((*produced)->append_buffer(1, bytes, 1 << 20).has_value());
    EXPECT_EQ(bytes, expected) << "a failed read leaves the output as it was";
  }
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
  // The outstanding request does not keep the transform, which was shut down.
  EXPECT_EQ(record->alive, 0);
  EXPECT_EQ(record->shut_down, 1);
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
