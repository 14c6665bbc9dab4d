// Where the VideoEncoder gets its encoders: the hardware encoder with a
// given profile and the software encoder, for one frame size, rate and bit
// rate. The product's factory makes HardwareEncoder and SoftwareEncoder;
// tests pass counting fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"
#include "encoder/h264_encoder.h"

namespace halvorine {

class MediaFoundation;
class OpenH264Library;

// What every encoder of one VideoEncoder is made for.
struct EncoderRequest {
  std::uint32_t width = 0;  // of the frames encode() takes
  std::uint32_t height = 0;
  std::uint32_t fps = 1;    // at least 1
  std::uint32_t kbps = 0;
};

class EncoderFactory {
 public:
  virtual ~EncoderFactory() = default;
  virtual const EncoderRequest& request() const = 0;
  // `profile`: MF_MT_MPEG2_PROFILE. `opening_picture` (a frame, or empty)
  // and `quiet`: see HardwareEncoder::create.
  virtual Result<std::unique_ptr<H264Encoder>> create_hardware(
      std::uint32_t profile, std::span<const std::uint8_t> opening_picture, bool quiet) = 0;
  virtual Result<std::unique_ptr<H264Encoder>> create_software() = 0;
  // Why no hardware encoder can ever be made here (the platform lacks Media
  // Foundation), else nothing.
  virtual std::optional<Error> hardware_missing() const { return std::nullopt; }
};

// The product's encoders. Screens larger than the software encoder's limit
// (3840 × 2160 either way) are encoded scaled down to the largest even size
// within it, aspect kept, on both encoders alike (logged here). Every
// reference must outlive the factory and what it makes; `logical_processors`
// (0: unknown) sizes the software encoder's threads.
std::unique_ptr<EncoderFactory> make_encoder_factory(const EncoderRequest& request, Logger& log,
                                                     const Clock& clock,
                                                     MediaFoundation& media_foundation,
                                                     OpenH264Library& openh264,
                                                     unsigned logical_processors);

}  // namespace halvorine
