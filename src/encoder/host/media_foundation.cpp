// Linux has no Media Foundation and no hardware H.264 encoder transform: the
// platform starts and enumerates nothing, so the hardware encoder fails with
// the same "No hardware H.264 encoder found" as a Windows machine without one
// and the facade runs on OpenH264.
#include "encoder/transform_api.h"

namespace halvorine {
namespace {

Error not_implemented() { return Error::hresult(kMfNotImplemented, "Not implemented"); }

class HostMediaFoundation final : public MediaFoundation {
 public:
  Result<void> startup() override { return {}; }
  Result<std::vector<std::unique_ptr<MfEncoderCandidate>>> enumerate_h264_encoders() override {
    return std::vector<std::unique_ptr<MfEncoderCandidate>>{};
  }
  Result<std::unique_ptr<MfMediaType>> create_media_type() override {
    return std::unexpected(not_implemented());
  }
  Result<std::unique_ptr<MfSample>> create_input_sample(std::span<const std::uint8_t>,
                                                        std::int64_t, std::int64_t) override {
    return std::unexpected(not_implemented());
  }
  Result<std::unique_ptr<MfSample>> create_output_sample(std::uint32_t) override {
    return std::unexpected(not_implemented());
  }
};

}  // namespace

std::unique_ptr<MediaFoundation> make_media_foundation() {
  return std::make_unique<HostMediaFoundation>();
}

}  // namespace halvorine
