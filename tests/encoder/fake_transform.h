// A scripted Media Foundation for the hardware encoder's logic: candidates
// whose transforms record every call by name, fail the calls a test names,
// and behave like an encoder otherwise (one output sample per input,
// synchronously or through an event queue; a key frame for the first input
// and for each one marked or asked for through the codec API, a P-frame
// otherwise), with the habits real hardware transforms have: a pipeline some
// inputs deep, parameter sets only in the first IDR or only in the output
// type, key-frame requests ignored, one NAL unit per sample, a lost output,
// a new output type in mid-stream, a refused input, key frames larger than a
// fixed output buffer. Numbered pictures carry their input's index as their
// tag (first_picture_tag).
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoder/transform_api.h"
#include "support/fake_clock.h"
#include "support/h264_stream.h"

namespace halvorine::testing {

// Names as the recorded calls spell them (the enums count from 0).
inline std::string key_name(MfTypeKey key) {
  static constexpr const char* kNames[] = {"major_type",      "subtype",         "frame_size",
                                           "frame_rate",      "interlace_mode",  "avg_bitrate",
                                           "mpeg2_profile",   "nominal_range",   "yuv_matrix",
                                           "video_primaries", "transfer_function", "max_keyframe_spacing",
                                           "sequence_header"};
  return kNames[static_cast<int>(key)];
}
inline std::string key_name(MfTransformKey key) {
  static constexpr const char* kNames[] = {"async", "async_unlock", "low_latency"};
  return kNames[static_cast<int>(key)];
}
// "SetValue(mean_bit_rate,ui4 6000000)", "SetValue(low_latency_mode,bool 1)".
inline std::string set_value_call(MfCodecProperty property, MfCodecValue value) {
  static constexpr const char* kNames[] = {"rate_control_mode", "mean_bit_rate", "max_bit_rate", "b_picture_count",
                                           "low_latency_mode",  "gop_size",      "force_key_frame"};
  return std::string("SetValue(") + kNames[static_cast<int>(property)] +
         (value.type == MfCodecValue::Type::ui4 ? ",ui4 " : ",bool ") + std::to_string(value.value) + ")";
}

// A media type's attributes as set: GUIDs as their enum value.
using TypeValues = std::map<MfTypeKey, std::uint64_t>;

// One answer of ProcessOutput: a failure code, or a sample with these buffers.
struct FakeOutput {
  std::int32_t hr = 0;
  std::vector<std::vector<std::uint8_t>> buffers;
};

// One submitted input sample.
struct FakeInput {
  std::size_t bytes = 0;
  std::int64_t time = 0;
  std::int64_t duration = 0;
  bool discontinuity = false;
  std::size_t content = 0;  // a hash of the picture
  std::optional<FakeClock::MonotonicTime> taken_at, answered_at;  // on the clock, if any: in, and out
};

// Everything one fake transform is told to do and everything it saw. Shared
// by the candidate, the transform and the objects they hand out, so a test
// may change the script at any time.
struct FakeTransformState {
  explicit FakeTransformState(std::u16string name) : name(std::move(name)) {}

