// The Windows MediaFoundation: MFStartup, MFTEnumEx and the object factories
// of Media Foundation (mfplat.dll, loaded at run time).
#pragma once

#include <cstdint>

#include "encoder/transform_api.h"
#include "encoder/win/mfplat_library.h"

namespace halvorine {

// MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER: what the product asks.
inline constexpr std::uint32_t kHardwareEncoderEnumFlags = 0x44;

class WinMediaFoundation final : public MediaFoundation {
 public:
  // `enum_flags` are the MFTEnumEx flags; tests widen them to find an
  // encoder registered in their own process (MFT_ENUM_FLAG_LOCALMFT).
  explicit WinMediaFoundation(std::uint32_t enum_flags = kHardwareEncoderEnumFlags);
  // One MFShutdown per successful startup(), balancing Media Foundation's
  // start count; every object handed out is gone by then.
  ~WinMediaFoundation() override;
  WinMediaFoundation(const WinMediaFoundation&) = delete;
  WinMediaFoundation& operator=(const WinMediaFoundation&) = delete;

  std::optional<Error> missing() const override;
  Result<void> startup() override;
  Result<std::vector<std::unique_ptr<MfEncoderCandidate>>> enumerate_h264_encoders() override;
  Result<std::unique_ptr<MfMediaType>> create_media_type() override;
  Result<std::unique_ptr<MfSample>> create_input_sample(std::span<const std::uint8_t> bytes,
                                                        std::int64_t time,
                                                        std::int64_t duration) override;
  Result<std::unique_ptr<MfSample>> create_output_sample(std::uint32_t capacity) override;

 private:
  std::uint32_t enum_flags_;
  const Result<MfplatLibrary>& library_;
  std::uint32_t startups_ = 0;
};

}  // namespace halvorine
