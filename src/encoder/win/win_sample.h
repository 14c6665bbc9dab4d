// MfSample over an IMFSample.
#pragma once

#include "common/win/com_ptr.h"
#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

class WinSample final : public MfSample {
 public:
  explicit WinSample(ComPtr<IMFSample> sample) : sample_(std::move(sample)) {}

  Result<void> set_discontinuity() override;
  Result<std::uint32_t> buffer_count() override;
  Result<void> append_buffer(std::uint32_t index, std::vector<std::uint8_t>& out,
                             std::size_t limit) override;

  IMFSample* get() const { return sample_.get(); }

 private:
  ComPtr<IMFSample> sample_;
};

// IMFMediaBuffer::Lock for one scope; Unlock on every way out.
class MediaBufferLock {
 public:
  explicit MediaBufferLock(IMFMediaBuffer* buffer);
  MediaBufferLock(const MediaBufferLock&) = delete;
  MediaBufferLock& operator=(const MediaBufferLock&) = delete;
  ~MediaBufferLock();

  HRESULT result() const { return result_; }
  BYTE* data() const { return data_; }
  DWORD max_length() const { return max_length_; }

 private:
  IMFMediaBuffer* buffer_;
  HRESULT result_ = E_FAIL;
  BYTE* data_ = nullptr;
  DWORD max_length_ = 0;
};

}  // namespace halvorine
