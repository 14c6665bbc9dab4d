#include "encoder/hardware_encoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log_throttle.h"
#include "common/utf16.h"
#include "encoder/color_conversion.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kInterlaceProgressive = 2;
constexpr std::uint32_t kNominalRange16To235 = 2;
constexpr std::uint32_t kMatrixBt709 = 1;
constexpr std::uint32_t kPrimariesBt709 = 2;
constexpr std::uint32_t kTransferBt709 = 5;
constexpr std::uint32_t kRateControlPeakConstrainedVbr = 1;
constexpr std::uint32_t kRateControlUnconstrainedVbr = 2;
constexpr std::uint32_t kKeyFrameSpacingSeconds = 600;
constexpr unsigned kValidationFrames = 4;
constexpr auto kWarmUp = 100ms;
constexpr auto kWarmUpPause = 5ms;
constexpr auto kSamplesPerCallLogInterval = 5s;
// HRESULT_FROM_WIN32(ERROR_TIMEOUT): what a silent asynchronous transform
// makes of a frame.
constexpr std::int32_t kTimeout = static_cast<std::int32_t>(0x800705B4);
// A queue that never runs dry is drained a bounded amount per call; what is
// left is picked up by the next call.
constexpr unsigned kMaxEventsPerDrain = 64;

// Platform values are unsigned 32-bit; requests beyond that saturate.
std::uint32_t saturate(std::uint64_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

std::uint64_t pack(std::uint32_t high, std::uint32_t low) {
  return (std::uint64_t{high} << 32) | low;
}

// Runs the steps in order up to the first failure, which it returns.
template <typename... Steps>
Result<void> in_order(Steps&&... steps) {
  Result<void> result;
  ((result = steps(), result.has_value()) && ...);
  return result;
}

std::uint32_t hex(const Error& error) { return static_cast<std::uint32_t>(error.code()); }

bool is_valid_utf16(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::string friendly_name(MfEncoderCandidate& candidate) {
  Result<std::u16string> name = candidate.friendly_name();
  if (!name) return "unknown";
  if (!is_valid_utf16(*name)) return {};
  return utf16_to_utf8_lossy(*name);
}

Error no_encoder_found() {
  return Error::hresult(static_cast<std::int32_t>(0xFFFFFFFF), "No hardware H.264 encoder found");
}

// What the set-up of one candidate settled, before the encoder exists.
struct Candidate {
  std::unique_ptr<MfTransform> transform;
  std::unique_ptr<MfCodecApi> codec_api;
  std::unique_ptr<MfEventQueue> events;
  bool asynchronous = false;
  bool provides_samples = false;
};

struct Settings {
  std::uint32_t width = 0;  // the encoded picture's size
  std::uint32_t height = 0;
  FrameSize input;          // the frames' own size
  std::uint32_t fps = 1;
  std::uint32_t kbps = 0;
  std::uint32_t profile = 0;

  // The size the transform works at (the converter's even size).
  std::uint64_t frame_size() const {
    return pack(padded_to_even(width), padded_to_even(height));
  }
  std::uint64_t frame_rate() const { return pack(fps, 1); }
  std::uint32_t bit_rate() const { return saturate(std::uint64_t{kbps} * 1000); }
  std::uint32_t key_frame_spacing() const {
    return saturate(std::uint64_t{fps} * kKeyFrameSpacingSeconds);
  }
};

// Rate control, bit rates, B-frames and latency, each refused setting
// becoming its label in one log line.
void apply_codec_settings(MfCodecApi& codec, const Settings& s, Logger& log) {
  std::string rate_control = "PeakConstrainedVBR";
  if (!codec.set_value(MfCodecProperty::rate_control_mode,
                       MfCodecValue::ui4(kRateControlPeakConstrainedVbr))) {
    rate_control = codec.set_value(MfCodecProperty::rate_control_mode,
                                   MfCodecValue::ui4(kRateControlUnconstrainedVbr))
                       ? "UnconstrainedVBR"
                       : "implicit (refuzat)";
  }
  const std::string mean =
      codec.set_value(MfCodecProperty::mean_bit_rate, MfCodecValue::ui4(s.bit_rate()))
          ? fmt::format("{}k", s.kbps)
          : "refuzat";
  std::string max = "n/a";
  if (rate_control == "PeakConstrainedVBR") {
    max = codec.set_value(MfCodecProperty::max_bit_rate,
                          MfCodecValue::ui4(saturate(std::uint64_t{s.kbps} * 2000)))
              ? fmt::format("{}k", std::uint64_t{s.kbps} * 2)
              : "refuzat";
  }
  const std::string bframes =
      codec.set_value(MfCodecProperty::b_picture_count, MfCodecValue::ui4(0)) ? "0" : "refuzat";
  const bool low_latency =
      codec.set_value(MfCodecProperty::low_latency_mode, MfCodecValue::boolean(true)) ||
      codec.set_value(MfCodecProperty::low_latency_mode, MfCodecValue::ui4(1));
  log.log(fmt::format("ENCODER hw: rate control={} mean={} max={} bframes={} lowlatency={}",
                      rate_control, mean, max, bframes, low_latency ? "1" : "refuzat"));
}

Result<void> set_output_type(MediaFoundation& mf, MfTransform& transform, const Settings& s,
                             Logger& log) {
  auto type = mf.create_media_type();
  if (!type) return std::unexpected(std::move(type.error()));
  MfMediaType& t = **type;
  if (auto set = in_order(
          [&] { return t.set_guid(MfTypeKey::major_type, MfTypeGuid::video); },
          [&] { return t.set_guid(MfTypeKey::subtype, MfTypeGuid::h264); },
          [&] { return t.set_uint64(MfTypeKey::frame_size, s.frame_size()); },
          [&] { return t.set_uint64(MfTypeKey::frame_rate, s.frame_rate()); },
          [&] { return t.set_uint32(MfTypeKey::interlace_mode, kInterlaceProgressive); },
          [&] { return t.set_uint32(MfTypeKey::avg_bitrate, s.bit_rate()); },
          [&] { return t.set_uint32(MfTypeKey::mpeg2_profile, s.profile); });
      !set) {
    return set;
  }
  // Colour description: a transform that does not take it still encodes.
  (void)t.set_uint32(MfTypeKey::nominal_range, kNominalRange16To235);
  (void)t.set_uint32(MfTypeKey::yuv_matrix, kMatrixBt709);
  (void)t.set_uint32(MfTypeKey::video_primaries, kPrimariesBt709);
  (void)t.set_uint32(MfTypeKey::transfer_function, kTransferBt709);
  if (auto spacing = t.set_uint32(MfTypeKey::max_keyframe_spacing, s.key_frame_spacing())) {
    log.log(fmt::format("ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING={} set", s.key_frame_spacing()));
  } else {
    log.log(fmt::format("ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING nesuportat (0x{:08X})",
                        hex(spacing.error())));
  }
  return transform.set_output_type(t);
}

Result<void> set_input_type(MediaFoundation& mf, MfTransform& transform, const Settings& s) {
  auto type = mf.create_media_type();
  if (!type) return std::unexpected(std::move(type.error()));
  MfMediaType& t = **type;
  if (auto set = in_order(
          [&] { return t.set_guid(MfTypeKey::major_type, MfTypeGuid::video); },
          [&] { return t.set_guid(MfTypeKey::subtype, MfTypeGuid::nv12); },
          [&] { return t.set_uint64(MfTypeKey::frame_size, s.frame_size()); },
          [&] { return t.set_uint64(MfTypeKey::frame_rate, s.frame_rate()); },
          [&] { return t.set_uint32(MfTypeKey::interlace_mode, kInterlaceProgressive); });
      !set) {
    return set;
  }
  return transform.set_input_type(t);
}

// Activation and configuration of one enumerated encoder, up to the start of
// streaming. Any error returned is fatal for this candidate.
Result<Candidate> set_up(MediaFoundation& mf, MfEncoderCandidate& entry, const Settings& s,
                         Logger& log) {
  Candidate c;
  auto transform = entry.activate();
  if (!transform) return std::unexpected(std::move(transform.error()));
  if (*transform == nullptr) return std::unexpected(Error::hresult(0, "no transform"));
  c.transform = std::move(*transform);

  // Unreadable attributes: a synchronous transform, left as it is.
  if (auto attributes = c.transform->attributes(); attributes && *attributes) {
    MfAttributes& a = **attributes;
    auto async = a.get_uint32(MfTransformKey::async);
    c.asynchronous = async && *async == 1;
    if (c.asynchronous) {
      if (auto unlocked = a.set_uint32(MfTransformKey::async_unlock, 1); !unlocked) {
        return std::unexpected(std::move(unlocked.error()));
      }
    }
    (void)a.set_uint32(MfTransformKey::low_latency, 1);
  }

  if (auto codec = c.transform->codec_api(); codec && *codec) {
    c.codec_api = std::move(*codec);
    apply_codec_settings(*c.codec_api, s, log);
  }

  // Output before input: an encoder derives its input types from its output.
  if (auto output = set_output_type(mf, *c.transform, s, log); !output) {
    return std::unexpected(std::move(output.error()));
  }
  if (auto input = set_input_type(mf, *c.transform, s); !input) {
    return std::unexpected(std::move(input.error()));
  }

  if (c.codec_api) {
    const std::uint32_t gop = s.key_frame_spacing();
    if (auto set = c.codec_api->set_value(MfCodecProperty::gop_size, MfCodecValue::ui4(gop))) {
      log.log(fmt::format("ENCODER hw: CODECAPI_AVEncMPVGOPSize={} set", gop));
    } else {
      log.log(fmt::format("ENCODER hw: CODECAPI_AVEncMPVGOPSize nesuportat (0x{:08X})",
                          hex(set.error())));
    }
  } else {
    log.log("ENCODER hw: ICodecAPI indisponibil (fara GOP/ForceKeyFrame)");
  }

  if (c.asynchronous) {
    auto events = c.transform->event_queue();
    if (!events) return std::unexpected(std::move(events.error()));
    if (*events == nullptr) return std::unexpected(Error::hresult(0, "no event generator"));
    c.events = std::move(*events);
  }

  auto flags = c.transform->output_stream_flags();
  c.provides_samples = flags && (*flags & kMfOutputProvidesSamples) != 0;

  for (MfMessage message : {MfMessage::notify_begin_streaming, MfMessage::notify_start_of_stream}) {
    if (auto sent = c.transform->process_message(message); !sent) {
      return std::unexpected(std::move(sent.error()));
    }
  }
  return c;
}

}  // namespace

struct HardwareEncoder::State {
  State(MediaFoundation& mf, Logger& log, const Clock& clock, Settings settings, Candidate c)
      : mf(mf),
        log(log),
        clock(clock),
        settings(settings),
        nv12(nv12_size(settings.width, settings.height), 0),
        frame_duration(10'000'000 / settings.fps),
        candidate(std::move(c)) {
    if (!(settings.input == FrameSize{settings.width, settings.height})) {
      scaler.emplace(settings.input, FrameSize{settings.width, settings.height});
    }
  }

  MediaFoundation& mf;
  Logger& log;
  const Clock& clock;
  Settings settings;
  std::vector<std::uint8_t> nv12;  // at the even size, reused for every frame
  std::optional<FrameScaler> scaler;  // input frames larger than the picture
  std::optional<Clock::MonotonicTime> last_samples_per_call_log;
  std::int64_t sample_time = 0;  // 100 ns units
  std::int64_t frame_duration;
  std::uint32_t verbose_countdown = kVerboseOutputs;
  std::uint32_t pending_input_requests = 0;
  std::uint32_t outputs_in_call = 0;
  unsigned output_steps_in_call = 0;
  bool key_frame_request = true;
  Candidate candidate;
  EncodedFrame undelivered;  // what a failed call had collected
  // Lines that would otherwise repeat on every frame or request.
  RepeatThrottle key_frame_lines;
  RepeatThrottle input_errors;
  RepeatThrottle output_errors;

  Result<void> submit(std::vector<std::uint8_t>& out);
  Result<void> input_step(MfSample& sample);
  Result<bool> output_step(std::vector<std::uint8_t>& out);
  Result<void> renegotiate();
  Result<void> drain(std::vector<std::uint8_t>& out);
  void note_input_request() {
    if (pending_input_requests < std::numeric_limits<std::uint32_t>::max()) ++pending_input_requests;
  }
  Result<void> asynchronous_path(MfSample& sample, std::vector<std::uint8_t>& out);
  Result<void> synchronous_path(MfSample& sample, std::vector<std::uint8_t>& out);
  void log_samples_per_call();
  void warm_up();
};

Result<HardwareEncoder> HardwareEncoder::create(MediaFoundation& mf, std::uint32_t width,
                                                std::uint32_t height, std::uint32_t fps,
                                                std::uint32_t kbps, std::uint32_t profile,
                                                Logger& log, const Clock& clock, FrameSize input) {
  const bool scaled = input.width >= width && input.height >= height && width % 2 == 0 &&
                      height % 2 == 0 && width != 0 && height != 0 &&
                      !(input == FrameSize{width, height});
  const Settings settings{width, height, scaled ? input : FrameSize{width, height},
                          std::max<std::uint32_t>(fps, 1), kbps, profile};
  if (auto started = mf.startup(); !started) {
    return std::unexpected(std::move(started.error()).context("init"));
  }
  auto entries = mf.enumerate_h264_encoders();
  if (!entries) return std::unexpected(std::move(entries.error()).context("init"));
  std::erase(*entries, nullptr);
  if (entries->empty()) return std::unexpected(no_encoder_found().context("init"));

  std::vector<std::string> names;
  for (auto& entry : *entries) names.push_back(friendly_name(*entry));
  log.log(fmt::format("ENCODER enum: gasit {} encodere HW", names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) {
    log.log(fmt::format("ENCODER enum: [{}] {}", i, names[i]));
  }

  std::optional<Error> last_error;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    auto candidate = set_up(mf, *(*entries)[i], settings, log);
    if (!candidate) {
      log.log(fmt::format("ENCODER: skip {}: 0x{:08X}", names[i], hex(candidate.error())));
      last_error = std::move(candidate.error());
      continue;
    }
    entries->clear();  // the others are not needed any more
    HardwareEncoder encoder(
        std::make_unique<State>(mf, log, clock, settings, std::move(*candidate)));
    log.log(fmt::format("ENCODER: hardware activat: {}", names[i]));

    const std::vector<std::uint8_t> black(
        std::size_t{settings.input.width} * settings.input.height * 4, 0);
    for (unsigned frame = 0; frame < kValidationFrames; ++frame) {
      if (auto out = encoder.encode(black, frame); !out) {
        return std::unexpected(std::move(out.error()).context("validation"));
      }
    }
    if (encoder.asynchronous()) encoder.state_->warm_up();
    // The validation frames had the transform's first key frame; the GUI's
    // first picture must be one too.
    encoder.force_key_frame();
    return encoder;
  }
  return std::unexpected(last_error.value_or(no_encoder_found()).context("init"));
}

HardwareEncoder::HardwareEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
HardwareEncoder::HardwareEncoder(HardwareEncoder&&) noexcept = default;
HardwareEncoder& HardwareEncoder::operator=(HardwareEncoder&&) noexcept = default;
HardwareEncoder::~HardwareEncoder() = default;

bool HardwareEncoder::asynchronous() const { return state_->candidate.events != nullptr; }

void HardwareEncoder::force_key_frame() {
  State& s = *state_;
  s.key_frame_request = true;
  if (!s.candidate.codec_api) return;
  if (auto asked = s.candidate.codec_api->set_value(MfCodecProperty::force_key_frame,
                                                    MfCodecValue::ui4(1))) {
    s.key_frame_lines.write(s.log, s.clock, "ENCODER hw: ForceKeyFrame cerut (ICodecAPI)");
  } else {
    s.key_frame_lines.write(
        s.log, s.clock,
        fmt::format("ENCODER hw: ForceKeyFrame esuat (0x{:08X}) - fallback CleanPoint/GOP",
                    hex(asked.error())));
  }
}

Result<EncodedFrame> HardwareEncoder::encode(std::span<const std::uint8_t> bgra,
                                             std::uint64_t frame_number) {
  State& s = *state_;
  const FrameSize input = s.settings.input;
  const std::size_t expected = std::size_t{input.width} * input.height * 4;
  if (bgra.size() != expected) {
    return std::unexpected(
        Error::message(fmt::format("frame size mismatch: got {} bytes, encoder is {}x{} = {} bytes",
                                   bgra.size(), input.width, input.height, expected))
            .context(fmt::format("HW encode frame {}", frame_number)));
  }
  s.outputs_in_call = 0;
  s.output_steps_in_call = 0;
  if (s.scaler) {
    bgra_to_nv12(*s.scaler, bgra, s.nv12);
  } else {
    bgra_to_nv12(bgra, s.settings.width, s.settings.height, s.nv12);
  }
  EncodedFrame out;
  Result<void> done = s.submit(out);
  s.log_samples_per_call();
  if (!done) {
    s.undelivered = std::move(out);
    return std::unexpected(
        std::move(done.error()).context(fmt::format("HW encode frame {}", frame_number)));
  }
  return out;
}

EncodedFrame HardwareEncoder::take_undelivered_output() { return std::exchange(state_->undelivered, {}); }

Result<EncodedFrame> HardwareEncoder::collect_pending_output() {
  State& s = *state_;
  EncodedFrame out;
  if (!s.candidate.events) return out;
  s.outputs_in_call = 0;
  s.output_steps_in_call = 0;
  Result<void> drained = s.drain(out);
  s.log_samples_per_call();
  if (!drained) {
    s.undelivered = std::move(out);
    return std::unexpected(std::move(drained.error()).context("HW collect output"));
  }
  return out;
}

Result<EncodedFrame> HardwareEncoder::wait_for_output(std::chrono::milliseconds limit) {
  State& s = *state_;
  EncodedFrame out;
  if (!s.candidate.events) return out;
  s.outputs_in_call = 0;
  s.output_steps_in_call = 0;
  const Clock::MonotonicTime deadline = s.clock.monotonic_now() + limit;
  while (out.empty()) {
    const auto left = deadline - s.clock.monotonic_now();
    if (left <= Clock::MonotonicTime::duration::zero()) break;
    auto event = s.candidate.events->wait(std::chrono::ceil<std::chrono::milliseconds>(left));
    if (!event) return std::unexpected(std::move(event.error()).context("HW wait for output"));
    if (!*event) break;
    if (**event == kMfEventHaveOutput) {
      if (auto step = s.output_step(out); !step) {
        return std::unexpected(std::move(step.error()).context("HW wait for output"));
      }
    } else if (**event == kMfEventNeedInput) {
      s.note_input_request();
    }
  }
  s.log_samples_per_call();
  return out;
}

Result<void> HardwareEncoder::State::submit(std::vector<std::uint8_t>& out) {
  auto sample = mf.create_input_sample(nv12, sample_time, frame_duration);
  if (!sample) return std::unexpected(std::move(sample.error()));
  if (*sample == nullptr) return std::unexpected(Error::hresult(0, "no sample"));
  if (key_frame_request) {
    (void)(*sample)->set_discontinuity();
    key_frame_request = false;
  }
  sample_time += frame_duration;
  return candidate.events ? asynchronous_path(**sample, out) : synchronous_path(**sample, out);
}

Result<void> HardwareEncoder::State::input_step(MfSample& sample) {
  if (auto accepted = candidate.transform->process_input(sample); !accepted) {
    input_errors.write(log, clock, fmt::format("ENCODER hw: ProcessInput ERR 0x{:08X}", hex(accepted.error())));
    return accepted;
  }
  if (verbose_countdown != 0) log.log("ENCODER hw: ProcessInput Ok");
  return {};
}

Result<void> HardwareEncoder::State::synchronous_path(MfSample& sample,
                                                      std::vector<std::uint8_t>& out) {
  if (auto in = input_step(sample); !in) return in;
  for (;;) {
    auto more = output_step(out);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
  }
}

Result<void> HardwareEncoder::State::asynchronous_path(MfSample& sample,
                                                       std::vector<std::uint8_t>& out) {
  if (pending_input_requests > 0) {
    --pending_input_requests;
    if (auto in = input_step(sample); !in) return in;
    return drain(out);
  }
  // Bounded: a transform that stops posting events must not hold the
  // capture thread; its frame fails instead.
  const Clock::MonotonicTime deadline = clock.monotonic_now() + kEventWait;
  for (;;) {
    const auto left = deadline - clock.monotonic_now();
    if (left <= Clock::MonotonicTime::duration::zero()) break;
    auto event = candidate.events->wait(std::chrono::ceil<std::chrono::milliseconds>(left));
    if (!event) return std::unexpected(std::move(event.error()));
    if (!*event) break;
    if (**event == kMfEventHaveOutput) {
      if (auto step = output_step(out); !step) return std::unexpected(std::move(step.error()));
    } else if (**event == kMfEventNeedInput) {
      if (auto in = input_step(sample); !in) return in;
      return drain(out);
    }
  }
  return std::unexpected(Error::hresult(
      kTimeout, fmt::format("no input request from the transform within {} ms", kEventWait.count())));
}

Result<void> HardwareEncoder::State::drain(std::vector<std::uint8_t>& out) {
  for (unsigned n = 0; n < kMaxEventsPerDrain; ++n) {
    auto event = candidate.events->poll();
    if (!event) return std::unexpected(std::move(event.error()));
    if (!*event) return {};
    if (**event == kMfEventNeedInput) {
      note_input_request();
    } else if (**event == kMfEventHaveOutput) {
      if (auto step = output_step(out); !step) return std::unexpected(std::move(step.error()));
    }
  }
  return {};
}

Result<bool> HardwareEncoder::State::output_step(std::vector<std::uint8_t>& out) {
  if (++output_steps_in_call > kMaxOutputStepsPerCall) {
    return std::unexpected(Error::hresult(
        kMfUnexpected, fmt::format("more than {} outputs in one call", kMaxOutputStepsPerCall)));
  }
  const bool verbose = verbose_countdown != 0;
  if (verbose) --verbose_countdown;

  std::unique_ptr<MfSample> ours;
  if (!candidate.provides_samples) {
    auto made = mf.create_output_sample(kOutputSampleBytes);
    if (!made) return std::unexpected(std::move(made.error()));
    ours = std::move(*made);
  }
  auto result = candidate.transform->process_output(std::move(ours));
  if (result) {
    const std::size_t before = out.size();
    if (MfSample* sample = result->get()) {
      auto count = sample->buffer_count();
      if (!count) return std::unexpected(std::move(count.error()));
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (auto appended = sample->append_buffer(i, out); !appended) {
          return std::unexpected(std::move(appended.error()));
        }
      }
    }
    const std::size_t bytes = out.size() - before;
    if (bytes > 0) ++outputs_in_call;
    if (verbose) {
      log.log(fmt::format("ENCODER hw: ProcessOutput Ok out_bytes={}{}", bytes,
                          bytes == 0 ? " (EMPTY!)" : ""));
    }
    return true;
  }
  switch (result.error().code()) {
    case kMfNeedMoreInput:
      if (verbose) log.log("ENCODER hw: ProcessOutput NEED_MORE_INPUT (no output)");
      return false;
    case kMfUnexpected:
      if (verbose) log.log("ENCODER hw: ProcessOutput E_UNEXPECTED (benign, no output)");
      return false;
    case kMfStreamChange:
      if (auto renegotiated = renegotiate(); !renegotiated) {
        return std::unexpected(std::move(renegotiated.error()));
      }
      return false;
    default:
      output_errors.write(log, clock,
                          fmt::format("ENCODER hw: ProcessOutput ERR 0x{:08X}", hex(result.error())));
      return std::unexpected(std::move(result.error()));
  }
}

