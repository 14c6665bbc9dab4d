#include "encoder/video_encoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#include "common/log_throttle.h"
#include "encoder/frame_scaler.h"
#include "encoder/hardware_encoder.h"
#include "encoder/key_frame_gate.h"
#include "encoder/openh264_library.h"
#include "encoder/software_encoder.h"
#include "encoder/transform_api.h"

namespace halvorine {

struct VideoEncoder::State {
  Logger& log;
  const Clock& clock;
  MediaFoundation& mf;
  OpenH264Library& openh264;
  unsigned logical_processors = 0;
  // The production platform, if we made it. Declared before the encoders so
  // that it goes after them (it shuts Media Foundation down).
  std::unique_ptr<MediaFoundation> owned_mf;

  std::uint32_t width = 0;
  std::uint32_t height = 0;
  FrameSize encoded;  // the picture's size: width × height unless scaled down
  std::uint32_t fps = 1;
  std::uint32_t kbps = 0;

  // Exactly one of the two is set.
  std::optional<HardwareEncoder> hardware;
  std::optional<SoftwareEncoder> software;

  std::optional<Clock::MonotonicTime> retry_deadline;
  std::uint64_t frame_counter = 0;
  std::uint64_t hardware_output_total = 0;
  std::uint32_t hardware_successful_calls = 0;
  std::uint32_t consecutive_hardware_errors = 0;
  std::uint32_t retry_attempts = 0;
  KeyFrameGate gate;
  RepeatThrottle switch_lines;

