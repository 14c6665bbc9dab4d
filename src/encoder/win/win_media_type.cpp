#include "encoder/win/win_media_type.h"

#include "encoder/win/mf_guids.h"

#include <algorithm>

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

Result<std::vector<std::uint8_t>> WinMediaType::get_blob(MfTypeKey key, std::size_t max_bytes) {
  UINT32 size = 0;
  HRESULT hr = type_->GetBlobSize(media_type_key_guid(key), &size);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  if (size > max_bytes) return std::unexpected(hresult_error(E_UNEXPECTED));
  std::vector<std::uint8_t> blob(size);
  UINT32 written = 0;
  hr = type_->GetBlob(media_type_key_guid(key), blob.data(), size, &written);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  blob.resize(std::min<std::size_t>(written, size));
  return blob;
}

}  // namespace halvorine