  // --- script
  std::u16string name;
  bool name_unreadable = false;
  bool asynchronous = false;
  bool provides_samples = false;
  // GetOutputStreamInfo's cbSize. When it is set, a picture larger than the
  // sample we give fails its output step (MF_E_BUFFERTOOSMALL) and is lost.
  std::uint32_t output_buffer_size = 0;
  // Calls (by their recorded name) that fail, and with which HRESULT.
  std::map<std::string, std::int32_t> failures;
  // ProcessOutput answers in order; when none is left, one sample per input
  // not yet answered (`key_output` or `default_output`), then
  // need-more-input.
  std::deque<FakeOutput> outputs;
  std::vector<std::uint8_t> default_output{0, 0, 0, 1, 0x41, 0x9A};
  std::vector<std::uint8_t> key_output{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88};
  // Asynchronous: post events like an encoder (need-input at start of
  // stream; have-output and need-input after each input). A hung transform
  // posts nothing.
  bool auto_events = true;
  std::deque<std::uint32_t> events;
  FakeClock* clock = nullptr;  // moved by a wait that times out
  // Asynchronous: have-output comes this long after its input (as from a
  // real encoder's own threads), released by polls and waits once due.
  std::chrono::milliseconds output_latency{0};
  std::deque<std::pair<FakeClock::MonotonicTime, std::uint32_t>> scheduled;
  bool numbered = false;  // pictures with frame_num (TestPictures), not the fixed outputs
  enum class Sets { every_idr, first_idr, output_type };
  Sets parameter_sets = Sets::every_idr;
  bool ignores_key_frames = false;   // a key frame for the first input only
  std::size_t pipeline_depth = 0;    // a picture comes out after this many later inputs
  bool nal_per_sample = false;
  bool lose_next_output = false;     // the next sample is lost, its step fails
  bool change_loses_output = false;  // a stream change loses the samples not yet handed out
  // A stream change hands out at once a key frame of the new type, made of
  // the last input (as transforms that renegotiate on their own do).
  bool change_makes_key_frame = false;
  std::int32_t fail_next_input = 0;  // the next ProcessInput fails with this, once
  std::size_t key_frame_bytes = 0;   // key frames are padded to this size

  // --- record
  std::vector<std::string> calls;
  std::vector<TypeValues> output_types;  // as set, in order
  std::vector<TypeValues> input_types;
  std::vector<FakeInput> inputs;
  std::vector<std::uint32_t> output_sample_capacities;
  int live_objects = 0;
  // The stream of the transform activated last, anew with each activation.
  struct Stream {
    std::deque<std::pair<std::size_t, bool>> unanswered;  // inputs not yet answered: index, key frame
    std::deque<std::vector<std::uint8_t>> ready;           // samples to hand out
    bool key_frame_asked = true;  // through the codec API, or the stream's start
    TestPictures pictures;
    int idrs = 0;
    bool new_type = false;  // the next picture starts a new output type
  } stream;

  void release_due() {
    while (!scheduled.empty() && clock != nullptr && scheduled.front().first <= clock->monotonic_now()) {
      events.push_back(scheduled.front().second);
      scheduled.pop_front();
    }
  }
  // Answers the inputs the pipeline lets out, posting have-output per sample.
  void release() {
    for (; stream.unanswered.size() > pipeline_depth; stream.unanswered.pop_front()) {
      const auto [index, asked] = stream.unanswered.front();
      make_picture(index, asked);
    }
  }
  // The picture of input `index`, handed out as one sample or one per NAL unit.
  void make_picture(std::size_t index, bool asked) {
    auto& [unanswered, ready, key_frame_asked, pictures, idrs, new_type] = stream;
    const bool key = asked || std::exchange(new_type, false);
    if (clock != nullptr) inputs.at(index).answered_at = clock->monotonic_now();
    const bool sets = parameter_sets == Sets::every_idr || (parameter_sets == Sets::first_idr && idrs == 0);
    std::vector<std::uint8_t> picture = numbered ? pictures.next(key, sets, index) : key ? key_output : default_output;
    if (key && picture.size() < key_frame_bytes) picture.resize(key_frame_bytes, 0x80);
    idrs += key ? 1 : 0;
    for (std::size_t from = 0, i = 1; i <= picture.size(); ++i) {
      // A sample ends with the picture, or before each start code when one NAL unit goes per sample.
      const bool cut = nal_per_sample && i + 3 < picture.size() && picture[i] == 0 && picture[i + 1] == 0 &&
                       picture[i + 2] == 0 && picture[i + 3] == 1;
      if (i < picture.size() && !cut) continue;
      ready.emplace_back(picture.begin() + from, picture.begin() + i);
      from = i;
      if (!asynchronous || !auto_events) continue;
      if (output_latency.count() > 0 && clock != nullptr) {
        scheduled.emplace_back(clock->monotonic_now() + output_latency, kMfEventHaveOutput);
      } else {
        events.push_back(kMfEventHaveOutput);
      }
    }
  }
  // Answers ProcessOutput with a stream change: a new output type from the next picture on.
  void change_stream() {
    if (change_loses_output) stream.ready.clear();
    stream.pictures.new_type();
    stream.new_type = true;
    if (change_makes_key_frame && !inputs.empty()) make_picture(inputs.size() - 1, true);
  }

