// Choosing and configuring the transform: enumeration, the candidates in
// order, codec settings, media types, and the validation frames.
#include "encoder/hardware_setup.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "common/utf16.h"
#include "encoder/color_conversion.h"
#include "encoder/hardware_encoder.h"

namespace halvorine {
namespace {

constexpr std::uint32_t kInterlaceProgressive = 2;
constexpr std::uint32_t kNominalRange16To235 = 2;
constexpr std::uint32_t kMatrixBt709 = 1;
constexpr std::uint32_t kPrimariesBt709 = 2;
constexpr std::uint32_t kTransferBt709 = 5;
constexpr std::uint32_t kRateControlPeakConstrainedVbr = 1;
constexpr std::uint32_t kRateControlUnconstrainedVbr = 2;
constexpr std::uint32_t kKeyFrameSpacingSeconds = 600;

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

Error no_encoder_found() {
  return Error::hresult(static_cast<std::int32_t>(0xFFFFFFFF), "No hardware H.264 encoder found");
}

// Rate control, bit rates, B-frames and latency, each refused setting
// becoming its label in one log line.
void apply_codec_settings(MfCodecApi& codec, const HardwareSettings& s, Logger& log) {
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

Result<void> set_output_type(MediaFoundation& mf, MfTransform& transform, const HardwareSettings& s,
                             Logger& log) {
  auto type = mf.create_media_type();
  if (!type) return std::unexpected(std::move(type.error()));
  MfMediaType& t = **type;
  if (auto set = fill_h264_output_type(t, s); !set) return set;
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

Result<void> set_input_type(MediaFoundation& mf, MfTransform& transform, const HardwareSettings& s) {
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

}  // namespace

std::uint64_t HardwareSettings::frame_size() const {
  return pack(padded_to_even(width), padded_to_even(height));
}
std::uint64_t HardwareSettings::frame_rate() const { return pack(fps, 1); }
std::uint32_t HardwareSettings::bit_rate() const { return saturate(std::uint64_t{kbps} * 1000); }
std::uint32_t HardwareSettings::key_frame_spacing() const {
  return saturate(std::uint64_t{fps} * kKeyFrameSpacingSeconds);
}

Result<void> fill_h264_output_type(MfMediaType& t, const HardwareSettings& s) {
  return in_order([&] { return t.set_guid(MfTypeKey::major_type, MfTypeGuid::video); },
                  [&] { return t.set_guid(MfTypeKey::subtype, MfTypeGuid::h264); },
                  [&] { return t.set_uint64(MfTypeKey::frame_size, s.frame_size()); },
                  [&] { return t.set_uint64(MfTypeKey::frame_rate, s.frame_rate()); },
                  [&] { return t.set_uint32(MfTypeKey::interlace_mode, kInterlaceProgressive); },
                  [&] { return t.set_uint32(MfTypeKey::avg_bitrate, s.bit_rate()); },
                  [&] { return t.set_uint32(MfTypeKey::mpeg2_profile, s.profile); });
}

std::string friendly_name(MfEncoderCandidate& candidate) {
  Result<std::u16string> name = candidate.friendly_name();
  if (!name) return "unknown";
  if (!is_valid_utf16(*name)) return {};
  return utf16_to_utf8_lossy(*name);
}

Result<TransformHandles> set_up_transform(MediaFoundation& mf, MfEncoderCandidate& entry,
                                          const HardwareSettings& s, Logger& log) {
  TransformHandles c;
  auto transform = entry.activate();
  if (!transform) return std::unexpected(std::move(transform.error()));
  if (*transform == nullptr) return std::unexpected(Error::hresult(0, "no transform"));
  c.transform = std::move(*transform);

  // Unreadable attributes: a synchronous transform, left as it is.
  bool asynchronous = false;
  if (auto attributes = c.transform->attributes(); attributes && *attributes) {
    MfAttributes& a = **attributes;
    auto async = a.get_uint32(MfTransformKey::async);
    asynchronous = async && *async == 1;
    if (asynchronous) {
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

  if (asynchronous) {
    auto events = c.transform->event_queue();
    if (!events) return std::unexpected(std::move(events.error()));
    if (*events == nullptr) return std::unexpected(Error::hresult(0, "no event generator"));
    c.events = std::move(*events);
  }

  const auto info = c.transform->output_stream_info();
  c.provides_samples = info && (info->flags & kMfOutputProvidesSamples) != 0;
  c.output_sample_bytes = output_sample_bytes(info);

  for (MfMessage message : {MfMessage::notify_begin_streaming, MfMessage::notify_start_of_stream}) {
    if (auto sent = c.transform->process_message(message); !sent) {
      return std::unexpected(std::move(sent.error()));
    }
  }
  return c;
}

std::uint32_t output_sample_bytes(const Result<MfOutputStreamInfo>& info) {
  constexpr auto kMax = static_cast<std::uint32_t>(HardwareEncoder::kMaxSampleBytes);
  return std::clamp(info ? info->size : 0U, HardwareEncoder::kMinOutputSampleBytes, kMax);
}

Result<HardwareEncoder> HardwareEncoder::create(MediaFoundation& mf, std::uint32_t width,
                                                std::uint32_t height, std::uint32_t fps,
                                                std::uint32_t kbps, std::uint32_t profile,
                                                Logger& log, const Clock& clock, FrameSize input,
                                                std::span<const std::uint8_t> opening_picture,
                                                bool quiet) {
  const bool scaled = input.width >= width && input.height >= height && width % 2 == 0 &&
                      height % 2 == 0 && width != 0 && height != 0 &&
                      !(input == FrameSize{width, height});
  const HardwareSettings settings{width, height, scaled ? input : FrameSize{width, height},
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
    auto handles = set_up_transform(mf, *(*entries)[i], settings, log);
    if (!handles) {
      log.log(fmt::format("ENCODER: skip {}: 0x{:08X}", names[i], hex(handles.error())));
      last_error = std::move(handles.error());
      continue;
    }
    entries->clear();  // the others are not needed any more
    HardwareEncoder encoder(mf, log, clock, settings, std::move(*handles));
    log.log(fmt::format("ENCODER: hardware activat: {}", names[i]));
    const std::size_t frame_bytes = std::size_t{settings.input.width} * settings.input.height * 4;
    if (opening_picture.size() != frame_bytes) opening_picture = {};
    if (auto valid = encoder.validate(opening_picture, quiet); !valid) {
      return std::unexpected(std::move(valid.error()).context("validation"));
    }
    return encoder;
  }
  return std::unexpected(last_error.value_or(no_encoder_found()).context("init"));
}

}  // namespace halvorine
