#include "encoder/video_encoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#include "common/log_throttle.h"
#include "encoder/hardware_encoder.h"
#include "encoder/key_frame_gate.h"
#include "encoder/openh264_library.h"
#include "encoder/parameter_sets.h"
#include "encoder/transform_api.h"

namespace halvorine {
namespace {

// What of one encoder's output may reach the GUI.
struct StreamRules {
  KeyFrameGate gate;
  ParameterSets sets;

  // Takes the call's output: parameter sets kept and put in front of key
  // frames that lack them, then the gate. A failure or a stream change
  // closes the gate after what came before it, and asks for a key frame.
  EncodedFrame admit(H264Encoder& encoder, EncodeResult& result) {
    EncodedFrame out = std::move(result.output);
    if (!out.empty()) {
      sets.note(out);
      if (!sets.complete_key_frames(out)) {
        sets.note(encoder.parameter_sets());
        (void)sets.complete_key_frames(out);
      }
      if (gate.pass(out)) encoder.force_key_frame();
    }
    if (result.broken) {
      sets.clear();
      sets.note(encoder.parameter_sets());
    }
    if (result.failure || result.broken) {
      encoder.force_key_frame();
      gate.close();
    }
    return out;
  }
};

}  // namespace

struct VideoEncoder::State {
  // The production platform, if we made it: declared first, so it goes
  // after everything that uses it (it shuts Media Foundation down).
  std::unique_ptr<MediaFoundation> owned_mf;
  std::unique_ptr<EncoderFactory> factory;
  Logger& log;
  const Clock& clock;
  EncoderRequest request;

  std::unique_ptr<H264Encoder> active;
  bool hardware = false;
  StreamRules rules;

  std::optional<Clock::MonotonicTime> retry_deadline;
  std::uint64_t frame_counter = 0;
  std::uint64_t hardware_output_total = 0;  // bytes that passed to the GUI
  std::uint64_t hardware_bytes_made = 0;    // bytes it made, passed or not
  std::uint32_t hardware_successful_calls = 0;
  std::uint32_t consecutive_hardware_errors = 0;
  std::uint32_t retry_attempts = 0;
  // The first frame encoded after the gate closed, while it stays closed.
  std::optional<Clock::MonotonicTime> key_frame_awaited_since;
  std::uint32_t frames_awaiting = 0;
  bool rebuilt_for_key_frame = false;
  RepeatThrottle switch_lines;

  State(std::unique_ptr<EncoderFactory> f, Logger& l, const Clock& c)
      : factory(std::move(f)), log(l), clock(c), request(factory->request()) {
    request.fps = std::max<std::uint32_t>(request.fps, 1);
  }