  Result<void> call(const std::string& name_of_call) {
    calls.push_back(name_of_call);
    if (auto it = failures.find(name_of_call); it != failures.end()) {
      return std::unexpected(Error::hresult(it->second, "fake failure"));
    }
    return {};
  }
  // Records the call; when it is not scripted to fail, what `then` answers.
  template <class F>
  auto call(const std::string& name_of_call, F then) -> decltype(then()) {
    if (auto r = call(name_of_call); !r) return std::unexpected(r.error());
    return then();
  }
  int count(const std::string& name_of_call) const { return static_cast<int>(std::ranges::count(calls, name_of_call)); }
};

// Counts itself among the state's live objects, so tests see releases.
class FakeObject {
 public:
  explicit FakeObject(std::shared_ptr<FakeTransformState> state) : state_(std::move(state)) { ++state_->live_objects; }
  ~FakeObject() { --state_->live_objects; }
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

 protected:
  std::shared_ptr<FakeTransformState> state_;
};

inline auto absent() { return std::unexpected(Error::hresult(0xC00D36E6, "absent")); }

class FakeMediaType final : public MfMediaType, FakeObject {
 public:
  FakeMediaType(std::shared_ptr<FakeTransformState> state, TypeValues values = {})
      : FakeObject(std::move(state)), values(std::move(values)) {}
  Result<void> set_guid(MfTypeKey key, MfTypeGuid value) override {
    return set(key, static_cast<std::uint64_t>(value));
  }
  Result<void> set_uint32(MfTypeKey key, std::uint32_t value) override { return set(key, value); }
  Result<void> set_uint64(MfTypeKey key, std::uint64_t value) override { return set(key, value); }
  Result<std::uint64_t> get_uint64(MfTypeKey key) override {
    if (auto it = values.find(key); it != values.end()) return it->second;
    return absent();
  }
  Result<std::vector<std::uint8_t>> get_blob(MfTypeKey key, std::size_t max_bytes) override {
    if (key != MfTypeKey::sequence_header || blob.empty() || blob.size() > max_bytes) return absent();
    return blob;
  }
  TypeValues values;
  std::vector<std::uint8_t> blob;

 private:
  Result<void> set(MfTypeKey key, std::uint64_t value) {
    return state_->call("Set(" + key_name(key) + ")", [&]() -> Result<void> { values[key] = value; return {}; });
  }
};

class FakeSample final : public MfSample, FakeObject {
 public:
  FakeSample(std::shared_ptr<FakeTransformState> state, std::size_t input_index)
      : FakeObject(std::move(state)), input_index_(input_index) {}
  FakeSample(std::shared_ptr<FakeTransformState> state, std::vector<std::vector<std::uint8_t>> buffers)
      : FakeObject(std::move(state)), buffers_(std::move(buffers)) {}

