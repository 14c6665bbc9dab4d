// The secure-capture loop's backend in the product: DesktopDuplicator for the
// source (adapted in a few lines), VideoEncoder for the encoder.
#pragma once

#include "bin/worker/secure/stream_backend.h"
#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

class ProductStreamBackend final : public StreamBackend {
 public:
  // `log` and `clock` outlive the backend and everything it creates.
  ProductStreamBackend(Logger& log, const Clock& clock) : log_(log), clock_(clock) {}

  Result<std::unique_ptr<ScreenSource>> create_source(std::uint32_t output_index) override;
  Result<std::unique_ptr<H264Encoder>> create_encoder(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                                       std::uint32_t kbps) override;

 private:
  Logger& log_;
  const Clock& clock_;
};

}  // namespace halvorine
