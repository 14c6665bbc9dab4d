#include "encoder/encoder_factory.h"

#include <fmt/format.h>

#include "encoder/frame_scaler.h"
#include "encoder/hardware_encoder.h"
#include "encoder/software_encoder.h"
#include "encoder/transform_api.h"

namespace halvorine {
namespace {

class ProductEncoderFactory final : public EncoderFactory {
 public:
  ProductEncoderFactory(const EncoderRequest& request, Logger& log, const Clock& clock,
                        MediaFoundation& mf, OpenH264Library& openh264, unsigned logical_processors)
      : request_(request),
        encoded_(fit_within(FrameSize{request.width, request.height}, SoftwareEncoder::kMaxLongSide,
                            SoftwareEncoder::kMaxShortSide)),
        log_(log),
        clock_(clock),
        mf_(mf),
        openh264_(openh264),
        logical_processors_(logical_processors) {
    if (!(encoded_ == input())) {
      log.log(fmt::format("ENCODER: ecran {}x{} peste limita encoderului -> scalat la {}x{}",
                          request.width, request.height, encoded_.width, encoded_.height));
    }
  }

  const EncoderRequest& request() const override { return request_; }

  Result<std::unique_ptr<H264Encoder>> create_hardware(
      std::uint32_t profile, std::span<const std::uint8_t> opening_picture, bool quiet) override {
    auto made = HardwareEncoder::create(mf_, encoded_.width, encoded_.height, request_.fps,
                                        request_.kbps, profile, log_, clock_, input(),
                                        opening_picture, quiet);
    if (!made) return std::unexpected(std::move(made.error()));
    return std::make_unique<HardwareEncoder>(std::move(*made));
  }

  std::optional<Error> hardware_missing() const override { return mf_.missing(); }

  Result<std::unique_ptr<H264Encoder>> create_software() override {
    auto made = SoftwareEncoder::create(encoded_.width, encoded_.height, request_.fps, request_.kbps,
                                        log_, openh264_, logical_processors_, input(), &clock_);
    if (!made) return std::unexpected(std::move(made.error()));
    return std::make_unique<SoftwareEncoder>(std::move(*made));
  }

 private:
  FrameSize input() const { return {request_.width, request_.height}; }

  EncoderRequest request_;
  FrameSize encoded_;  // the picture's size: the input's unless scaled down
  Logger& log_;
  const Clock& clock_;
  MediaFoundation& mf_;
  OpenH264Library& openh264_;
  unsigned logical_processors_;
};

}  // namespace

std::unique_ptr<EncoderFactory> make_encoder_factory(const EncoderRequest& request, Logger& log,
                                                     const Clock& clock,
                                                     MediaFoundation& media_foundation,
                                                     OpenH264Library& openh264,
                                                     unsigned logical_processors) {
  return std::make_unique<ProductEncoderFactory>(request, log, clock, media_foundation, openh264,
                                                 logical_processors);
}

}  // namespace halvorine
