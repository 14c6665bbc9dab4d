// The per-frame half of the hardware encoder: one frame in as NV12, what the
// transform hands out collected, synchronously or through its event queue.
#include "encoder/hardware_encoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "common/log_throttle.h"
#include "encoder/annex_b.h"
#include "encoder/color_conversion.h"
#include "encoder/hardware_setup.h"
#include "encoder/parameter_sets.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;

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
// Longest sequence header read from the output type.
constexpr std::size_t kMaxSequenceHeader = 2 * ParameterSets::kMaxBytes;

}  // namespace

struct HardwareEncoder::State {
  State(MediaFoundation& mf, Logger& log, const Clock& clock, const HardwareSettings& settings,
        TransformHandles handles)
      : mf(mf),
        log(log),
        clock(clock),
        settings(settings),
        nv12(nv12_size(settings.width, settings.height), 0),
        frame_duration(10'000'000 / settings.fps),
        handles(std::move(handles)) {
    if (!(settings.input == FrameSize{settings.width, settings.height})) {
      scaler.emplace(settings.input, FrameSize{settings.width, settings.height});
    }
  }

  MediaFoundation& mf;
  Logger& log;
  const Clock& clock;
  HardwareSettings settings;
  std::vector<std::uint8_t> nv12;     // the last frame at the even size, reused
  bool planes_current = false;        // nv12 holds the last frame given (not scaled)
  std::optional<FrameScaler> scaler;  // input frames larger than the picture
  std::optional<Clock::MonotonicTime> last_samples_per_call_log;
  std::int64_t sample_time = 0;  // 100 ns units
  std::int64_t frame_duration;
  std::uint32_t verbose_countdown = kVerboseOutputs;
  std::uint32_t pending_input_requests = 0;
  std::uint32_t outputs_in_call = 0;
  unsigned output_steps_in_call = 0;
  bool key_frame_request = true;
  bool stream_changed = false;  // in the current call
  std::uint64_t stream_changes = 0;
  // Output an asynchronous transform announced after a stream change in the
  // same call: taken at the start of the next call, which the facade starts
  // behind a closed gate with the new type's parameter sets.
  std::uint32_t outputs_due = 0;
  TransformHandles handles;
  EncodedFrame opening;  // the validation output, kept for the first call
  ParameterSets seen;    // in the transform's own output
  // Pictures in and out, for pushing out what a pipeline holds.
  std::uint64_t inputs_taken = 0;
  std::uint64_t pictures_out = 0;
  std::uint64_t awaited = 0;  // inputs_taken after the last new frame
  unsigned pushes = 0;        // since the last new frame
  bool submitting_new_frame = false;
  Clock::MonotonicTime last_input{};
  // Lines that would otherwise repeat on every frame or request.
  RepeatThrottle key_frame_lines;
  RepeatThrottle input_errors;
  RepeatThrottle output_errors;

  void begin_call() {
    outputs_in_call = 0;
    output_steps_in_call = 0;
    stream_changed = false;
  }
  EncodeResult finish(EncodedFrame out, Result<void> done);
  Result<void> submit(EncodedFrame& out);
  Result<void> input_step(MfSample& sample);
  Result<bool> output_step(EncodedFrame& out);
  Result<void> take_sample(MfSample* sample, EncodedFrame& out, bool verbose);
  Result<void> renegotiate();
  Result<void> drain(EncodedFrame& out);
  Result<void> take_due_outputs(EncodedFrame& out);
  Result<void> push_held_pictures(EncodedFrame& out);
  void note_input_request() {
    if (pending_input_requests < std::numeric_limits<std::uint32_t>::max()) ++pending_input_requests;
  }
  // What an asynchronous transform's events are awaited for.
  enum class Awaited { input_request, output };
  Result<bool> await_event(Awaited awaited, EncodedFrame& out);
  Result<void> asynchronous_path(MfSample& sample, EncodedFrame& out);
  Result<void> synchronous_path(MfSample& sample, EncodedFrame& out);
  void log_samples_per_call();
  void warm_up(EncodedFrame& kept);
  Result<void> wait_for_output(EncodedFrame& out);
};

HardwareEncoder::HardwareEncoder(MediaFoundation& mf, Logger& log, const Clock& clock,
                                 const HardwareSettings& settings, TransformHandles handles)
    : state_(std::make_unique<State>(mf, log, clock, settings, std::move(handles))) {}
HardwareEncoder::HardwareEncoder(HardwareEncoder&&) noexcept = default;
HardwareEncoder& HardwareEncoder::operator=(HardwareEncoder&&) noexcept = default;
HardwareEncoder::~HardwareEncoder() = default;

