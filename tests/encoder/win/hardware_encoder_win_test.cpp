// HardwareEncoder and VideoEncoder over the real Media Foundation backend:
// the product's enumeration (no hardware encoder under Wine), and the test
// transform registered in-process and found by MFTEnumEx, so the set-up and
// every frame go through Media Foundation's own types, samples, buffers and
// event queues.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// After the Windows headers (media_foundation_fixture.h): threads in a snapshot.
#include "encoder/win/media_foundation_fixture.h"
#include <tlhelp32.h>

#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "encoder/color_conversion.h"
#include "encoder/hardware_encoder.h"
#include "encoder/openh264_library.h"
#include "encoder/video_encoder.h"
#include "encoder/win/test_transform.h"
#include "encoder/win/win_media_foundation.h"
#include "support/fake_clock.h"
#include "support/h264_stream.h"
#include "support/recording_logger.h"

namespace halvorine::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::Contains;

constexpr std::uint32_t kLocalEnumFlags = kHardwareEncoderEnumFlags | MFT_ENUM_FLAG_LOCALMFT;

// Whether Media Foundation is started in this process: work queues can be
// allocated only then.
bool media_foundation_started() {
  DWORD queue = 0;
  if (FAILED(MFAllocateWorkQueue(&queue))) return false;
  MFUnlockWorkQueue(queue);
  return true;
}

std::vector<std::uint8_t> painted_frame(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> bgra(std::size_t{width} * height * 4);
  for (std::size_t i = 0; i < bgra.size(); ++i) bgra[i] = static_cast<std::uint8_t>(i * 13 / 7);
  return bgra;
}

std::uint64_t pack(std::uint64_t high, std::uint64_t low) { return high << 32 | low; }

struct ProcessCounts {
  DWORD handles = 0;
  int threads = 0;
};
// Wine 8's GetProcessHandleCount answers 0: its handles are then counted in
// the system's table (SystemExtendedHandleInformation, 64).
ProcessCounts process_counts() {
  ProcessCounts counts;
  if (!GetProcessHandleCount(GetCurrentProcess(), &counts.handles) || counts.handles == 0) {
    struct Entry {
      void* object;
      ULONG_PTR process, value;
      ULONG access;
      USHORT back_trace, type;
      ULONG attributes, reserved;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<ULONG_PTR> table(1 << 20);  // count, reserved, entries
    ULONG needed = 0;
    if (query != nullptr && query(64, table.data(), table.size() * sizeof(ULONG_PTR), &needed) == 0) {
      const auto* entries = reinterpret_cast<const Entry*>(&table[2]);
      for (ULONG_PTR i = 0; i < table[0]; ++i) counts.handles += entries[i].process == GetCurrentProcessId();
    }
  }
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{.dwSize = sizeof(THREADENTRY32)};
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    counts.threads += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  return counts;
}

// COM only: these tests start Media Foundation through the code under test.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ComTest, WithoutHardwareCreationFailsAfterStartingAndEnumerating) {
  ASSERT_FALSE(media_foundation_started());
  RecordingLogger log;
  FakeClock clock;
  {
    WinMediaFoundation platform;
    auto encoder = HardwareEncoder::create(platform, 1366, 768, 30, 6000,
                                           HardwareEncoder::kProfileHigh, log, clock);
    if (encoder) GTEST_SKIP() << "this machine has a hardware H.264 encoder";
    EXPECT_EQ(encoder.error().text(), "init: No hardware H.264 encoder found (0xFFFFFFFF)");
    EXPECT_TRUE(media_foundation_started()) << "MFStartup ran and stays until the platform goes";
    EXPECT_THAT(log.lines(), Not(Contains(HasSubstr("ENCODER enum:"))));
  }
  EXPECT_FALSE(media_foundation_started()) << "one MFShutdown per MFStartup";
}