  Result<void> set_discontinuity() override {
    return state_->call("SetUINT32(Discontinuity,1)", [&]() -> Result<void> {
      state_->inputs.at(input_index_).discontinuity = true;
      return {};
    });
  }
  std::size_t input_index() const { return input_index_; }
  Result<std::uint32_t> buffer_count() override {
    return state_->call("GetBufferCount", [&]() -> Result<std::uint32_t> { return buffers_.size(); });
  }
  Result<void> append_buffer(std::uint32_t index, std::vector<std::uint8_t>& out, std::size_t limit) override {
    return state_->call("append_buffer", [&]() -> Result<void> {
      const auto& b = buffers_.at(index);
      if (b.size() > limit) return std::unexpected(Error::hresult(kMfInvalidData, "too long"));
      out.insert(out.end(), b.begin(), b.end());
      return {};
    });
  }
  void fill(std::vector<std::vector<std::uint8_t>> buffers) { buffers_ = std::move(buffers); }
  std::size_t capacity = 0;  // of an output sample of ours
  bool fits(const std::vector<std::vector<std::uint8_t>>& buffers) const {
    std::size_t bytes = 0;
    for (const auto& b : buffers) bytes += b.size();
    return bytes <= capacity;
  }

 private:
  std::size_t input_index_ = 0;
  std::vector<std::vector<std::uint8_t>> buffers_;
};

class FakeEventQueue final : public MfEventQueue, FakeObject {
 public:
  using FakeObject::FakeObject;
  Result<std::optional<std::uint32_t>> poll() override {
    return state_->call("GetEvent(NO_WAIT)", [&] { state_->release_due(); return next(); });
  }
  Result<std::optional<std::uint32_t>> wait(std::chrono::milliseconds timeout) override {
    return state_->call("GetEvent(wait)", [&] {
      auto& s = *state_;
      s.release_due();
      // Waits out what is scheduled within the timeout, else the whole timeout.
      if (s.events.empty() && s.clock != nullptr) {
        const bool due = !s.scheduled.empty() && s.scheduled.front().first <= s.clock->monotonic_now() + timeout;
        s.clock->advance(due ? s.scheduled.front().first - s.clock->monotonic_now() : timeout);
        s.release_due();
      }
      return next();
    });
  }

