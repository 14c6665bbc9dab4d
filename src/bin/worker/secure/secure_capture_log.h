// The secure-capture thread's log.
//
// A client can bring the secure desktop up and down once a second
// (Ctrl+Alt+Del, then Escape), and every cycle starts and stops capture and
// an encoder: left alone, some ten lines a cycle, more on Windows where the
// hardware enumeration and the first output steps are written, would turn
// the log's two files over in hours. So every line of this thread draws on
// a line budget (line_budget.h), and the encoder's per-step detail (the
// enumeration, the settings, the first output steps) is written for the
// first encoder of the process and then only where it differs from what was
// written before: a detail line already written is left out, and so are the
// output steps of an encoder whose detail held nothing new.
//
// The lines are told apart by their prefixes, so the encoders log as they
// always have. Thread-safe (a lock): the encoders may log from the threads
// they run on.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/line_budget.h"
#include "common/logger.h"

namespace halvorine {

inline constexpr std::string_view kSecureCaptureLinesSummary = "secure-capture: {} linii nelogate";

class SecureCaptureLog final : public Logger {
 public:
  // `log` and `clock` outlive this.
  SecureCaptureLog(Logger& log, const Clock& clock) : lines_(log, clock, kSecureCaptureLinesSummary) {}

  void log(std::string_view message) override;

 private:
  std::mutex mutex_;
  BudgetedLines lines_;
  std::set<std::string, std::less<>> detail_written_;
  bool detail_new_ = true;     // the current encoder's detail held something not written before
  bool output_seen_ = false;   // output steps came since the last detail line
};

}  // namespace halvorine
