// A test-only H.264 "encoder" transform: an in-process COM object that
// implements IMFTransform (and, as configured, ICodecAPI and the event
// generator and IMFShutdown of an asynchronous transform) on top of Wine's or
// Windows' own Media Foundation objects. It encodes nothing: it records what
// the backend hands it (media types, codec values, input samples) and answers
// each input with one small access unit, a key frame or a P-frame as an
// encoder would choose, so tests can follow the real sample, buffer and event
// calls end to end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/win/com_ptr.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine::testing {

struct TestTransformConfig {
  bool asynchronous = false;
  bool codec_api = true;
  bool provides_samples = false;
  // SetOutputType fails with MF_E_INVALIDMEDIATYPE.
  bool refuses_output_type = false;
  // Asynchronous only: false makes a transform that never posts an event.
  bool posts_events = true;
  // Asynchronous only: falls silent once it has taken this many inputs.
  std::optional<std::size_t> silent_after_inputs;
  // Asynchronous only: like a hardware encoder's pipeline, it asks for the
  // next input at once and posts METransformHaveOutput this long after the
  // input, from a thread of its own (0: at once, from ProcessInput).
  std::chrono::milliseconds output_delay{0};
  // Asynchronous only: offers IMFShutdown (as an asynchronous transform must).
  bool shutdown_interface = true;
  // The output step number (from 0) answered with MF_E_TRANSFORM_STREAM_CHANGE.
  std::optional<int> stream_change_at;
  // Habits of real hardware transforms: a key frame for the first input only;
  // SPS and PPS only in the output type; a picture out only after this many
  // later inputs; this output step (from 0) fails with E_FAIL, its picture lost.
  bool ignores_key_frames = false;
  bool sets_in_type_only = false;
  std::size_t pipeline_depth = 0;
  std::optional<int> lose_output_at;
  // GetOutputStreamInfo's cbSize; key frames padded to this many bytes (a
  // detailed 4K screen), their input's number still first and last.
  std::uint32_t output_buffer_size = 64;
  std::size_t key_frame_bytes = 0;
  // The frame size GetOutputAvailableType offers after a stream change.
  std::uint32_t template_width = 640;
  std::uint32_t template_height = 480;
};

struct RecordedInput {
  std::int64_t time = 0;
  std::int64_t duration = 0;
  bool discontinuity = false;
  bool key = false;  // answered with a key frame
  std::uint32_t buffer_count = 0;
  std::vector<std::uint8_t> bytes;
};

struct RecordedCodecValue {
  GUID property{};
  VARTYPE type = VT_EMPTY;
  std::uint32_t value = 0;  // ulVal, or boolVal's bits for VT_BOOL
};

// What every transform made by one factory saw, in call order.
struct TransformRecord {
  std::mutex mutex;
  std::atomic<int> created = 0;
  std::atomic<int> alive = 0;  // released on Media Foundation's threads too
  std::atomic<int> shut_down = 0;  // transforms whose IMFShutdown::Shutdown ran
  std::vector<ComPtr<IMFMediaType>> output_types;  // each SetOutputType
  std::vector<ComPtr<IMFMediaType>> input_types;
  std::vector<RecordedCodecValue> codec_values;
  std::vector<MFT_MESSAGE_TYPE> messages;
  std::vector<RecordedInput> inputs;
  ComPtr<IMFAttributes> attributes;  // the last transform's attribute store
  ComPtr<IMFMediaEventQueue> events; // the last asynchronous transform's queue
};

// The output the transform produces for its n-th input (from 0): an Annex-B
// access unit, a delimiter and then either a sequence and a picture parameter
// set and an IDR slice (`key`) or a P slice, the slice ending in n as a byte.
// Its key frames: the first input, an input marked as a discontinuity, and
// the first input after CODECAPI_AVEncVideoForceKeyFrame was set.
std::vector<std::uint8_t> test_transform_output(std::size_t n, bool key, bool with_sets = true);

// A class factory for MFTRegisterLocal; every transform it creates shares
// `record`.
ComPtr<IClassFactory> make_test_transform_factory(TestTransformConfig config,
                                                  std::shared_ptr<TransformRecord> record);

// One transform, for tests that hand it to the backend directly.
ComPtr<IMFTransform> make_test_transform(TestTransformConfig config,
                                         std::shared_ptr<TransformRecord> record);

}  // namespace halvorine::testing