Result<void> HardwareEncoder::State::renegotiate() {
  auto available = candidate.transform->output_available_type(0);
  if (!available) return std::unexpected(std::move(available.error()));
  if (*available == nullptr) return std::unexpected(Error::hresult(0, "no output type"));
  MfMediaType& t = **available;
  const std::uint64_t offered = t.get_uint64(MfTypeKey::frame_size).value_or(0);
  if (auto set = in_order(
          [&] { return t.set_guid(MfTypeKey::major_type, MfTypeGuid::video); },
          [&] { return t.set_guid(MfTypeKey::subtype, MfTypeGuid::h264); },
          [&] { return t.set_uint64(MfTypeKey::frame_size, settings.frame_size()); },
          [&] { return t.set_uint64(MfTypeKey::frame_rate, settings.frame_rate()); },
          [&] { return t.set_uint32(MfTypeKey::interlace_mode, kInterlaceProgressive); },
          [&] { return t.set_uint32(MfTypeKey::avg_bitrate, settings.bit_rate()); },
          [&] { return t.set_uint32(MfTypeKey::mpeg2_profile, settings.profile); });
      !set) {
    return set;
  }
  if (auto set = candidate.transform->set_output_type(t); !set) return set;
  const std::uint64_t forced = t.get_uint64(MfTypeKey::frame_size).value_or(0);
  log.log(fmt::format("ENCODER hw: STREAM_CHANGE (template {}x{}) -> forced output {}x{}",
                      offered >> 32, offered & 0xFFFFFFFFU, forced >> 32, forced & 0xFFFFFFFFU));
  verbose_countdown = std::max(verbose_countdown, kVerboseAfterStreamChange);
  return {};
}

void HardwareEncoder::State::log_samples_per_call() {
  if (outputs_in_call < 2) return;
  const Clock::MonotonicTime now = clock.monotonic_now();
  if (last_samples_per_call_log && now - *last_samples_per_call_log < kSamplesPerCallLogInterval) {
    return;
  }
  log.log(fmt::format("ENCODER hw: {} sample-uri intr-un apel", outputs_in_call));
  last_samples_per_call_log = now;
}

void HardwareEncoder::State::warm_up() {
  const Clock::MonotonicTime start = clock.monotonic_now();
  std::vector<std::uint8_t> discarded;
  while (clock.monotonic_now() - start < kWarmUp) {
    outputs_in_call = 0;
    output_steps_in_call = 0;
    discarded.clear();
    // A failure here shows again on the first real frame, where it counts.
    (void)drain(discarded);
    log_samples_per_call();
    clock.sleep_for(kWarmUpPause);
  }
}

}  // namespace halvorine
