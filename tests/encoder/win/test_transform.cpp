#include "encoder/win/test_transform.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

// After mf_sdk.h: CODECAPI_AVEncVideoForceKeyFrame.
#include <codecapi.h>

namespace halvorine::testing {
namespace {

class TestTransform final : public IMFTransform,
                            public IMFMediaEventGenerator,
                            public ICodecAPI,
                            public IMFShutdown {
 public:
  TestTransform(TestTransformConfig config, std::shared_ptr<TransformRecord> record)
      : config_(config), record_(std::move(record)) {
    MFCreateAttributes(attributes_.put(), 4);
    if (config_.asynchronous) attributes_->SetUINT32(MF_TRANSFORM_ASYNC, 1);
    if (config_.asynchronous) MFCreateEventQueue(events_.put());
    if (lagging()) timer_ = std::thread([this] { post_due_outputs(); });
    std::lock_guard lock(record_->mutex);
    ++record_->created;
    ++record_->alive;
    record_->attributes = attributes_.share();
    if (events_) record_->events = events_.share();
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) {
      *out = static_cast<IMFTransform*>(this);
    } else if (iid == __uuidof(IMFMediaEventGenerator) && config_.asynchronous) {
      *out = static_cast<IMFMediaEventGenerator*>(this);
    } else if (iid == IID_ICodecAPI && config_.codec_api) {
      *out = static_cast<ICodecAPI*>(this);
    } else if (iid == __uuidof(IMFShutdown) && config_.asynchronous &&
               config_.shutdown_interface) {
      *out = static_cast<IMFShutdown*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IMFTransform: one input and one output stream, id 0.
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* in_min, DWORD* in_max, DWORD* out_min,
                                            DWORD* out_max) override {
    *in_min = *in_max = *out_min = *out_max = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    *inputs = *outputs = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO* info) override {
    *info = {};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD stream,
                                                MFT_OUTPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    *info = {};
    info->dwFlags = config_.provides_samples ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
    info->cbSize = config_.output_buffer_size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** out) override {
    *out = attributes_.share().release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD stream, DWORD index,
                                                   IMFMediaType** out) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (index != 0) return MF_E_NO_MORE_TYPES;
    ComPtr<IMFMediaType> type;
    HRESULT hr = MFCreateMediaType(type.put());
    if (FAILED(hr)) return hr;
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    type->SetUINT64(MF_MT_FRAME_SIZE,
                    (UINT64{config_.template_width} << 32) | config_.template_height);
    *out = type.release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD stream, IMFMediaType* type, DWORD) override {
    if (stream != 0 || type == nullptr) return E_INVALIDARG;
    type->AddRef();
    std::lock_guard lock(record_->mutex);
    record_->input_types.emplace_back(type);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD stream, IMFMediaType* type, DWORD) override {
    if (stream != 0 || type == nullptr) return E_INVALIDARG;
    if (config_.refuses_output_type) return MF_E_INVALIDMEDIATYPE;
    type->AddRef();
    std::lock_guard lock(record_->mutex);
    record_->output_types.emplace_back(type);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD, IMFMediaType**) override {
    return E_NOTIMPL;
  }
  // The last output type set, with the parameter sets when only it has them.
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD stream, IMFMediaType** out) override {
    if (stream != 0 || out == nullptr) return E_INVALIDARG;
    std::lock_guard lock(record_->mutex);
    if (record_->output_types.empty()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    ComPtr<IMFMediaType> copy;
    HRESULT hr = MFCreateMediaType(copy.put());
    if (SUCCEEDED(hr)) hr = record_->output_types.back()->CopyAllItems(copy.get());
    const std::vector<std::uint8_t> key = test_transform_output(0, true);  // its SPS and PPS: bytes 6 to 17
    if (SUCCEEDED(hr) && config_.sets_in_type_only) hr = copy->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, &key[6], 12);
    if (SUCCEEDED(hr)) *out = copy.release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    {
      std::lock_guard lock(record_->mutex);
      record_->messages.push_back(message);
    }
    if (message == MFT_MESSAGE_NOTIFY_START_OF_STREAM) post(METransformNeedInput);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD stream, IMFSample* sample, DWORD) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (sample == nullptr) return E_POINTER;
    if (shut_down_) return MF_E_SHUTDOWN;
    if (pending_.size() >= kMaxPending) return MF_E_NOTACCEPTING;
    RecordedInput input;
    sample->GetSampleTime(&input.time);
    sample->GetSampleDuration(&input.duration);
    UINT32 discontinuity = 0;
    input.discontinuity =
        SUCCEEDED(sample->GetUINT32(MFSampleExtension_Discontinuity, &discontinuity)) &&
        discontinuity != 0;
    input.key = inputs_taken_ == 0 ||
                (!config_.ignores_key_frames && (key_frame_asked_.exchange(false) ||
                                                 input.discontinuity));
    DWORD count = 0;
    sample->GetBufferCount(&count);
    input.buffer_count = count;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample->ConvertToContiguousBuffer(buffer.put());
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&data, nullptr, &length);
    if (FAILED(hr)) return hr;
    input.bytes.assign(data, data + length);
    buffer->Unlock();
    {
      std::lock_guard lock(record_->mutex);
      pending_.push_back({record_->inputs.size(), input.key});
      record_->inputs.push_back(std::move(input));
    }
    ++inputs_taken_;
    const bool output_due = pending_.size() > config_.pipeline_depth;
    if (!lagging()) {
      post(output_due ? METransformHaveOutput : METransformNeedInput);
      return S_OK;
    }
    if (output_due) {
      std::lock_guard lock(timer_mutex_);
      due_.push_back(std::chrono::steady_clock::now() + config_.output_delay);
    }
    timer_changed_.notify_all();
    if (pending_.size() < kMaxPending) post(METransformNeedInput);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* outputs,
                                          DWORD* status) override {
    if (count != 1 || outputs == nullptr || status == nullptr) return E_INVALIDARG;
    if (shut_down_) return MF_E_SHUTDOWN;
    *status = 0;
    const int step = output_steps_++;
    if (config_.stream_change_at && *config_.stream_change_at == step) {
      outputs[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
      return MF_E_TRANSFORM_STREAM_CHANGE;
    }
    if (pending_.size() <= config_.pipeline_depth) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    if (config_.lose_output_at && *config_.lose_output_at == step) {
      pending_.pop_front();
      if (!lagging()) post(METransformNeedInput);
      return E_FAIL;
    }
    std::vector<std::uint8_t> bytes = test_transform_output(
        pending_.front().first, pending_.front().second, !config_.sets_in_type_only);
    if (pending_.front().second && bytes.size() < config_.key_frame_bytes) {
      bytes.insert(bytes.end(), config_.key_frame_bytes - bytes.size() - 1, 0x80);
      bytes.push_back(static_cast<std::uint8_t>(pending_.front().first));
    }
    ComPtr<IMFSample> own;
    IMFSample* target = outputs[0].pSample;
    if (config_.provides_samples) {
      if (target != nullptr) return E_INVALIDARG;
      ComPtr<IMFMediaBuffer> buffer;
      HRESULT hr = MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.put());
      if (FAILED(hr)) return hr;
      hr = MFCreateSample(own.put());
      if (FAILED(hr)) return hr;
      own->AddBuffer(buffer.get());
      target = own.get();
    } else if (target == nullptr) {
      return E_INVALIDARG;
    }
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = target->GetBufferByIndex(0, buffer.put());
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD max_length = 0;
    hr = buffer->Lock(&data, &max_length, nullptr);
    if (FAILED(hr)) return hr;
    if (max_length < bytes.size()) {
      buffer->Unlock();
      return MF_E_BUFFERTOOSMALL;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    if (own) outputs[0].pSample = own.release();
    const bool was_full = pending_.size() >= kMaxPending;
    pending_.pop_front();
    if (!lagging() || was_full) post(METransformNeedInput);
    return S_OK;
  }

  // IMFMediaEventGenerator: Media Foundation's own event queue does the work.
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    return events_->GetEvent(flags, event);
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_->BeginGetEvent(callback, state);
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_->EndGetEvent(result, event);
  }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                       const PROPVARIANT* value) override {
    return events_->QueueEventParamVar(type, extended, status, value);
  }

  // ICodecAPI: records what is set, accepts everything.
  HRESULT STDMETHODCALLTYPE IsSupported(const GUID*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* property, VARIANT* value) override {
    if (property == nullptr || value == nullptr) return E_POINTER;
    RecordedCodecValue recorded{*property, value->vt, 0};
    if (value->vt == VT_UI4) {
      recorded.value = value->ulVal;
    } else if (value->vt == VT_BOOL) {
      recorded.value = static_cast<std::uint16_t>(value->boolVal);
    } else {
      return E_INVALIDARG;
    }
    if (*property == CODECAPI_AVEncVideoForceKeyFrame && recorded.value != 0) {
      key_frame_asked_ = true;
    }
    std::lock_guard lock(record_->mutex);
    record_->codec_values.push_back(recorded);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override {
    return E_NOTIMPL;
  }

  // IMFShutdown: the thread and the event queue end here; every later call
  // fails with MF_E_SHUTDOWN.
  HRESULT STDMETHODCALLTYPE Shutdown() override {
    stop_timer();
    if (events_) events_->Shutdown();
    if (!shut_down_.exchange(true)) ++record_->shut_down;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetShutdownStatus(MFSHUTDOWN_STATUS* status) override {
    if (status == nullptr) return E_INVALIDARG;
    if (!shut_down_) return MF_E_INVALIDREQUEST;
    *status = MFSHUTDOWN_COMPLETED;
    return S_OK;
  }

 private:
  ~TestTransform() {
    stop_timer();
    if (events_) events_->Shutdown();
    std::lock_guard lock(record_->mutex);
    --record_->alive;
  }

  bool lagging() const { return config_.asynchronous && config_.output_delay.count() > 0; }

  // The transform's own thread: one METransformHaveOutput per input, each
  // when its delay has passed.
  void post_due_outputs() {
    std::unique_lock lock(timer_mutex_);
    while (!stopping_) {
      if (due_.empty()) {
        timer_changed_.wait(lock);
      } else if (std::chrono::steady_clock::now() < due_.front()) {
        timer_changed_.wait_until(lock, due_.front());
      } else {
        due_.pop_front();
        lock.unlock();
        post(METransformHaveOutput);
        lock.lock();
      }
    }
  }

  void stop_timer() {
    {
      std::lock_guard lock(timer_mutex_);
      stopping_ = true;
    }
    timer_changed_.notify_all();
    if (!timer_.joinable()) return;
    // The last reference could go on that thread, through its own post.
    if (timer_.get_id() == std::this_thread::get_id()) {
      timer_.detach();
    } else {
      timer_.join();
    }
  }

  void post(MediaEventType type) {
    const bool silent =
        config_.silent_after_inputs && inputs_taken_ >= *config_.silent_after_inputs;
    if (events_ && config_.posts_events && !silent) {
      events_->QueueEventParamVar(type, GUID_NULL, S_OK, nullptr);
    }
  }

  LONG references_ = 1;
  TestTransformConfig config_;
  std::shared_ptr<TransformRecord> record_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFMediaEventQueue> events_;
  // Inputs not yet answered, like an encoder's look-ahead.
  static constexpr std::size_t kMaxPending = 8;
  std::deque<std::pair<std::size_t, bool>> pending_;  // input number, key frame
  std::atomic<std::size_t> inputs_taken_ = 0;
  std::atomic<bool> key_frame_asked_ = false;
  std::atomic<bool> shut_down_ = false;
  int output_steps_ = 0;
  // The lagging transform's thread and the times its outputs are due.
  std::mutex timer_mutex_;
  std::condition_variable timer_changed_;
  std::deque<std::chrono::steady_clock::time_point> due_;
  bool stopping_ = false;
  std::thread timer_;
};

class TestTransformFactory final : public IClassFactory {
 public:
  TestTransformFactory(TestTransformConfig config, std::shared_ptr<TransformRecord> record)
      : config_(config), record_(std::move(record)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<IMFTransform> transform = make_test_transform(config_, record_);
    return transform->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ~TestTransformFactory() = default;

  LONG references_ = 1;
  TestTransformConfig config_;
  std::shared_ptr<TransformRecord> record_;
};

}  // namespace

std::vector<std::uint8_t> test_transform_output(std::size_t n, bool key, bool with_sets) {
  const auto number = static_cast<std::uint8_t>(n);
  if (key && !with_sets) return {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x65, 0x88, number};
  if (key) {
    return {0, 0, 0, 1, 0x09, 0x10,        // delimiter: an I picture
            0, 0, 0, 1, 0x67, 0x42,        // sequence parameter set
            0, 0, 0, 1, 0x68, 0xCE,        // picture parameter set
            0, 0, 0, 1, 0x65, 0x88, number};  // IDR slice
  }
  return {0, 0, 0, 1, 0x09, 0x30,          // delimiter: a P picture
          0, 0, 0, 1, 0x41, 0x9A, number};  // non-IDR slice
}

ComPtr<IClassFactory> make_test_transform_factory(TestTransformConfig config,
                                                  std::shared_ptr<TransformRecord> record) {
  return ComPtr<IClassFactory>(new TestTransformFactory(config, std::move(record)));
}

ComPtr<IMFTransform> make_test_transform(TestTransformConfig config,
                                         std::shared_ptr<TransformRecord> record) {
  auto* transform = new TestTransform(config, std::move(record));
  return ComPtr<IMFTransform>(static_cast<IMFTransform*>(transform));
}

}  // namespace halvorine::testing
