#include "encoder/win/win_media_type.h"

#include "encoder/win/mf_guids.h"

namespace halvorine {

Result<void> WinMediaType::set_guid(MfTypeKey key, MfTypeGuid value) {
  const HRESULT hr = type_->SetGUID(media_type_key_guid(key), media_type_value_guid(value));
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<void> WinMediaType::set_uint32(MfTypeKey key, std::uint32_t value) {
  const HRESULT hr = type_->SetUINT32(media_type_key_guid(key), value);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<void> WinMediaType::set_uint64(MfTypeKey key, std::uint64_t value) {
  const HRESULT hr = type_->SetUINT64(media_type_key_guid(key), value);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return {};
}

Result<std::uint64_t> WinMediaType::get_uint64(MfTypeKey key) {
  UINT64 value = 0;
  const HRESULT hr = type_->GetUINT64(media_type_key_guid(key), &value);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return value;
}

}  // namespace halvorine
