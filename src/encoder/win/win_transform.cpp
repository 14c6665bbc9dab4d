#include "encoder/win/win_transform.h"

#include "encoder/win/mf_guids.h"
#include "encoder/win/win_event_queue.h"
#include "encoder/win/win_media_type.h"
#include "encoder/win/win_sample.h"

namespace halvorine {
namespace {

Error no_object() { return Error::hresult(0, "the call returned no object"); }

// Objects crossing the seam back into the backend must be the backend's own.
Error foreign_object() { return hresult_error(E_INVALIDARG); }

class WinAttributes final : public MfAttributes {
 public:
  explicit WinAttributes(ComPtr<IMFAttributes> attributes) : attributes_(std::move(attributes)) {}

  Result<std::uint32_t> get_uint32(MfTransformKey key) override {
    UINT32 value = 0;
    const HRESULT hr = attributes_->GetUINT32(transform_key_guid(key), &value);
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    return value;
  }
  Result<void> set_uint32(MfTransformKey key, std::uint32_t value) override {
    const HRESULT hr = attributes_->SetUINT32(transform_key_guid(key), value);
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    return {};
  }

 private:
  ComPtr<IMFAttributes> attributes_;
};

class WinCodecApi final : public MfCodecApi {
 public:
  explicit WinCodecApi(ComPtr<ICodecAPI> codec_api) : codec_api_(std::move(codec_api)) {}

  Result<void> set_value(MfCodecProperty property, MfCodecValue value) override {
    VARIANT variant;
    VariantInit(&variant);
    if (value.type == MfCodecValue::Type::boolean) {
      variant.vt = VT_BOOL;
      variant.boolVal = value.value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      variant.vt = VT_UI4;
      variant.ulVal = value.value;
    }
    // VT_UI4 and VT_BOOL own nothing, so there is nothing to VariantClear.
    const HRESULT hr = codec_api_->SetValue(&codec_property_guid(property), &variant);
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    return {};
  }

 private:
  ComPtr<ICodecAPI> codec_api_;
};

}  // namespace

WinTransform::~WinTransform() {
  // Their outcome changes nothing: the references go either way.
  if (ComPtr<IMFShutdown> shutdown; transform_ && SUCCEEDED(transform_.query(shutdown))) {
    shutdown->Shutdown();
  }
  transform_.reset();
  if (activate_) activate_->ShutdownObject();
}

Result<std::unique_ptr<MfAttributes>> WinTransform::attributes() {
  ComPtr<IMFAttributes> attributes;
  const HRESULT hr = transform_->GetAttributes(attributes.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!attributes) return std::unexpected(no_object());
  return std::make_unique<WinAttributes>(std::move(attributes));
}

Result<std::unique_ptr<MfCodecApi>> WinTransform::codec_api() {
  ComPtr<ICodecAPI> codec_api;
  // mingw-w64 declares no __uuidof for ICodecAPI.
  const HRESULT hr = transform_.query(codec_api, IID_ICodecAPI);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!codec_api) return std::unexpected(no_object());
  return std::make_unique<WinCodecApi>(std::move(codec_api));
}

Result<std::unique_ptr<MfEventQueue>> WinTransform::event_queue() {
  ComPtr<IMFMediaEventGenerator> generator;
  const HRESULT hr = transform_.query(generator);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!generator) return std::unexpected(no_object());
  auto queue = WinEventQueue::create(std::move(generator));
  if (!queue) return std::unexpected(queue.error());
  return std::unique_ptr<MfEventQueue>(std::move(*queue));
}

Result<void> WinTransform::set_output_type(MfMediaType& type) {
  auto* own = dynamic_cast<WinMediaType*>(&type);
  if (own == nullptr) return std::unexpected(foreign_object());
  const HRESULT hr = transform_->SetOutputType(0, own->get(), 0);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<void> WinTransform::set_input_type(MfMediaType& type) {
  auto* own = dynamic_cast<WinMediaType*>(&type);
  if (own == nullptr) return std::unexpected(foreign_object());
  const HRESULT hr = transform_->SetInputType(0, own->get(), 0);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<std::unique_ptr<MfMediaType>> WinTransform::output_current_type() {
  ComPtr<IMFMediaType> type;
  const HRESULT hr = transform_->GetOutputCurrentType(0, type.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!type) return std::unexpected(no_object());
  return std::make_unique<WinMediaType>(std::move(type));
}

Result<std::unique_ptr<MfMediaType>> WinTransform::output_available_type(std::uint32_t index) {
  ComPtr<IMFMediaType> type;
  const HRESULT hr = transform_->GetOutputAvailableType(0, index, type.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!type) return std::unexpected(no_object());
  return std::make_unique<WinMediaType>(std::move(type));
}

Result<MfOutputStreamInfo> WinTransform::output_stream_info() {
  MFT_OUTPUT_STREAM_INFO info{};
  const HRESULT hr = transform_->GetOutputStreamInfo(0, &info);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return MfOutputStreamInfo{info.dwFlags, info.cbSize};
}

Result<void> WinTransform::process_message(MfMessage message) {
  const HRESULT hr =
      transform_->ProcessMessage(static_cast<MFT_MESSAGE_TYPE>(message), ULONG_PTR{0});
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<void> WinTransform::process_input(MfSample& sample) {
  auto* own = dynamic_cast<WinSample*>(&sample);
  if (own == nullptr) return std::unexpected(foreign_object());
  const HRESULT hr = transform_->ProcessInput(0, own->get(), 0);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<std::unique_ptr<MfSample>> WinTransform::process_output(std::unique_ptr<MfSample> sample) {
  IMFSample* ours = nullptr;
  if (sample) {
    auto* own = dynamic_cast<WinSample*>(sample.get());
    if (own == nullptr) return std::unexpected(foreign_object());
    ours = own->get();
  }
  MFT_OUTPUT_DATA_BUFFER output{};
  output.dwStreamID = 0;
  output.pSample = ours;
  DWORD status = 0;
  const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
  // The event collection and a sample the transform put in place of ours
  // (or of none) are references handed to us.
  ComPtr<IMFCollection> events(output.pEvents);
  ComPtr<IMFSample> theirs(output.pSample != ours ? output.pSample : nullptr);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (theirs) return std::unique_ptr<MfSample>(std::make_unique<WinSample>(std::move(theirs)));
  if (ours != nullptr) return sample;
  return std::unique_ptr<MfSample>{};
}

}  // namespace halvorine
