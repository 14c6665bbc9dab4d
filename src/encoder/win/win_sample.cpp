#include "encoder/win/win_sample.h"

namespace halvorine {

MediaBufferLock::MediaBufferLock(IMFMediaBuffer* buffer) : buffer_(buffer) {
  result_ = buffer_->Lock(&data_, &max_length_, nullptr);
}

MediaBufferLock::~MediaBufferLock() {
  if (SUCCEEDED(result_)) buffer_->Unlock();
}

Result<void> WinSample::set_discontinuity() {
  const HRESULT hr = sample_->SetUINT32(MFSampleExtension_Discontinuity, 1);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<std::uint32_t> WinSample::buffer_count() {
  DWORD count = 0;
  const HRESULT hr = sample_->GetBufferCount(&count);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return count;
}

Result<void> WinSample::append_buffer(std::uint32_t index, std::vector<std::uint8_t>& out,
                                      std::size_t limit) {
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = sample_->GetBufferByIndex(index, buffer.put());
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (!buffer) return std::unexpected(hresult_error(E_POINTER));
  DWORD length = 0;
  hr = buffer->GetCurrentLength(&length);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (length > limit) return std::unexpected(hresult_error(HRESULT_FROM_WIN32(ERROR_INVALID_DATA)));
  const MediaBufferLock lock(buffer.get());
  if (FAILED(lock.result())) return std::unexpected(hresult_error(lock.result()));
  // The length comes from the transform: never read past what it locked.
  if (length > lock.max_length() || (length > 0 && lock.data() == nullptr)) {
    return std::unexpected(hresult_error(MF_E_BUFFERTOOSMALL));
  }
  out.insert(out.end(), lock.data(), lock.data() + length);
  return {};
}

}  // namespace halvorine