  Result<std::unique_ptr<H264Encoder>> create_hardware(std::span<const std::uint8_t> opening,
                                                       bool quiet = false);
  void become(std::unique_ptr<H264Encoder> encoder, bool is_hardware, StreamRules fresh = {});
  EncodedFrame admit(EncodeResult& result);
  EncodeResult encode_on_hardware(std::span<const std::uint8_t> bgra, std::uint64_t n);
  // The active encoder's encode, of the changed region where it is known.
  EncodeResult encode_active(std::span<const std::uint8_t> bgra) {
    return changed ? active->encode_changed(bgra, *changed) : active->encode(bgra);
  }
  std::optional<std::span<const Rect>> changed;  // the frame at hand's, in encode_changed
  EncodeResult answer_overdue(std::span<const std::uint8_t> bgra, EncodedFrame passed);
  EncodeResult switch_to_software(std::span<const std::uint8_t> bgra);
  std::optional<EncodedFrame> retry_hardware(std::span<const std::uint8_t> bgra);
};

Result<std::unique_ptr<H264Encoder>> VideoEncoder::State::create_hardware(
    std::span<const std::uint8_t> opening, bool quiet) {
  auto high = factory->create_hardware(HardwareEncoder::kProfileHigh, opening, quiet);
  if (high) return high;
  log.log(fmt::format("ENCODER hw: High profile esuat ({}) -> incerc Main", high.error().text()));
  return factory->create_hardware(HardwareEncoder::kProfileMain, opening, quiet);
}

void VideoEncoder::State::become(std::unique_ptr<H264Encoder> encoder, bool is_hardware,
                                 StreamRules fresh) {
  active = std::move(encoder);
  hardware = is_hardware;
  rules = std::move(fresh);
  if (!rules.sets.complete()) rules.sets.note(active->parameter_sets());
  key_frame_awaited_since.reset();
  rebuilt_for_key_frame = false;
  hardware_successful_calls = 0;
  consecutive_hardware_errors = 0;
  hardware_output_total = 0;
  hardware_bytes_made = 0;
}

EncodedFrame VideoEncoder::State::admit(EncodeResult& result) {
  if (hardware) hardware_bytes_made += result.output.size();
  EncodedFrame out = rules.admit(*active, result);
  if (hardware) hardware_output_total += out.size();
  if (rules.gate.open()) {
    key_frame_awaited_since.reset();
    rebuilt_for_key_frame = false;
  }
  return out;
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
  const EncoderRequest request{width, height, std::max<std::uint32_t>(fps, 1), kbps};
  return create(make_encoder_factory(request, log, clock, media_foundation, openh264,
                                     logical_processors),
                log, clock);
}

Result<VideoEncoder> VideoEncoder::create(std::unique_ptr<EncoderFactory> factory, Logger& log,
                                          const Clock& clock) {
  auto state = std::make_unique<State>(std::move(factory), log, clock);
  const EncoderRequest& r = state->request;
  if (auto missing = state->factory->hardware_missing()) {
    // Not a failure worth retrying: the platform has no Media Foundation.
    log.log(fmt::format("ENCODER: Media Foundation lipseste ({}) -> software openh264",
                        missing->text()));
    auto software = state->factory->create_software();
    if (!software) return std::unexpected(std::move(software.error()));
    state->become(std::move(*software), false);
    return VideoEncoder(std::move(state));
  }
  if (auto hardware = state->create_hardware({})) {
    const auto* made = dynamic_cast<const HardwareEncoder*>(hardware->get());
    log.log(fmt::format("ENCODER: hardware MFT active ({}x{}@{}fps, {})", r.width, r.height, r.fps,
                        made != nullptr && made->asynchronous() ? "async" : "sync"));
    state->become(std::move(*hardware), true);
    return VideoEncoder(std::move(state));
  } else {
    log.log(fmt::format("ENCODER: hardware FAILED: {} -> software openh264 ({}x{}@{}fps)",
                        hardware.error().text(), r.width, r.height, r.fps));
  }
  auto software = state->factory->create_software();
  if (!software) return std::unexpected(std::move(software.error()));
  state->become(std::move(*software), false);
  state->retry_deadline = clock.monotonic_now() + kFirstRetryDelay;
  return VideoEncoder(std::move(state));
}

VideoEncoder::VideoEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoEncoder::VideoEncoder(VideoEncoder&&) noexcept = default;
VideoEncoder& VideoEncoder::operator=(VideoEncoder&&) noexcept = default;
VideoEncoder::~VideoEncoder() = default;

bool VideoEncoder::on_hardware() const { return state_->hardware; }
FrameSize VideoEncoder::size() const { return state_->active->size(); }
std::uint32_t VideoEncoder::fps() const { return state_->active->fps(); }

void VideoEncoder::force_key_frame() {
  State& s = *state_;
  s.active->force_key_frame();
  // A request repeated while one is awaited does not restart its clock.
  if (s.rules.gate.open()) s.key_frame_awaited_since.reset();
  s.rules.gate.close();
}

EncodeResult VideoEncoder::collect_pending_output() {
  State& s = *state_;
  EncodeResult result = s.active->collect_pending_output();
  EncodedFrame out = s.admit(result);
  if (!result) return EncodeResult::failed(result.error().context("HW collect output"), std::move(out));
  return {std::move(out)};
}

EncodeResult VideoEncoder::encode(std::span<const std::uint8_t> bgra) {
  state_->changed.reset();
  return encode_frame(bgra);
}

EncodeResult VideoEncoder::encode_changed(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) {
  state_->changed = changed;
  EncodeResult result = encode_frame(bgra);
  state_->changed.reset();
  return result;
}

EncodeResult VideoEncoder::encode_frame(std::span<const std::uint8_t> bgra) {
  State& s = *state_;
  const std::size_t expected = std::size_t{s.request.width} * s.request.height * 4;
  if (bgra.size() != expected) {
    return EncodeResult::failed(Error::message(
        fmt::format("frame size mismatch: got {} bytes, encoder is {}x{} = {} bytes", bgra.size(),
                    s.request.width, s.request.height, expected)));
  }
  const std::uint64_t n = s.frame_counter++;
  if (s.hardware) return s.encode_on_hardware(bgra, n);

  if (s.retry_deadline && s.clock.monotonic_now() >= *s.retry_deadline) {
    if (auto out = s.retry_hardware(bgra)) return {std::move(*out)};
  }
  EncodeResult result = s.encode_active(bgra);
  EncodedFrame out = s.admit(result);
  return {std::move(out), std::move(result.failure)};
}

EncodeResult VideoEncoder::State::encode_on_hardware(std::span<const std::uint8_t> bgra,
                                                     std::uint64_t n) {
  EncodeResult result = encode_active(bgra);
  EncodedFrame out = admit(result);
  if (!result) {
    ++consecutive_hardware_errors;
    const Error error = result.error().context(fmt::format("HW encode frame {}", n));
    if (consecutive_hardware_errors >= kFailuresBeforeSoftware) {
      // Repeats on every frame while the software encoder cannot be made:
      // one line per error, whatever frame it came with.
      if (switch_lines.admit(result.error().text(), clock.monotonic_now())) {
        log.log(fmt::format("ENCODER: {} erori hardware consecutive ({}) -> switch software",
                            consecutive_hardware_errors, error.text()));
      }
      EncodeResult software = switch_to_software(bgra);
      software.output.insert(software.output.begin(), out.begin(), out.end());
      return software;
    }
    if (consecutive_hardware_errors <= kLoggedFailuresInARun) {
      log.log(fmt::format("ENCODER hw: eroare tranzitorie #{} ({}) - skip frame",
                          consecutive_hardware_errors, error.text()));
    }
    return {std::move(out)};  // this frame is dropped; what came before it is not
  }
  consecutive_hardware_errors = 0;
  ++hardware_successful_calls;
  if (!rules.gate.open()) {
    if (!key_frame_awaited_since) {
      key_frame_awaited_since = clock.monotonic_now();
      frames_awaiting = 0;
    }
    ++frames_awaiting;
  }
  if (hardware_successful_calls >= kSilentCallsBeforeSoftware && hardware_output_total == 0) {
    // It encodes, but no key frame came: what a rebuild mends.
    if (hardware_bytes_made > 0) return answer_overdue(bgra, std::move(out));
    log.log("ENCODER: hardware nu produce output -> switch software");
    return switch_to_software(bgra);
  }
  if (key_frame_awaited_since && clock.monotonic_now() - *key_frame_awaited_since >= kKeyFrameAnswerWait) {
    return answer_overdue(bgra, std::move(out));
  }
  return {std::move(out)};
}

EncodeResult VideoEncoder::State::answer_overdue(std::span<const std::uint8_t> bgra,
                                                 EncodedFrame passed) {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      clock.monotonic_now() - key_frame_awaited_since.value_or(clock.monotonic_now()));
  if (!rebuilt_for_key_frame) {
    log.log(fmt::format("ENCODER: cadru cheie cerut fara raspuns ({} ms, {} cadre) -> refac encoderul hardware",
                        waited.count(), frames_awaiting));
    if (auto fresh = create_hardware(bgra, true)) {
      become(std::move(*fresh), true);
      rebuilt_for_key_frame = true;
      // Its opening: the frame at hand, from the transform's first key frame.
      EncodeResult opening = active->collect_pending_output();
      EncodedFrame out = admit(opening);
      passed.insert(passed.end(), out.begin(), out.end());
      return {std::move(passed)};
    }
  }
  log.log("ENCODER: nici encoderul hardware refacut nu da cadru cheie -> switch software");
  EncodeResult software = switch_to_software(bgra);
  software.output.insert(software.output.begin(), passed.begin(), passed.end());
  return software;
}

