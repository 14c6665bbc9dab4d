// halvorine-encode: encodes raw BGRA frames through the software encoder, so
// a user can check the encoder on a machine and tests can feed ffmpeg.
//
//   halvorine-encode WIDTHxHEIGHT INPUT.bgra OUTPUT.h264
//   halvorine-encode WIDTHxHEIGHT INPUT.bgra --video-encoder OUTPUT.h264
//   halvorine-encode WIDTHxHEIGHT INPUT.bgra --i420 OUTPUT.yuv
//
// INPUT holds any number of tightly packed top-down BGRA frames. The first
// form writes the Annex-B stream (30 fps and 6000 kbit/s requested, as the
// worker does); the second does the same through the worker's VideoEncoder
// (the hardware encoder when the machine has one, its log lines on stderr);
// the third writes the exact I420 planes of each frame instead.
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/clock.h"
#include "common/logger.h"
#include "common/unique_file.h"
#include "encoder/color_conversion.h"
#include "encoder/software_encoder.h"
#include "encoder/video_encoder.h"

namespace {

using halvorine::SoftwareEncoder;

constexpr std::uint32_t kRequestedFps = 30;
constexpr std::uint32_t kRequestedKbps = 6000;

class StderrLogger final : public halvorine::Logger {
 public:
  void log(std::string_view message) override { fmt::print(stderr, "{}\n", message); }
};

struct Options {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::string input;
  std::string output;  // H.264, or the I420 planes when i420 is set
  bool i420 = false;
  bool video_encoder = false;
};

void usage() {
  fmt::print(stderr,
             "usage: halvorine-encode WIDTHxHEIGHT INPUT.bgra OUTPUT.h264\n"
             "       halvorine-encode WIDTHxHEIGHT INPUT.bgra --video-encoder OUTPUT.h264\n"
             "       halvorine-encode WIDTHxHEIGHT INPUT.bgra --i420 OUTPUT.yuv\n");
}

std::optional<std::uint32_t> parse_dimension(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 16384) return std::nullopt;
  return value;
}

bool parse_size(std::string_view text, Options& options) {
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos) return false;
  const auto width = parse_dimension(text.substr(0, x));
  const auto height = parse_dimension(text.substr(x + 1));
  if (!width || !height) return false;
  options.width = *width;
  options.height = *height;
  return true;
}

// Exit code 2 for a command line we cannot use, 1 for a failure while working.
std::optional<int> parse(int argc, char** argv, Options& options) {
  std::vector<std::string_view> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--i420") {
      if (i + 1 >= argc || options.i420) {
        usage();
        return 2;
      }
      options.i420 = true;
      options.output = argv[++i];
    } else if (arg == "--video-encoder") {
      options.video_encoder = true;
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != (options.i420 ? 2U : 3U) || (options.i420 && options.video_encoder)) {
    usage();
    return 2;
  }
  if (!parse_size(positional[0], options)) {
    fmt::print(stderr,
               "halvorine-encode: invalid size '{}': expected WIDTHxHEIGHT with each side 1 to "
               "16384, e.g. 1920x1080\n",
               positional[0]);
    return 2;
  }
  options.input = positional[1];
  if (!options.i420) options.output = positional[2];
  return std::nullopt;
}

bool write_all(std::FILE* file, const std::uint8_t* data, std::size_t size) {
  return size == 0 || std::fwrite(data, 1, size, file) == size;
}

int run(const Options& options) {
  const std::size_t frame_bytes = std::size_t{options.width} * options.height * 4;
  std::error_code error;
  const std::uintmax_t input_size = std::filesystem::file_size(options.input, error);
  if (error) {
    fmt::print(stderr, "halvorine-encode: cannot read {}: {}\n", options.input, error.message());
    return 1;
  }
  if (input_size == 0 || input_size % frame_bytes != 0) {
    fmt::print(stderr,
               "halvorine-encode: {} holds {} bytes, not a whole number of {}x{} BGRA frames "
               "({} bytes each)\n",
               options.input, input_size, options.width, options.height, frame_bytes);
    return 1;
  }
  const std::uintmax_t frames = input_size / frame_bytes;

  halvorine::UniqueFile input(std::fopen(options.input.c_str(), "rb"));
  if (!input) {
    fmt::print(stderr, "halvorine-encode: cannot open {}\n", options.input);
    return 1;
  }
  halvorine::UniqueFile output(std::fopen(options.output.c_str(), "wb"));
  if (!output) {
    fmt::print(stderr, "halvorine-encode: cannot create {}\n", options.output);
    return 1;
  }

  std::vector<std::uint8_t> frame(frame_bytes);
  std::vector<std::uint8_t> y, u, v;
  std::optional<SoftwareEncoder> encoder;
  std::optional<halvorine::VideoEncoder> video_encoder;
  StderrLogger log;
  const halvorine::SystemClock clock;
  if (options.i420) {
    y.resize(halvorine::i420_luma_size(options.width, options.height));
    u.resize(halvorine::i420_chroma_size(options.width, options.height));
    v.resize(u.size());
  } else if (options.video_encoder) {
    auto created = halvorine::VideoEncoder::create(options.width, options.height, kRequestedFps,
                                                   kRequestedKbps, log, clock);
    if (!created) {
      fmt::print(stderr, "halvorine-encode: {}\n", created.error().text());
      return 1;
    }
    video_encoder.emplace(std::move(*created));
  } else {
    auto created =
        SoftwareEncoder::create(options.width, options.height, kRequestedFps, kRequestedKbps, log);
    if (!created) {
      fmt::print(stderr, "halvorine-encode: {}\n", created.error().text());
      return 1;
    }
    encoder.emplace(std::move(*created));
  }

  std::uintmax_t bytes = 0;
  std::chrono::steady_clock::duration busy{};
  for (std::uintmax_t index = 0; index < frames; ++index) {
    if (std::fread(frame.data(), 1, frame.size(), input.get()) != frame.size()) {
      fmt::print(stderr, "halvorine-encode: reading frame {} of {} failed\n", index + 1,
                 options.input);
      return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    bool written = true;
    if (options.i420) {
      halvorine::bgra_to_i420(frame, options.width, options.height, y, u, v);
      busy += std::chrono::steady_clock::now() - start;
      written = write_all(output.get(), y.data(), y.size()) &&
                write_all(output.get(), u.data(), u.size()) &&
                write_all(output.get(), v.data(), v.size());
      bytes += y.size() + u.size() + v.size();
    } else {
      auto encoded = video_encoder ? video_encoder->encode(frame) : encoder->encode(frame);
      busy += std::chrono::steady_clock::now() - start;
      if (!encoded) {
        fmt::print(stderr, "halvorine-encode: frame {}: {}\n", index + 1, encoded.error().text());
        return 1;
      }
      written = write_all(output.get(), encoded->data(), encoded->size());
      bytes += encoded->size();
    }
    if (!written) {
      fmt::print(stderr, "halvorine-encode: writing {} failed\n", options.output);
      return 1;
    }
  }
  if (output.close() != 0) {
    fmt::print(stderr, "halvorine-encode: writing {} failed\n", options.output);
    return 1;
  }
  const double ms = std::chrono::duration<double, std::milli>(busy).count();
  fmt::print("{} frames, {} bytes, {:.2f} ms per frame{}\n", frames, bytes,
             ms / static_cast<double>(frames), options.i420 ? " (conversion)" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto exit_code = parse(argc, argv, options)) return *exit_code;
  return run(options);
}