 private:
  Result<std::optional<std::uint32_t>> next() {
    if (state_->events.empty()) return std::optional<std::uint32_t>{};
    const std::uint32_t type = state_->events.front();
    state_->events.pop_front();
    return state_->call("GetType", [&]() -> Result<std::optional<std::uint32_t>> { return type; });
  }
};

class FakeAttributes final : public MfAttributes, FakeObject {
 public:
  using FakeObject::FakeObject;
  Result<std::uint32_t> get_uint32(MfTransformKey key) override {
    return state_->call("GetUINT32(" + key_name(key) + ")", [&]() -> Result<std::uint32_t> {
      if (key == MfTransformKey::async && state_->asynchronous) return 1U;
      return absent();
    });
  }
  Result<void> set_uint32(MfTransformKey key, std::uint32_t value) override {
    return state_->call("SetUINT32(" + key_name(key) + "," + std::to_string(value) + ")");
  }
};

class FakeCodecApi final : public MfCodecApi, FakeObject {
 public:
  using FakeObject::FakeObject;
  Result<void> set_value(MfCodecProperty property, MfCodecValue value) override {
    auto r = state_->call(set_value_call(property, value));
    if (r && property == MfCodecProperty::force_key_frame) state_->stream.key_frame_asked = true;
    return r;
  }
};

class FakeTransform final : public MfTransform, FakeObject {
 public:
  using FakeObject::FakeObject;
  template <class T>
  Result<std::unique_ptr<T>> hand_out(const std::string& call, std::unique_ptr<T> object) {
    return state_->call(call, [&]() -> Result<std::unique_ptr<T>> { return std::move(object); });
  }
  Result<std::unique_ptr<MfAttributes>> attributes() override {
    return hand_out<MfAttributes>("GetAttributes", std::make_unique<FakeAttributes>(state_));
  }
  Result<std::unique_ptr<MfCodecApi>> codec_api() override {
    return hand_out<MfCodecApi>("QueryInterface(ICodecAPI)", std::make_unique<FakeCodecApi>(state_));
  }
  Result<std::unique_ptr<MfEventQueue>> event_queue() override {
    return hand_out<MfEventQueue>("QueryInterface(IMFMediaEventGenerator)", std::make_unique<FakeEventQueue>(state_));
  }
  Result<void> set_output_type(MfMediaType& t) override { return set_type("SetOutputType", state_->output_types, t); }
  Result<void> set_input_type(MfMediaType& t) override { return set_type("SetInputType", state_->input_types, t); }
  Result<std::unique_ptr<MfMediaType>> output_current_type() override {
    auto type = std::make_unique<FakeMediaType>(state_);
    if (state_->parameter_sets == FakeTransformState::Sets::output_type) type->blob = state_->stream.pictures.sets_now();
    return hand_out<MfMediaType>("GetOutputCurrentType", std::move(type));
  }
  // The type a real transform offers after a stream change: its own template size.
  Result<std::unique_ptr<MfMediaType>> output_available_type(std::uint32_t) override {
    TypeValues offered{{MfTypeKey::frame_size, kTemplateSize}};
    return hand_out<MfMediaType>("GetOutputAvailableType", std::make_unique<FakeMediaType>(state_, offered));
  }
  static constexpr std::uint64_t kTemplateSize = std::uint64_t{1920} << 32 | 1088;
  static constexpr std::int32_t kBufferTooSmall = static_cast<std::int32_t>(0xC00D36B1);  // MF_E_BUFFERTOOSMALL
  Result<MfOutputStreamInfo> output_stream_info() override {
    return state_->call("GetOutputStreamInfo", [&]() -> Result<MfOutputStreamInfo> {
      return MfOutputStreamInfo{state_->provides_samples ? kMfOutputProvidesSamples : 0U, state_->output_buffer_size};
    });
  }
  Result<void> process_message(MfMessage message) override {
    const bool start = message == MfMessage::notify_start_of_stream;
    return state_->call(start ? "ProcessMessage(START_OF_STREAM)" : "ProcessMessage(BEGIN_STREAMING)",
                        [&]() -> Result<void> {
                          if (start && state_->asynchronous && state_->auto_events) {
                            state_->events.push_back(kMfEventNeedInput);
                          }
                          return {};
                        });
  }
  Result<void> process_input(MfSample& sample) override {
    if (auto r = state_->call("ProcessInput"); !r) return r;
    auto& s = *state_;
    if (const std::int32_t hr = std::exchange(s.fail_next_input, 0); hr != 0) {
      return std::unexpected(Error::hresult(hr, "fake refusal"));
    }
    const std::size_t index = static_cast<FakeSample&>(sample).input_index();
    if (s.clock != nullptr) s.inputs.at(index).taken_at = s.clock->monotonic_now();
    const bool asked = std::exchange(s.stream.key_frame_asked, false) || s.inputs.at(index).discontinuity;
    const bool first = s.stream.idrs + s.stream.unanswered.size() == 0;
    s.stream.unanswered.emplace_back(index, s.ignores_key_frames ? first : asked);
    s.release();
    if (s.asynchronous && s.auto_events) s.events.push_back(kMfEventNeedInput);
    return {};
  }
  Result<std::unique_ptr<MfSample>> process_output(std::unique_ptr<MfSample> sample) override {
    if (auto r = state_->call(sample ? "ProcessOutput(our sample)" : "ProcessOutput(no sample)"); !r) {
      return std::unexpected(r.error());
    }
    auto& s = *state_;
    FakeOutput answer{kMfNeedMoreInput, {}};
    if (!s.outputs.empty()) {
      answer = std::move(s.outputs.front());
      s.outputs.pop_front();
      if (answer.hr == kMfStreamChange) s.change_stream();
    } else if (!s.stream.ready.empty()) {
      answer = {0, {std::move(s.stream.ready.front())}};
      s.stream.ready.pop_front();
      if (std::exchange(s.lose_next_output, false)) answer = {static_cast<std::int32_t>(0xC00D36B5), {}};
    }
    if (answer.hr == 0 && sample && s.output_buffer_size != 0 &&
        !static_cast<FakeSample&>(*sample).fits(answer.buffers)) {
      answer = {kBufferTooSmall, {}};
    }
    if (answer.hr != 0) return std::unexpected(Error::hresult(answer.hr, "fake answer"));
    if (!sample) return std::make_unique<FakeSample>(state_, std::move(answer.buffers));
    static_cast<FakeSample&>(*sample).fill(std::move(answer.buffers));
    return sample;
  }