EncodeResult VideoEncoder::State::switch_to_software(std::span<const std::uint8_t> bgra) {
  auto created = factory->create_software();
  // The hardware stays with its counts: its next failure tries again.
  if (!created) return EncodeResult::failed(std::move(created.error()));
  (*created)->force_key_frame();
  EncodeResult result = (*created)->encode(bgra);
  become(std::move(*created), false);
  retry_attempts = 0;
  retry_deadline = clock.monotonic_now() + kFirstRetryDelay;
  EncodedFrame out = admit(result);
  return {std::move(out), std::move(result.failure)};
}

std::optional<EncodedFrame> VideoEncoder::State::retry_hardware(std::span<const std::uint8_t> bgra) {
  // Opening on the frame: the new transform's first key frame carries it.
  if (auto candidate = create_hardware(bgra)) {
    EncodeResult result = (*candidate)->encode(bgra);
    StreamRules trial;
    trial.sets.note((*candidate)->parameter_sets());
    EncodedFrame out = trial.admit(**candidate, result);
    if (result && !out.empty()) {
      become(std::move(*candidate), true, std::move(trial));
      hardware_output_total = out.size();
      retry_attempts = 0;
      retry_deadline.reset();
      active->force_key_frame();
      log.log("ENCODER: revenit pe hardware");
      return out;
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