bool HardwareEncoder::asynchronous() const { return state_->handles.events != nullptr; }
FrameSize HardwareEncoder::size() const { return {state_->settings.width, state_->settings.height}; }
std::uint32_t HardwareEncoder::fps() const { return state_->settings.fps; }

Result<void> HardwareEncoder::validate(std::span<const std::uint8_t> opening_picture, bool quiet) {
  State& s = *state_;
  if (quiet) s.verbose_countdown = 0;
  const bool keep = !opening_picture.empty();
  std::vector<std::uint8_t> black;
  if (!keep) black.assign(std::size_t{s.settings.input.width} * s.settings.input.height * 4, 0);
  const std::span<const std::uint8_t> picture = keep ? opening_picture : std::span(black);
  EncodedFrame kept;
  const std::uint64_t changes_before = s.stream_changes;
  for (unsigned frame = 0; frame < kValidationFrames; ++frame) {
    EncodeResult out = encode(picture);
    kept.insert(kept.end(), out->begin(), out->end());
    if (!out) return std::unexpected(out.error().context(fmt::format("HW encode frame {}", frame)));
  }
  if (asynchronous()) s.warm_up(kept);
  // The opening is the point of it: a slow transform gets a bounded wait.
  if (keep && kept.empty() && asynchronous()) (void)s.wait_for_output(kept);
  // An opening from before a stream change would carry the old type.
  if (keep && s.stream_changes == changes_before) {
    s.opening = std::move(kept);
  } else {
    // The validation frames had the transform's first key frame; the GUI's
    // first picture must be one too.
    force_key_frame();
    // Nothing of them is worth pushing out: a held black picture, submitted
    // again as that key frame, would be the GUI's first.
    s.awaited = 0;
  }
  return {};
}

void HardwareEncoder::force_key_frame() {
  State& s = *state_;
  s.key_frame_request = true;
  if (!s.handles.codec_api) return;
  if (auto asked = s.handles.codec_api->set_value(MfCodecProperty::force_key_frame,
                                                  MfCodecValue::ui4(1))) {
    s.key_frame_lines.write(s.log, s.clock, "ENCODER hw: ForceKeyFrame cerut (ICodecAPI)");
  } else {
    s.key_frame_lines.write(
        s.log, s.clock,
        fmt::format("ENCODER hw: ForceKeyFrame esuat (0x{:08X}) - fallback CleanPoint/GOP",
                    hex(asked.error())));
  }
}

EncodedFrame HardwareEncoder::parameter_sets() {
  State& s = *state_;
  if (auto type = s.handles.transform->output_current_type(); type && *type) {
    if (auto header = (*type)->get_blob(MfTypeKey::sequence_header, kMaxSequenceHeader)) {
      ParameterSets published;
      published.note(*header);
      if (published.complete()) return published.bytes();
    }
  }
  return s.seen.bytes();
}

EncodeResult HardwareEncoder::encode(std::span<const std::uint8_t> bgra) {
  state_->planes_current = false;
  return encode_changed(bgra, {});
}

EncodeResult HardwareEncoder::encode_changed(std::span<const std::uint8_t> bgra,
                                             std::span<const Rect> changed) {
  State& s = *state_;
  s.begin_call();
  if (s.scaler) {
    bgra_to_nv12(*s.scaler, bgra, s.nv12);
  } else if (s.planes_current) {
    bgra_to_nv12(bgra, s.settings.width, s.settings.height, changed, s.nv12);
  } else {
    bgra_to_nv12(bgra, s.settings.width, s.settings.height, s.nv12);
    s.planes_current = true;
  }
  EncodedFrame out;
  Result<void> done = s.take_due_outputs(out);
  if (done) {
    s.submitting_new_frame = true;
    done = s.submit(out);
    s.submitting_new_frame = false;
  }
  return s.finish(std::move(out), std::move(done));
}

EncodeResult HardwareEncoder::collect_pending_output() {
  State& s = *state_;
  s.begin_call();
  EncodedFrame out;
  Result<void> done = s.take_due_outputs(out);
  if (done && s.handles.events) done = s.drain(out);
  if (done) done = s.push_held_pictures(out);
  return s.finish(std::move(out), std::move(done));
}

EncodeResult HardwareEncoder::State::finish(EncodedFrame out, Result<void> done) {
  log_samples_per_call();
  if (!opening.empty()) out.insert(out.begin(), opening.begin(), opening.end());
  opening = {};
  EncodeResult result{std::move(out), std::nullopt, stream_changed};
  if (!done) result.failure = std::move(done.error());
  return result;
}