 private:
  Result<void> set_type(const std::string& call, std::vector<TypeValues>& record, MfMediaType& type) {
    return state_->call(call, [&]() -> Result<void> {
      record.push_back(static_cast<FakeMediaType&>(type).values);
      return {};
    });
  }
};

class FakeCandidate final : public MfEncoderCandidate, FakeObject {
 public:
  using FakeObject::FakeObject;
  Result<std::u16string> friendly_name() override {
    if (state_->name_unreadable) return absent();
    return state_->name;
  }
  Result<std::unique_ptr<MfTransform>> activate() override {
    return state_->call("ActivateObject", [&]() -> Result<std::unique_ptr<MfTransform>> {
      state_->stream = {};
      return std::make_unique<FakeTransform>(state_);
    });
  }
};

// The platform: enumerates one candidate per transform state, in order.
class FakeMediaFoundation final : public MediaFoundation {
 public:
  // Adds a candidate; the returned state scripts and records it.
  std::shared_ptr<FakeTransformState> add(std::u16string name = u"Fake H264 Encoder MFT") {
    return transforms.emplace_back(std::make_shared<FakeTransformState>(std::move(name)));
  }

  Result<void> startup() override {
    ++startups;
    if (startup_hr != 0) return std::unexpected(Error::hresult(startup_hr, "startup refused"));
    return {};
  }
  Result<std::vector<std::unique_ptr<MfEncoderCandidate>>> enumerate_h264_encoders() override {
    if (enumerate_hr != 0) return std::unexpected(Error::hresult(enumerate_hr, "enum refused"));
    std::vector<std::unique_ptr<MfEncoderCandidate>> list;
    for (auto& t : transforms) list.push_back(std::make_unique<FakeCandidate>(t));
    return list;
  }
  Result<std::unique_ptr<MfMediaType>> create_media_type() override {
    return current()->call("MFCreateMediaType", [&]() -> Result<std::unique_ptr<MfMediaType>> {
      return std::make_unique<FakeMediaType>(current());
    });
  }
  Result<std::unique_ptr<MfSample>> create_input_sample(std::span<const std::uint8_t> bytes, std::int64_t time,
                                                        std::int64_t duration) override {
    auto& s = current();
    return s->call("MFCreateSample(input)", [&]() -> Result<std::unique_ptr<MfSample>> {
      const std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      s->inputs.push_back({bytes.size(), time, duration, false, std::hash<std::string_view>{}(content)});
      return std::make_unique<FakeSample>(s, s->inputs.size() - 1);
    });
  }
  Result<std::unique_ptr<MfSample>> create_output_sample(std::uint32_t capacity) override {
    auto& s = current();
    return s->call("MFCreateSample(output)", [&]() -> Result<std::unique_ptr<MfSample>> {
      s->output_sample_capacities.push_back(capacity);
      auto sample = std::make_unique<FakeSample>(s, std::vector<std::vector<std::uint8_t>>{});
      sample->capacity = capacity;
      return sample;
    });
  }

  // Samples and types are recorded on the transform that activated last.
  std::shared_ptr<FakeTransformState>& current() {
    for (auto it = transforms.rbegin(); it != transforms.rend(); ++it) {
      if ((*it)->count("ActivateObject") > 0) return *it;
    }
    return transforms.front();
  }

  std::vector<std::shared_ptr<FakeTransformState>> transforms;
  std::int32_t startup_hr = 0;
  std::int32_t enumerate_hr = 0;
  int startups = 0;
};

}  // namespace halvorine::testing
