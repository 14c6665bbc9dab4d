#include "bin/worker/secure/secure_capture_log.h"

#include <array>

namespace halvorine {
namespace {

// The encoder's set-up detail: hardware enumeration, settings, software preset.
bool is_setup_detail(std::string_view line) {
  constexpr std::array<std::string_view, 9> kPrefixes{
      "ENCODER enum:",          "ENCODER: skip ",        "ENCODER: hardware activat:",
      "ENCODER hw: rate control", "ENCODER hw: MF_MT_",  "ENCODER hw: CODECAPI_",
      "ENCODER hw: ICodecAPI",  "ENCODER hw: High profile", "SW: ",
  };
  for (const std::string_view prefix : kPrefixes) {
    if (line.starts_with(prefix)) return true;
  }
  return false;
}

// The first output steps a new hardware encoder writes.
bool is_output_step(std::string_view line) {
  return line.starts_with("ENCODER hw: ProcessInput") || line.starts_with("ENCODER hw: ProcessOutput");
}

// More distinct detail lines than this means something keeps changing: start
// over rather than grow.
constexpr std::size_t kDetailMemory = 256;

}  // namespace

void SecureCaptureLog::log(std::string_view message) {
  const std::lock_guard lock(mutex_);
  if (is_setup_detail(message)) {
    // The first detail line after output steps belongs to a new encoder.
    if (output_seen_) {
      output_seen_ = false;
      detail_new_ = false;
    }
    if (detail_written_.contains(message)) return;
    if (detail_written_.size() >= kDetailMemory) detail_written_.clear();
    detail_written_.emplace(message);
    detail_new_ = true;
  } else if (is_output_step(message)) {
    output_seen_ = true;
    if (!detail_new_) return;
  }
  lines_.write(message);
}

}  // namespace halvorine
