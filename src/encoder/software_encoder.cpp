#include "encoder/software_encoder.h"

#include <fmt/format.h>
#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "encoder/color_conversion.h"
#include "encoder/openh264_library.h"
#include "encoder/output_ceiling.h"

namespace halvorine {
namespace {

constexpr std::string_view kResolutionMessage =
    "Encoder max resolution 3840x2160 horizontal or 2160x3840 vertical";

// The description of a failed library call: its native return code and our
// own message, if any.
std::string describe(int native, std::string_view message = {}) {
  return fmt::format("OpenH264 encountered an error. Native: {}. Message: {}", native,
                     message.empty() ? std::string_view("None") : message);
}

// The hardware path's ceiling, in times the target bit rate. OpenH264 cannot
// hold one without skipping frames itself: a screen that changes as a whole
// is coded as one IDR picture per frame, whose QP it caps (34 at 1080p,
// 6 Mbit/s, 20 fps) whatever the QP limits say, and its own skipping also
// drops the changes that follow any large key frame.
constexpr std::uint64_t kCeilingTimesTarget = 2;

// Regions of held-back frames remembered one by one; beyond this many the
// next frame is converted whole.
constexpr std::size_t kMaxHeldBack = 64;

bool within_limits(std::uint32_t width, std::uint32_t height) {
  return std::max(width, height) <= SoftwareEncoder::kMaxLongSide &&
         std::min(width, height) <= SoftwareEncoder::kMaxShortSide;
}

Error encode_error(int native, std::string_view message = {}) {
  return Error::message(describe(native, message)).context("openh264 encode");
}

}  // namespace

struct SoftwareEncoder::State {
  State(OpenH264Library& library, ISVCEncoder* instance) : library(library), instance(instance) {}
  ~State() {
    if (instance == nullptr) return;
    if (initialised) instance->Uninitialize();
    library.destroy_encoder(instance);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  OpenH264Library& library;
  ISVCEncoder* instance;
  const Clock* clock = nullptr;
  std::uint32_t width = 0;  // the encoded picture's
  std::uint32_t height = 0;
  FrameSize input;          // the frames' own, when they are scaled
  std::optional<FrameScaler> scaler;
  SoftwareEncoderSettings settings;
  std::optional<OutputCeiling> ceiling;
  bool key_frame_requested = false;
  bool initialised = false;
  // The planes hold the last frame converted; the regions of frames held
  // back since are still to be converted (all of it past kMaxHeldBack).
  bool planes_current = false;
  std::vector<Rect> held_back;
  // I420 planes at the even (padded) size, reused for every frame.
  std::vector<std::uint8_t> luma;
  std::vector<std::uint8_t> u;
  std::vector<std::uint8_t> v;
  SFrameBSInfo bitstream{};
};

Result<SoftwareEncoder> SoftwareEncoder::create(std::uint32_t width, std::uint32_t height,
                                                std::uint32_t fps, std::uint32_t kbps,
                                                Logger& log) {
  return create(width, height, fps, kbps, log, linked_openh264(),
                std::thread::hardware_concurrency());
}

Result<SoftwareEncoder> SoftwareEncoder::create(std::uint32_t width, std::uint32_t height,
                                                std::uint32_t fps, std::uint32_t kbps, Logger& log,
                                                OpenH264Library& library,
                                                unsigned logical_processors, FrameSize input,
                                                const Clock* clock) {
  SoftwareEncoderSettings settings;
  settings.fps = std::clamp<std::uint32_t>(fps, 1, kMaxFps);
  settings.kbps = std::min(kbps, kMaxKbps);
  log.log(fmt::format("SW: preset software fps={} kbps={}", settings.fps, settings.kbps));
  settings.threads =
      logical_processors == 0 ? kThreadsWhenUnknown : std::min(logical_processors, kMaxThreads);

  ISVCEncoder* instance = nullptr;
  const int created = library.create_encoder(&instance);
  if (created != 0 || instance == nullptr) {
    if (instance != nullptr) library.destroy_encoder(instance);
    return std::unexpected(
        Error::message(describe(created, created == 0 ? "no encoder instance" : ""))
            .context(fmt::format("openh264 init ({}x{} {}fps)", width, height, settings.fps)));
  }
  auto state = std::make_unique<State>(library, instance);
  // Quiet from the start: the parameter checks of the first initialisation
  // would otherwise print warnings on the console.
  int quiet = WELS_LOG_QUIET;
  instance->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);