  Result<HardwareEncoder> create_hardware();
  Result<SoftwareEncoder> create_software();
  Result<EncodedFrame> encode_on_hardware(std::span<const std::uint8_t> bgra, std::uint64_t n);
  Result<EncodedFrame> switch_to_software(std::span<const std::uint8_t> bgra);
  std::optional<EncodedFrame> retry_hardware(std::span<const std::uint8_t> bgra, std::uint64_t n);
  // What of `result` may go to the GUI (see KeyFrameGate).
  Result<EncodedFrame> through_gate(Result<EncodedFrame> result);
  void force_active_key_frame();
};

Result<HardwareEncoder> VideoEncoder::State::create_hardware() {
  const FrameSize input{width, height};
  auto high = HardwareEncoder::create(mf, encoded.width, encoded.height, fps, kbps,
                                      HardwareEncoder::kProfileHigh, log, clock, input);
  if (high) return high;
  log.log(fmt::format("ENCODER hw: High profile esuat ({}) -> incerc Main", high.error().text()));
  return HardwareEncoder::create(mf, encoded.width, encoded.height, fps, kbps,
                                 HardwareEncoder::kProfileMain, log, clock, input);
}

Result<SoftwareEncoder> VideoEncoder::State::create_software() {
  return SoftwareEncoder::create(encoded.width, encoded.height, fps, kbps, log, openh264,
                                 logical_processors, FrameSize{width, height});
}

Result<VideoEncoder> VideoEncoder::create(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t fps, std::uint32_t kbps, Logger& log,
                                          const Clock& clock) {
  std::unique_ptr<MediaFoundation> mf = make_media_foundation();
  MediaFoundation& platform = *mf;
  auto encoder = create(width, height, fps, kbps, log, clock, platform, linked_openh264(),
                        std::thread::hardware_concurrency());
  if (encoder) encoder->state_->owned_mf = std::move(mf);
  return encoder;
}

Result<VideoEncoder> VideoEncoder::create(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t fps, std::uint32_t kbps, Logger& log,
                                          const Clock& clock, MediaFoundation& media_foundation,
                                          OpenH264Library& openh264, unsigned logical_processors) {
  auto state = std::make_unique<State>(State{log, clock, media_foundation, openh264,
                                             logical_processors});
  state->width = width;
  state->height = height;
  state->encoded = fit_within(FrameSize{width, height}, SoftwareEncoder::kMaxLongSide,
                              SoftwareEncoder::kMaxShortSide);
  state->fps = std::max<std::uint32_t>(fps, 1);
  state->kbps = kbps;
  if (!(state->encoded == FrameSize{width, height})) {
    log.log(fmt::format("ENCODER: ecran {}x{} peste limita encoderului -> scalat la {}x{}", width,
                        height, state->encoded.width, state->encoded.height));
  }

  if (auto hardware = state->create_hardware()) {
    log.log(fmt::format("ENCODER: hardware MFT active ({}x{}@{}fps, {})", width, height,
                        state->fps, hardware->asynchronous() ? "async" : "sync"));
    state->hardware.emplace(std::move(*hardware));
    return VideoEncoder(std::move(state));
  } else {
    log.log(fmt::format("ENCODER: hardware FAILED: {} -> software openh264 ({}x{}@{}fps)",
                        hardware.error().text(), width, height, state->fps));
  }
  auto software = state->create_software();
  if (!software) return std::unexpected(std::move(software.error()));
  state->software.emplace(std::move(*software));
  state->retry_deadline = clock.monotonic_now() + kFirstRetryDelay;
  return VideoEncoder(std::move(state));
}

VideoEncoder::VideoEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoEncoder::VideoEncoder(VideoEncoder&&) noexcept = default;
VideoEncoder& VideoEncoder::operator=(VideoEncoder&&) noexcept = default;
VideoEncoder::~VideoEncoder() = default;

bool VideoEncoder::on_hardware() const { return state_->hardware.has_value(); }

void VideoEncoder::force_key_frame() {
  state_->force_active_key_frame();
  state_->gate.close();
}

void VideoEncoder::State::force_active_key_frame() {
  if (hardware) {
    hardware->force_key_frame();
  } else {
    software->force_key_frame();
  }
}

Result<EncodedFrame> VideoEncoder::State::through_gate(Result<EncodedFrame> result) {
  if (result && gate.pass(*result)) force_active_key_frame();
  return result;
}

Result<EncodedFrame> VideoEncoder::collect_pending_output() {
  State& s = *state_;
  if (!s.hardware) return EncodedFrame{};
  auto out = s.hardware->collect_pending_output();
  if (!out) {
    EncodedFrame collected = s.hardware->take_undelivered_output();
    if (collected.empty()) return out;
    out = std::move(collected);
  }
  return s.through_gate(std::move(out));
}

Result<EncodedFrame> VideoEncoder::encode(std::span<const std::uint8_t> bgra) {
  State& s = *state_;
  const std::size_t expected = std::size_t{s.width} * s.height * 4;
  if (bgra.size() != expected) {
    return std::unexpected(
        Error::message(fmt::format("frame size mismatch: got {} bytes, encoder is {}x{} = {} bytes",
                                   bgra.size(), s.width, s.height, expected)));
  }
  const std::uint64_t n = s.frame_counter++;
  if (s.hardware) return s.through_gate(s.encode_on_hardware(bgra, n));

  if (s.retry_deadline && s.clock.monotonic_now() >= *s.retry_deadline) {
    if (auto out = s.retry_hardware(bgra, n)) return s.through_gate(std::move(*out));
  }
  return s.through_gate(s.software->encode(bgra));
}

Result<EncodedFrame> VideoEncoder::State::encode_on_hardware(std::span<const std::uint8_t> bgra,
                                                             std::uint64_t n) {
  auto out = hardware->encode(bgra, n);
  if (!out) {
    ++consecutive_hardware_errors;
    if (consecutive_hardware_errors >= kFailuresBeforeSoftware) {
      // Repeats on every frame while the software encoder cannot be made.
      if (switch_lines.admit(out.error().text(), clock.monotonic_now())) {
        log.log(fmt::format("ENCODER: {} erori hardware consecutive ({}) -> switch software",
                            consecutive_hardware_errors, out.error().text()));
      }
      return switch_to_software(bgra);
    }
    if (consecutive_hardware_errors <= kLoggedFailuresInARun) {
      log.log(fmt::format("ENCODER hw: eroare tranzitorie #{} ({}) - skip frame",
                          consecutive_hardware_errors, out.error().text()));
    }
    // This frame is lost, but what the transform had already handed over
    // belongs to the stream.
    return hardware->take_undelivered_output();
  }
  consecutive_hardware_errors = 0;
  ++hardware_successful_calls;
  hardware_output_total += out->size();
  if (hardware_successful_calls >= kSilentCallsBeforeSoftware && hardware_output_total == 0) {
    log.log("ENCODER: hardware nu produce output -> switch software");
    return switch_to_software(bgra);
  }
  return out;
}

Result<EncodedFrame> VideoEncoder::State::switch_to_software(std::span<const std::uint8_t> bgra) {
  auto created = create_software();
  // The hardware stays with its counts: its next failure tries again.
  if (!created) return std::unexpected(std::move(created.error()));
  created->force_key_frame();
  auto out = created->encode(bgra);
  hardware.reset();
  software.emplace(std::move(*created));
  // Nothing of the hardware's stream may be mixed with the software's.
  gate.close();
  retry_attempts = 0;
  retry_deadline = clock.monotonic_now() + kFirstRetryDelay;
  return out;
}

std::optional<EncodedFrame> VideoEncoder::State::retry_hardware(
    std::span<const std::uint8_t> bgra, std::uint64_t n) {
  if (auto candidate = create_hardware()) {
    auto out = candidate->encode(bgra, n);
    // An asynchronous transform answers a call late: give it a bounded wait.
    if (out && out->empty()) out = candidate->wait_for_output(HardwareEncoder::kEventWait);
    if (out && !out->empty()) {
      software.reset();
      hardware.emplace(std::move(*candidate));
      hardware_successful_calls = 0;
      consecutive_hardware_errors = 0;
      hardware_output_total = 0;
      retry_attempts = 0;
      retry_deadline.reset();
      // The new transform was asked for a key frame when it was made; its
      // output starts the GUI anew.
      gate.close();
      log.log("ENCODER: revenit pe hardware");
      return std::move(*out);
    }
  }
  // Its own set-up lines say why; the frame goes to the software encoder.
  ++retry_attempts;
  if (retry_attempts >= kFailedRetriesBeforeGivingUp) {
    retry_deadline.reset();
    log.log("ENCODER: give up hardware, ramanem pe software");
  } else {
    retry_deadline = clock.monotonic_now() +
                     (retry_attempts < 3 ? kShortRetryDelay : kLongRetryDelay);
  }
  return std::nullopt;
}

}  // namespace halvorine