Result<void> HardwareEncoder::State::push_held_pictures(EncodedFrame& out) {
  if (pictures_out >= awaited || pushes >= kMaxPushes) return {};
  if (clock.monotonic_now() - last_input < kPushAfter) return {};
  // The same picture again: each one the transform takes lets an older one out.
  while (pictures_out < awaited && pushes < kMaxPushes &&
         (!handles.events || pending_input_requests > 0)) {
    ++pushes;
    if (auto pushed = submit(out); !pushed) return pushed;
  }
  return {};
}

Result<void> HardwareEncoder::State::submit(EncodedFrame& out) {
  auto sample = mf.create_input_sample(nv12, sample_time, frame_duration);
  if (!sample) return std::unexpected(std::move(sample.error()));
  if (*sample == nullptr) return std::unexpected(Error::hresult(0, "no sample"));
  if (key_frame_request) {
    (void)(*sample)->set_discontinuity();
    key_frame_request = false;
  }
  sample_time += frame_duration;
  return handles.events ? asynchronous_path(**sample, out) : synchronous_path(**sample, out);
}

Result<void> HardwareEncoder::State::input_step(MfSample& sample) {
  if (auto accepted = handles.transform->process_input(sample); !accepted) {
    input_errors.write(log, clock, fmt::format("ENCODER hw: ProcessInput ERR 0x{:08X}", hex(accepted.error())));
    return accepted;
  }
  if (verbose_countdown != 0) log.log("ENCODER hw: ProcessInput Ok");
  ++inputs_taken;
  last_input = clock.monotonic_now();
  if (submitting_new_frame) {
    awaited = inputs_taken;
    pushes = 0;
  }
  return {};
}

Result<void> HardwareEncoder::State::synchronous_path(MfSample& sample, EncodedFrame& out) {
  if (auto in = input_step(sample); !in) return in;
  for (;;) {
    auto more = output_step(out);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
  }
}

// Handles an asynchronous transform's events for at most kEventWait, each
// output into `out`, until what is awaited comes: an input request (true; it
// is taken, not noted), or output in `out` (an input request meanwhile is
// noted for later). False when the wait ran out or the events stopped.
Result<bool> HardwareEncoder::State::await_event(Awaited awaited, EncodedFrame& out) {
  const Clock::MonotonicTime deadline = clock.monotonic_now() + kEventWait;
  while (awaited == Awaited::input_request || out.empty()) {
    const auto left = deadline - clock.monotonic_now();
    if (left <= Clock::MonotonicTime::duration::zero()) break;
    auto event = handles.events->wait(std::chrono::ceil<std::chrono::milliseconds>(left));
    if (!event) return std::unexpected(std::move(event.error()));
    if (!*event) break;
    if (**event == kMfEventHaveOutput) {
      if (auto step = output_step(out); !step) return std::unexpected(std::move(step.error()));
    } else if (**event == kMfEventNeedInput) {
      if (awaited == Awaited::input_request) return true;
      note_input_request();
    }
  }
  return false;
}

Result<void> HardwareEncoder::State::asynchronous_path(MfSample& sample, EncodedFrame& out) {
  if (pending_input_requests > 0) {
    --pending_input_requests;
  } else {
    // Bounded: a transform that stops posting events must not hold the
    // capture thread; its frame fails instead.
    const Result<bool> requested = await_event(Awaited::input_request, out);
    if (!requested) return std::unexpected(requested.error());
    if (!*requested) {
      return std::unexpected(Error::hresult(
          kTimeout, fmt::format("no input request from the transform within {} ms", kEventWait.count())));
    }
  }
  if (auto in = input_step(sample); !in) {
    // The sample was not taken, so the request it answered still stands: the
    // next frame goes at once. "Not accepting" says there was none.
    if (in.error().code() != kMfNotAccepting) note_input_request();
    return in;
  }
  return drain(out);
}

Result<void> HardwareEncoder::State::take_due_outputs(EncodedFrame& out) {
  for (; outputs_due > 0 && !stream_changed; --outputs_due) {
    if (auto step = output_step(out); !step) {
      --outputs_due;
      return std::unexpected(std::move(step.error()));
    }
  }
  return {};
}