  log.log(fmt::format("SW: {}x{} (native) threads={}", width, height, settings.threads));

  state->width = width;
  state->height = height;
  state->input = FrameSize{width, height};
  // The scaled converter writes even sizes only (what the facade asks for).
  if (input.width >= width && input.height >= height && !(input == state->input) && width != 0 &&
      height != 0 && width % 2 == 0 && height % 2 == 0) {
    state->input = input;
    state->scaler.emplace(input, FrameSize{width, height});
  }
  state->settings = settings;
  state->held_back.reserve(kMaxHeldBack);
  static const SystemClock real_clock;
  state->clock = clock != nullptr ? clock : &real_clock;
  state->ceiling.emplace(std::uint64_t{settings.kbps} * 1000 * kCeilingTimesTarget);
  // Black: luma 16, chroma 128. A size beyond the limit gets no planes (it
  // could be any size at all); its encode() fails before using them.
  if (within_limits(width, height)) {
    state->luma.assign(i420_luma_size(width, height), 16);
    state->u.assign(i420_chroma_size(width, height), 128);
    state->v.assign(i420_chroma_size(width, height), 128);
  }
  return SoftwareEncoder(std::move(state));
}

SoftwareEncoder::SoftwareEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
SoftwareEncoder::SoftwareEncoder(SoftwareEncoder&&) noexcept = default;
SoftwareEncoder& SoftwareEncoder::operator=(SoftwareEncoder&&) noexcept = default;
SoftwareEncoder::~SoftwareEncoder() = default;

std::uint32_t SoftwareEncoder::width() const { return state_->width; }
std::uint32_t SoftwareEncoder::height() const { return state_->height; }
const SoftwareEncoderSettings& SoftwareEncoder::settings() const { return state_->settings; }
ISVCEncoder& SoftwareEncoder::instance() { return *state_->instance; }

void SoftwareEncoder::force_key_frame() {
  state_->key_frame_requested = true;
  state_->instance->ForceIntraFrame(true);
}

Result<void> SoftwareEncoder::initialise() {
  State& s = *state_;
  if (!within_limits(s.width, s.height)) {
    return std::unexpected(encode_error(0, kResolutionMessage));
  }

  SEncParamExt params;
  std::memset(&params, 0, sizeof params);
  if (const int rc = s.instance->GetDefaultParams(&params); rc != 0) {
    return std::unexpected(encode_error(rc));
  }
  params.iUsageType = SCREEN_CONTENT_REAL_TIME;
  params.iPicWidth = static_cast<int>(padded_to_even(s.width));
  params.iPicHeight = static_cast<int>(padded_to_even(s.height));
  params.iTargetBitrate = static_cast<int>(s.settings.kbps * 1000);
  params.iRCMode = RC_QUALITY_MODE;
  params.fMaxFrameRate = static_cast<float>(s.settings.fps);
  params.eSpsPpsIdStrategy = CONSTANT_ID;
  params.bEnableFrameSkip = false;
  params.iMultipleThreadIdc = static_cast<unsigned short>(s.settings.threads);
  params.bEnableDenoise = false;
  // Say in the sequence parameters what the converter produced (BT.709,
  // limited range), as the hardware encoder's media type does: a decoder
  // that honours the tags then shows the same colours from both encoders.
  SSpatialLayerConfig& layer = params.sSpatialLayers[0];
  layer.bVideoSignalTypePresent = true;
  layer.uiVideoFormat = VF_UNDEF;
  layer.bFullRange = false;
  layer.bColorDescriptionPresent = true;
  layer.uiColorPrimaries = CP_BT709;
  layer.uiTransferCharacteristics = TRC_BT709;
  layer.uiColorMatrix = CM_BT709;

  if (const int rc = s.instance->InitializeExt(&params); rc != 0) {
    return std::unexpected(encode_error(rc));
  }
  // From here on the library holds an initialised encoder: Uninitialize it
  // at destruction even if an option below fails (InitializeExt starts over
  // cleanly on an initialised instance).
  s.initialised = true;
  int trace_level = WELS_LOG_QUIET;
  if (const int rc = s.instance->SetOption(ENCODER_OPTION_TRACE_LEVEL, &trace_level); rc != 0) {
    s.initialised = false;
    s.instance->Uninitialize();
    return std::unexpected(encode_error(rc));
  }
  int format = videoFormatI420;
  if (const int rc = s.instance->SetOption(ENCODER_OPTION_DATAFORMAT, &format); rc != 0) {
    s.initialised = false;
    s.instance->Uninitialize();
    return std::unexpected(encode_error(rc));
  }
  return {};
}

EncodeResult SoftwareEncoder::encode(std::span<const std::uint8_t> bgra) {
  state_->planes_current = false;
  return encode_changed(bgra, {});
}

void SoftwareEncoder::convert(std::span<const std::uint8_t> bgra, std::span<const Rect> changed) {
  State& s = *state_;
  if (s.scaler) {
    bgra_to_i420(*s.scaler, bgra, s.luma, s.u, s.v);
    return;
  }
  if (s.width == 0 || s.height == 0 || bgra.size() < std::size_t{s.width} * s.height * 4) return;
  if (s.planes_current) {
    bgra_to_i420(bgra, s.width, s.height, s.held_back, s.luma, s.u, s.v);
    bgra_to_i420(bgra, s.width, s.height, changed, s.luma, s.u, s.v);
  } else {
    bgra_to_i420(bgra, s.width, s.height, s.luma, s.u, s.v);
    s.planes_current = true;
  }
  s.held_back.clear();
}

EncodeResult SoftwareEncoder::encode_changed(std::span<const std::uint8_t> bgra,
                                             std::span<const Rect> changed) {
  State& s = *state_;
  // Over the ceiling the frame is left out, before it costs a conversion;
  // the next frame that goes through shows its changes.
  const bool key_frame = std::exchange(s.key_frame_requested, false) || !s.initialised;
  const Clock::MonotonicTime now = s.clock->monotonic_now();
  if (!key_frame && !s.ceiling->admits(now)) {
    if (s.held_back.size() + changed.size() > kMaxHeldBack) {
      s.planes_current = false;  // simpler to convert it all again
      s.held_back.clear();
    } else if (s.planes_current) {
      s.held_back.insert(s.held_back.end(), changed.begin(), changed.end());
    }
    return EncodeResult{};
  }
  convert(bgra, changed);
  if (!s.initialised) {
    if (Result<void> ready = initialise(); !ready) return EncodeResult::failed(std::move(ready.error()));
  }

  const int width = static_cast<int>(padded_to_even(s.width));
  SSourcePicture picture;
  std::memset(&picture, 0, sizeof picture);
  picture.iColorFormat = videoFormatI420;
  picture.iStride[0] = width;
  picture.iStride[1] = width >> 1;
  picture.iStride[2] = width >> 1;
  picture.iStride[3] = 0;
  picture.pData[0] = s.luma.data();
  picture.pData[1] = s.u.data();
  picture.pData[2] = s.v.data();
  picture.pData[3] = nullptr;
  picture.iPicWidth = width;
  picture.iPicHeight = static_cast<int>(padded_to_even(s.height));
  picture.uiTimeStamp = 0;  // every frame: the stream carries no timing

  std::memset(&s.bitstream, 0, sizeof s.bitstream);
  if (const int rc = s.instance->EncodeFrame(&picture, &s.bitstream); rc != 0) {
    return EncodeResult::failed(encode_error(rc));
  }

  // The whole access unit: every NAL unit of every layer, in order. Each
  // layer's NAL units lie back to back in its buffer, start codes included.
  const int layers = std::clamp(s.bitstream.iLayerNum, 0, MAX_LAYER_NUM_OF_FRAME);
  std::size_t total = 0;
  for (int l = 0; l < layers; ++l) {
    const SLayerBSInfo& layer = s.bitstream.sLayerInfo[l];
    for (int n = 0; n < layer.iNalCount; ++n) total += std::max(layer.pNalLengthInByte[n], 0);
  }
  EncodedFrame out;
  out.reserve(total);
  for (int l = 0; l < layers; ++l) {
    const SLayerBSInfo& layer = s.bitstream.sLayerInfo[l];
    const unsigned char* nal = layer.pBsBuf;
    for (int n = 0; n < layer.iNalCount; ++n) {
      const int length = std::max(layer.pNalLengthInByte[n], 0);
      out.insert(out.end(), nal, nal + length);
      nal += length;
    }
  }
  s.ceiling->count(out.size(), key_frame, now);
  return EncodeResult{std::move(out)};
}

}  // namespace halvorine
