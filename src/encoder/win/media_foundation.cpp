#include <cstring>
#include <limits>

#include "common/win/com_ptr.h"
#include "encoder/win/mf_sdk.h"
#include "encoder/win/mfplat_library.h"
#include "encoder/win/win_media_foundation.h"
#include "encoder/win/win_media_type.h"
#include "encoder/win/win_sample.h"
#include "encoder/win/win_transform.h"

namespace halvorine {
namespace {

static_assert(MF_VERSION == 0x20070, "the worker starts Media Foundation version 0x20070");

class WinEncoderCandidate final : public MfEncoderCandidate {
 public:
  explicit WinEncoderCandidate(ComPtr<IMFActivate> activate) : activate_(std::move(activate)) {}

  Result<std::u16string> friendly_name() override {
    CoTaskMemory<wchar_t*> name;
    UINT32 length = 0;
    const HRESULT hr = activate_->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, name.put(), &length);
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    if (!name) return std::unexpected(Error::hresult(0, "no friendly name"));
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return std::u16string(reinterpret_cast<const char16_t*>(name.get()), length);
  }

  Result<std::unique_ptr<MfTransform>> activate() override {
    ComPtr<IMFTransform> transform;
    const HRESULT hr = activate_->ActivateObject(__uuidof(IMFTransform), transform.put_void());
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    if (!transform) return std::unexpected(Error::hresult(0, "ActivateObject returned no object"));
    // The transform keeps its activation object: shutting it down ends the
    // transform's resources when the encoder goes.
    return std::make_unique<WinTransform>(std::move(transform), activate_.share());
  }

 private:
  ComPtr<IMFActivate> activate_;
};

}  // namespace

WinMediaFoundation::WinMediaFoundation(std::uint32_t enum_flags)
    : enum_flags_(enum_flags), library_(mfplat_library()) {}

WinMediaFoundation::~WinMediaFoundation() {
  for (; startups_ > 0; --startups_) library_->shutdown();
}

std::optional<Error> WinMediaFoundation::missing() const {
  if (library_) return std::nullopt;
  return library_.error();
}

Result<void> WinMediaFoundation::startup() {
  if (!library_) return std::unexpected(library_.error());
  const HRESULT hr = library_->startup(MF_VERSION, MFSTARTUP_LITE);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  ++startups_;
  return {};
}

Result<std::vector<std::unique_ptr<MfEncoderCandidate>>>
WinMediaFoundation::enumerate_h264_encoders() {
  const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
  ComArray<IMFActivate> found;
  if (!library_) return std::unexpected(library_.error());
  const HRESULT hr = library_->enumerate_transforms(MFT_CATEGORY_VIDEO_ENCODER, enum_flags_, nullptr, &output,
                               found.put_entries(), found.put_count());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  std::vector<std::unique_ptr<MfEncoderCandidate>> candidates;
  for (UINT32 i = 0; i < found.count(); ++i) {
    ComPtr<IMFActivate> activate = found.take(i);
    if (activate) candidates.push_back(std::make_unique<WinEncoderCandidate>(std::move(activate)));
  }
  return candidates;
}

Result<std::unique_ptr<MfMediaType>> WinMediaFoundation::create_media_type() {
  ComPtr<IMFMediaType> type;
  if (!library_) return std::unexpected(library_.error());
  const HRESULT hr = library_->create_media_type(type.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return std::make_unique<WinMediaType>(std::move(type));
}

Result<std::unique_ptr<MfSample>> WinMediaFoundation::create_input_sample(
    std::span<const std::uint8_t> bytes, std::int64_t time, std::int64_t duration) {
  if (!library_) return std::unexpected(library_.error());
  if (bytes.size() > std::numeric_limits<DWORD>::max()) {
    return std::unexpected(hresult_error(E_INVALIDARG));
  }
  const auto length = static_cast<DWORD>(bytes.size());
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = library_->create_memory_buffer(length, buffer.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  {
    const MediaBufferLock lock(buffer.get());
    if (FAILED(lock.result())) return std::unexpected(hresult_error(lock.result()));
    if (lock.max_length() < length || lock.data() == nullptr) {
      return std::unexpected(hresult_error(MF_E_BUFFERTOOSMALL));
    }
    if (length > 0) std::memcpy(lock.data(), bytes.data(), length);
  }
  hr = buffer->SetCurrentLength(length);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  ComPtr<IMFSample> sample;
  hr = library_->create_sample(sample.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  hr = sample->AddBuffer(buffer.get());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  hr = sample->SetSampleTime(time);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  hr = sample->SetSampleDuration(duration);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return std::make_unique<WinSample>(std::move(sample));
}

Result<std::unique_ptr<MfSample>> WinMediaFoundation::create_output_sample(std::uint32_t capacity) {
  if (!library_) return std::unexpected(library_.error());
  ComPtr<IMFSample> sample;
  HRESULT hr = library_->create_sample(sample.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  ComPtr<IMFMediaBuffer> buffer;
  hr = library_->create_memory_buffer(capacity, buffer.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  hr = sample->AddBuffer(buffer.get());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return std::make_unique<WinSample>(std::move(sample));
}

std::unique_ptr<MediaFoundation> make_media_foundation() {
  return std::make_unique<WinMediaFoundation>();
}

}  // namespace halvorine