class LocalEncoderTest : public MediaFoundationTest {
 protected:
  // The name the logic logs for the local transform: Wine's activation
  // object has no friendly name for it ("unknown"), Windows' has.
  std::string logged_name() {
    WinMediaFoundation platform(kLocalEnumFlags);
    auto candidates = platform.enumerate_h264_encoders();
    if (!candidates || candidates->size() != 1) return "?";
    auto name = candidates->front()->friendly_name();
    return name ? utf16_to_utf8_lossy(*name) : "unknown";
  }

  Result<HardwareEncoder> create(std::uint32_t width, std::uint32_t height) {
    return HardwareEncoder::create(platform_, width, height, 30, 6000,
                                   HardwareEncoder::kProfileHigh, log_, clock_);
  }

  std::shared_ptr<TransformRecord> record_ = std::make_shared<TransformRecord>();
  WinMediaFoundation platform_{kLocalEnumFlags};
  RecordingLogger log_;
  FakeClock clock_;
};

// A synchronous transform with a codec API, at an odd size: every set-up
// value reaches it under the SDK's GUIDs, and frames travel as NV12 of the
// padded size in and as the transform's bytes out.
TEST_F(LocalEncoderTest, SynchronousTransformIsSetUpAndEncodesThroughMediaFoundation) {
  Registration registration({}, record_);
  ASSERT_TRUE(registration.ok());
  const std::string name = logged_name();
  auto encoder = create(1365, 767);
  ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
  EXPECT_FALSE(encoder->asynchronous());
  EXPECT_THAT(log_.lines(),
              IsSupersetOf(std::vector<std::string>{
                           "ENCODER enum: gasit 1 encodere HW", "ENCODER enum: [0] " + name,
                            "ENCODER hw: rate control=PeakConstrainedVBR mean=6000k max=12000k "
                            "bframes=0 lowlatency=1",
                            "ENCODER hw: MF_MT_MAX_KEYFRAME_SPACING=18000 set",
                            "ENCODER hw: CODECAPI_AVEncMPVGOPSize=18000 set",
                            "ENCODER: hardware activat: " + name, "ENCODER hw: ProcessInput Ok",
                            "ENCODER hw: ProcessOutput Ok out_bytes=25"}));

  // Read back under the SDK's own GUIDs.
  ASSERT_EQ(record_->output_types.size(), 1u);
  IMFMediaType* out = record_->output_types[0].get();
  EXPECT_EQ(guid_of(out, MF_MT_MAJOR_TYPE), MFMediaType_Video);
  EXPECT_EQ(guid_of(out, MF_MT_SUBTYPE), MFVideoFormat_H264);
  const std::pair<const GUID&, std::uint64_t> wanted[] = {
      {MF_MT_FRAME_SIZE, pack(1366, 768)}, {MF_MT_FRAME_RATE, pack(30, 1)}, {MF_MT_INTERLACE_MODE, 2},
      {MF_MT_AVG_BITRATE, 6'000'000}, {MF_MT_MPEG2_PROFILE, 100}, {MF_MT_VIDEO_NOMINAL_RANGE, 2},
      {MF_MT_YUV_MATRIX, 1}, {MF_MT_VIDEO_PRIMARIES, 2}, {MF_MT_TRANSFER_FUNCTION, 5},
      {MF_MT_MAX_KEYFRAME_SPACING, 18'000}};
  for (const auto& [key, value] : wanted) {
    // The packed pairs are UINT64s.
    EXPECT_EQ(value > 0xFFFFFFFF ? uint64_of(out, key) : uint32_of(out, key), value) << value;
  }
  ASSERT_EQ(record_->input_types.size(), 1u);
  EXPECT_EQ(guid_of(record_->input_types[0].get(), MF_MT_SUBTYPE), MFVideoFormat_NV12);
  EXPECT_EQ(uint64_of(record_->input_types[0].get(), MF_MT_FRAME_SIZE), pack(1366, 768));
  EXPECT_EQ(uint32_of(record_->attributes.get(), MF_LOW_LATENCY), 1u);
  EXPECT_THAT(record_->messages, ElementsAre(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM));
  auto codec_value = [&](const GUID& property) -> std::optional<std::uint32_t> {
    for (const auto& value : record_->codec_values) {
      if (value.property == property) return value.value;
    }
    return std::nullopt;
  };
  const std::pair<const GUID&, std::uint32_t> codec[] = {
      {CODECAPI_AVEncCommonRateControlMode, 1}, {CODECAPI_AVEncCommonMeanBitRate, 6'000'000},
      {CODECAPI_AVEncCommonMaxBitRate, 12'000'000}, {CODECAPI_AVEncMPVDefaultBPictureCount, 0},
      {CODECAPI_AVLowLatencyMode, 0xFFFF}, {CODECAPI_AVEncMPVGOPSize, 18'000}};
  for (const auto& [property, value] : codec) EXPECT_EQ(codec_value(property), value) << value;

  // Validation: four frames, the first marked, times one frame apart.
  ASSERT_EQ(record_->inputs.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(record_->inputs[i].time, static_cast<std::int64_t>(i) * 333'333);
    EXPECT_EQ(record_->inputs[i].duration, 333'333);
    EXPECT_EQ(record_->inputs[i].discontinuity, i == 0);
    EXPECT_EQ(record_->inputs[i].bytes.size(), nv12_size(1365, 767));
  }

  const std::vector<std::uint8_t> bgra = painted_frame(1365, 767);
  std::vector<std::uint8_t> nv12(nv12_size(1365, 767));
  bgra_to_nv12(bgra, 1365, 767, nv12);
  for (std::size_t n = 4; n < 7; ++n) {
    if (n == 6) encoder->force_key_frame();
    auto frame = encoder->encode(bgra);
    ASSERT_TRUE(frame.has_value()) << frame.error().text();
    // The first real frame and the one asked for are key frames.
    EXPECT_EQ(std::vector<std::uint8_t>(frame->begin(), frame->end()),
              test_transform_output(n, n != 5));
  }
  ASSERT_EQ(record_->inputs.size(), 7u);
  EXPECT_TRUE(record_->inputs[4].bytes == nv12) << "the frame's NV12, byte for byte";
  EXPECT_EQ(record_->inputs[4].time, 4 * 333'333);
  EXPECT_TRUE(record_->inputs[4].discontinuity) << "the first real frame is a key frame";
  EXPECT_FALSE(record_->inputs[5].discontinuity);
  EXPECT_TRUE(record_->inputs[6].discontinuity) << "requested";
  EXPECT_EQ(codec_value(CODECAPI_AVEncVideoForceKeyFrame), 1u);
  EXPECT_THAT(log_.lines(), Contains("ENCODER hw: ForceKeyFrame cerut (ICodecAPI)"));
}

// An asynchronous transform without a codec API that hands out its own
// samples: unlocked, driven by Media Foundation's event queue.
TEST_F(LocalEncoderTest, AsynchronousTransformRunsOnItsEventQueue) {
  Registration registration(
      {.asynchronous = true, .codec_api = false, .provides_samples = true}, record_);
  ASSERT_TRUE(registration.ok());
  auto encoder = create(640, 360);
  ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
  EXPECT_TRUE(encoder->asynchronous());
  EXPECT_EQ(uint32_of(record_->attributes.get(), MF_TRANSFORM_ASYNC_UNLOCK), 1u);
  EXPECT_THAT(log_.lines(),
              Contains("ENCODER hw: ICodecAPI indisponibil (fara GOP/ForceKeyFrame)"));
  EXPECT_THAT(log_.lines(), Not(Contains(HasSubstr("rate control="))));
  EXPECT_EQ(record_->inputs.size(), 4u);

  const std::vector<std::uint8_t> bgra = painted_frame(640, 360);
  for (std::size_t n = 4; n < 40; ++n) {
    auto frame = encoder->encode(bgra);
    ASSERT_TRUE(frame.has_value()) << frame.error().text();
    EXPECT_EQ(std::vector<std::uint8_t>(frame->begin(), frame->end()),
              test_transform_output(n, n == 4));
  }
  EXPECT_EQ(record_->inputs.size(), 40u);
}

TEST_F(LocalEncoderTest, StreamChangeRenegotiatesTheOutputType) {
  Registration registration({.stream_change_at = 2, .template_width = 320,
                                  .template_height = 240},
                                 record_);
  ASSERT_TRUE(registration.ok());
  auto encoder = create(640, 360);
  ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
  EXPECT_THAT(log_.lines(),
              Contains("ENCODER hw: STREAM_CHANGE (template 320x240) -> forced output 640x360"));
  ASSERT_EQ(record_->output_types.size(), 2u);
  IMFMediaType* renegotiated = record_->output_types[1].get();
  EXPECT_EQ(uint64_of(renegotiated, MF_MT_FRAME_SIZE), pack(640, 360));
  EXPECT_EQ(uint64_of(renegotiated, MF_MT_FRAME_RATE), pack(30, 1));
  EXPECT_EQ(uint32_of(renegotiated, MF_MT_AVG_BITRATE), 6'000'000u);
  EXPECT_EQ(uint32_of(renegotiated, MF_MT_MPEG2_PROFILE), 100u);
  // Validation frame 1's output was held back by the change and came with
  // frame 2's: two samples in one call.
  EXPECT_THAT(log_.lines(), Contains("ENCODER hw: 2 sample-uri intr-un apel"));
  auto frame = encoder->encode(painted_frame(640, 360));
  ASSERT_TRUE(frame.has_value()) << frame.error().text();
  EXPECT_EQ(std::vector<std::uint8_t>(frame->begin(), frame->end()),
            test_transform_output(4, true));
}

// Media Foundation lists local transforms in the order they were registered.
TEST_F(LocalEncoderTest, CandidateThatRefusesTheOutputTypeIsSkippedAndReleased) {
  auto refusing = std::make_shared<TransformRecord>();
  Registration first({.refuses_output_type = true}, refusing);
  Registration second({}, record_);
  ASSERT_TRUE(first.ok() && second.ok());
  auto encoder = create(640, 360);
  ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
  EXPECT_THAT(log_.lines(), Contains("ENCODER enum: gasit 2 encodere HW"));
  EXPECT_THAT(log_.lines(), Contains(::testing::MatchesRegex("ENCODER: skip .*: 0xC00D36B4")));
  EXPECT_EQ(refusing->created, 1);
  EXPECT_EQ(refusing->alive, 0) << "the skipped candidate's transform is released";
  EXPECT_EQ(record_->created, 1);
  EXPECT_EQ(record_->inputs.size(), 4u) << "the second one is validated and used";
  first.unregister();
  second.unregister();
}

// A transform that stalls in use: every frame waits at most kEventWait, so
// the 30th failure moves the facade to software after about 30 × 300 ms.
TEST_F(LocalEncoderTest, StalledTransformMovesTheFacadeToSoftwareInBoundedTime) {
  Registration registration({.asynchronous = true, .silent_after_inputs = 6}, record_);
  ASSERT_TRUE(registration.ok());
  {
    auto encoder = VideoEncoder::create(640, 360, 30, 6000, log_, clock_, platform_,
                                        linked_openh264(), 2);
    ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
    const std::vector<std::uint8_t> bgra = painted_frame(640, 360);
    const auto started = std::chrono::steady_clock::now();
    int frames = 0;
    EncodeResult last;
    while (encoder->on_hardware() && frames < 100) {
      last = encoder->encode(bgra);
      ++frames;
    }
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(encoder->on_hardware());
    // Validation used four inputs. The transform answers frame 0, takes the
    // input of frame 1 and falls silent: frames 2 to 31 wait and fail.
    EXPECT_EQ(frames, 2 + 30);
    ASSERT_TRUE(last.has_value()) << last.error().text();
    EXPECT_FALSE(last->empty()) << "the frame at hand comes from OpenH264";
    EXPECT_THAT(log_.lines(),
                Contains("ENCODER: 30 erori hardware consecutive (HW encode frame 31: no input "
                         "request from the transform within 300 ms (0x800705B4)) -> switch "
                         "software"));
    // Each wait is the bounded one, not a longer one: twice it leaves room for
    // a loaded machine.
    EXPECT_GE(took, 30 * (HardwareEncoder::kEventWait - 20ms));
    EXPECT_LT(took, 30 * 2 * HardwareEncoder::kEventWait);
  }
  EXPECT_EQ(record_->alive, 0) << "gone with the switch, its request still outstanding";
}

// A transform that stalls with an event request outstanding goes with its
// encoder: twenty of them later the process holds no more threads or handles
// than before. Without IMFShutdown only letting go of the request frees it.
// One that never asks for input fails validation after the bounded wait on
// the real event machinery instead of holding the thread.
TEST_F(LocalEncoderTest, StalledTransformsFailInBoundedTimeAndLeaveNoThreadOrHandleBehind) {
  struct Row { const char* name; TestTransformConfig config; };
  const Row rows[] = {
      {"with IMFShutdown", {.asynchronous = true, .silent_after_inputs = 4, .output_delay = 5ms}},
      {"without IMFShutdown",
       {.asynchronous = true, .silent_after_inputs = 4, .output_delay = 5ms, .shutdown_interface = false}},
      {"never asking for input", {.asynchronous = true, .posts_events = false}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto record = std::make_shared<TransformRecord>();
    Registration registration(row.config, record);
    ASSERT_TRUE(registration.ok());
    auto stall = [&] {
      const auto started = std::chrono::steady_clock::now();
      auto encoder = create(640, 360);
      if (!row.config.posts_events) {
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_FALSE(encoder.has_value());
        EXPECT_EQ(encoder.error().text(),
                  "validation: HW encode frame 0: no input request from the transform within 300 ms (0x800705B4)");
        EXPECT_GE(took, HardwareEncoder::kEventWait - 20ms);
        EXPECT_LT(took, 10s);
        return;
      }
      ASSERT_TRUE(encoder.has_value()) << encoder.error().text();
      // Silent since its last validation frame: the frame whose wait runs
      // out leaves a request.
      const std::vector<std::uint8_t> bgra = painted_frame(640, 360);
      int frames = 0;
      while (encoder->encode(bgra).has_value() && ++frames < 5) {
      }
      EXPECT_LT(frames, 5);
    };
    stall();  // Media Foundation starts its own threads for the first request
    const ProcessCounts before = process_counts();
    for (int i = 0; i < 20; ++i) stall();
    // The last references to a request can go on Media Foundation's threads
    // a moment later. A lock first contended meanwhile keeps the semaphore or
    // event it got (up to 3 here, however many encoders).
    constexpr DWORD kLazyHandles = 4;
    // On a loaded machine that moment can be seconds: wait up to 10 s for
    // the counts to come back (at once, when nothing is left).
    ProcessCounts after = process_counts();
    for (int i = 0; i < 1000 && (after.handles > before.handles || after.threads > before.threads); ++i) {
      Sleep(10);
      after = process_counts();
    }
    std::printf("threads %d -> %d, handles %lu -> %lu\n", before.threads, after.threads,
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles));
    EXPECT_EQ(record->created, 21);
    EXPECT_EQ(record->alive, 0);
    EXPECT_EQ(record->shut_down, row.config.shutdown_interface ? 21 : 0);
    EXPECT_GT(before.threads, 0);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_GT(before.handles, 0u);
    EXPECT_LE(after.handles, before.handles + kLazyHandles);
  }
}

// Registered as a hardware encoder and found by the product's enumeration,
// with the habits of real transforms. A GUI connects halfway through the
// session (or, back from software, when the first retry finds the transform):
// from there on its stream decodes, each frame's picture is out by the time
// the next capture wait is over, the hardware stays in use, and no reference
// to the transform outlives the encoder.
TEST_F(MediaFoundationTest, RegisteredHardwareEncoderWithRealWorldHabits) {
  struct Row {
    const char* name;
    TestTransformConfig config;
    std::chrono::milliseconds every;  // between frames
    int frames;
    bool from_software = false;  // registered only after the VideoEncoder was made
  };
  const Row rows[] = {
      {"output 20 ms late on a sparse screen, two minutes", {.asynchronous = true, .output_delay = 20ms}, 600ms, 200},
      {"parameter sets only in the output type", {.sets_in_type_only = true}, 600ms, 20},
      {"key-frame requests ignored", {.ignores_key_frames = true}, 600ms, 20},
      {"a pipeline two frames deep", {.asynchronous = true, .pipeline_depth = 2}, 600ms, 20},
      {"one output lost on a busy screen", {.lose_output_at = 100}, 33ms, 60},
      {"key frames larger than a mebibyte", {.output_buffer_size = 4 << 20, .key_frame_bytes = 3 << 20}, 600ms, 20},
      {"back from software, output 20 ms late", {.asynchronous = true, .output_delay = 20ms}, 600ms, 20, true},
      {"back from software, no codec API", {.codec_api = false}, 600ms, 20, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto record = std::make_shared<TransformRecord>();
    std::optional<Registration> registration;
    if (!row.from_software) registration.emplace(row.config, record, true);
    RecordingLogger log;
    FakeClock clock;
    WinMediaFoundation product;
    auto encoder =
        std::make_optional(VideoEncoder::create(640, 360, 30, 6000, log, clock, product, linked_openh264(), 2));
    ASSERT_TRUE(encoder->has_value()) << encoder->error().text();
    if (row.from_software) {
      registration.emplace(row.config, record, true);
      clock.advance(VideoEncoder::kFirstRetryDelay);
    }
    ASSERT_TRUE(registration->ok());
    ASSERT_EQ((*encoder)->on_hardware(), !row.from_software);
    if (!row.from_software) {
      EXPECT_THAT(log.lines(), Contains(std::string("ENCODER: hardware MFT active (640x360@30fps, ") +
                                        (row.config.asynchronous ? "async)" : "sync)")));
    }
    const int new_gui = row.from_software ? 0 : row.frames / 2;
    std::vector<std::uint8_t> gui;
    std::vector<std::uint8_t> bgra = painted_frame(640, 360);
    int late = 0;
    for (int frame = 0; frame < row.frames; ++frame) {
      if (frame == new_gui) {
        (*encoder)->force_key_frame();
        gui.clear();
      }
      bgra[frame % bgra.size()] ^= 0xFF;
      auto out = (*encoder)->encode(bgra);
      gui.insert(gui.end(), out->begin(), out->end());
      // A picture ends in its input's number: on a sparse screen this frame's is out after the capture wait (the
      // wait longer only when the transform's own thread, which posts late output, lags on a loaded machine).
      const auto input = static_cast<std::uint8_t>(record->inputs.size() - 1);
      const auto out_yet = [&] { return !gui.empty() && static_cast<std::uint8_t>(gui.back() - input) < 128; };
      const bool sparse = row.every >= 100ms, checked = sparse && frame > new_gui + 2;
      clock.advance(row.every);
      for (int wait = 0; wait == 0 || (checked && !out_yet() && wait < 200); ++wait) {
        if (sparse) Sleep(wait == 0 ? 30 : 10);
        out = (*encoder)->collect_pending_output();
        gui.insert(gui.end(), out->begin(), out->end());
      }
      late += checked && !out_yet();
    }
    EXPECT_EQ(continuity_error(gui), "");
    EXPECT_EQ(late, 0);
    EXPECT_TRUE((*encoder)->on_hardware());
    EXPECT_THAT(log.lines(), Not(Contains(HasSubstr("switch software"))));
    encoder.reset();
    EXPECT_EQ(record->alive, 0);
  }
}

}  // namespace
}  // namespace halvorine::testing
