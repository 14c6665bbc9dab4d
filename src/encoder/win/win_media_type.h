// MfMediaType over an IMFMediaType.
#pragma once

#include "common/win/com_ptr.h"
#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

class WinMediaType final : public MfMediaType {
 public:
  explicit WinMediaType(ComPtr<IMFMediaType> type) : type_(std::move(type)) {}

  Result<void> set_guid(MfTypeKey key, MfTypeGuid value) override;
  Result<void> set_uint32(MfTypeKey key, std::uint32_t value) override;
  Result<void> set_uint64(MfTypeKey key, std::uint64_t value) override;
  Result<std::uint64_t> get_uint64(MfTypeKey key) override;
  Result<std::vector<std::uint8_t>> get_blob(MfTypeKey key, std::size_t max_bytes) override;

  IMFMediaType* get() const { return type_.get(); }

 private:
  ComPtr<IMFMediaType> type_;
};

}  // namespace halvorine