Result<void> HardwareEncoder::State::drain(EncodedFrame& out) {
  for (unsigned n = 0; n < kMaxEventsPerDrain; ++n) {
    auto event = handles.events->poll();
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

Result<bool> HardwareEncoder::State::output_step(EncodedFrame& out) {
  if (stream_changed) {
    // Stop collecting at the change: what follows is of the new type.
    if (outputs_due < std::numeric_limits<std::uint32_t>::max()) ++outputs_due;
    return false;
  }
  if (++output_steps_in_call > kMaxOutputStepsPerCall) {
    return std::unexpected(Error::hresult(
        kMfUnexpected, fmt::format("more than {} outputs in one call", kMaxOutputStepsPerCall)));
  }
  const bool verbose = verbose_countdown != 0;
  if (verbose) --verbose_countdown;

  std::unique_ptr<MfSample> ours;
  if (!handles.provides_samples) {
    auto made = mf.create_output_sample(handles.output_sample_bytes);
    if (!made) return std::unexpected(std::move(made.error()));
    ours = std::move(*made);
  }
  auto result = handles.transform->process_output(std::move(ours));
  if (result) {
    if (auto taken = take_sample(result->get(), out, verbose); !taken) {
      return std::unexpected(std::move(taken.error()));
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

// Appends what one output step handed out, if it can be H.264 at all.
Result<void> HardwareEncoder::State::take_sample(MfSample* sample, EncodedFrame& out, bool verbose) {
  const std::size_t before = out.size();
  if (sample != nullptr) {
    auto count = sample->buffer_count();
    if (!count) return std::unexpected(std::move(count.error()));
    for (std::uint32_t i = 0; i < *count; ++i) {
      const std::size_t room = kMaxSampleBytes - std::min(kMaxSampleBytes, out.size() - before);
      if (auto appended = sample->append_buffer(i, out, room); !appended) {
        out.resize(before);
        return std::unexpected(std::move(appended.error()));
      }
    }
  }
  const std::size_t bytes = out.size() - before;
  if (verbose) {
    log.log(fmt::format("ENCODER hw: ProcessOutput Ok out_bytes={}{}", bytes,
                        bytes == 0 ? " (EMPTY!)" : ""));
  }
  // The picture this step should have carried is lost, whatever came instead.
  const std::span<const std::uint8_t> taken(out.data() + before, bytes);
  if (bytes == 0) return std::unexpected(Error::hresult(kMfInvalidData, "empty output sample"));
  if (!is_annex_b(taken)) {
    out.resize(before);
    return std::unexpected(Error::hresult(kMfInvalidData, "output that is not H.264 (Annex-B)"));
  }
  ++outputs_in_call;
  pictures_out += picture_count(taken);
  seen.note(taken);
  return {};
}

Result<void> HardwareEncoder::State::renegotiate() {
  auto available = handles.transform->output_available_type(0);
  if (!available) return std::unexpected(std::move(available.error()));
  if (*available == nullptr) return std::unexpected(Error::hresult(0, "no output type"));
  MfMediaType& t = **available;
  const std::uint64_t offered = t.get_uint64(MfTypeKey::frame_size).value_or(0);
  if (auto set = fill_h264_output_type(t, settings); !set) return set;
  if (auto set = handles.transform->set_output_type(t); !set) return set;
  // The new type may need larger buffers; if the size cannot be read, the old one stays.
  if (auto info = handles.transform->output_stream_info()) handles.output_sample_bytes = output_sample_bytes(info);
  const std::uint64_t forced = t.get_uint64(MfTypeKey::frame_size).value_or(0);
  log.log(fmt::format("ENCODER hw: STREAM_CHANGE (template {}x{}) -> forced output {}x{}",
                      offered >> 32, offered & 0xFFFFFFFFU, forced >> 32, forced & 0xFFFFFFFFU));
  verbose_countdown = std::max(verbose_countdown, kVerboseAfterStreamChange);
  // Parameter sets of the old type no longer hold.
  stream_changed = true;
  ++stream_changes;
  seen.clear();
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

// Waits at most kEventWait for an asynchronous transform's next output.
Result<void> HardwareEncoder::State::wait_for_output(EncodedFrame& out) {
  begin_call();
  if (const Result<bool> waited = await_event(Awaited::output, out); !waited) {
    return std::unexpected(waited.error());
  }
  return {};
}

void HardwareEncoder::State::warm_up(EncodedFrame& kept) {
  const Clock::MonotonicTime start = clock.monotonic_now();
  while (clock.monotonic_now() - start < kWarmUp) {
    begin_call();
    // A failure here shows again on the first real frame, where it counts.
    (void)drain(kept);
    log_samples_per_call();
    clock.sleep_for(kWarmUpPause);
  }
}

}  // namespace halvorine
