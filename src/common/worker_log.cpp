#include "common/worker_log.h"

#include <utility>

#include <fmt/format.h>

namespace halvorine {
namespace {

constexpr std::size_t kMaxMovedLinesPerLine = 16;

}  // namespace

std::string format_log_line(Clock::SystemTime system_time, const LocalTime& t,
                            std::string_view message) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(
                               system_time.time_since_epoch())
                               .count();
  const std::uint64_t ms = since_epoch < 0 ? 0 : static_cast<std::uint64_t>(since_epoch);
  return fmt::format("[{}] [{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}] {}\n", ms, t.year, t.month,
                     t.day, t.hour, t.minute, t.second, t.milliseconds, message);
}

WorkerLog::WorkerLog(const Clock& clock) : WorkerLog(clock, log_directory()) {}

WorkerLog::WorkerLog(const Clock& clock, std::filesystem::path directory, std::uint64_t rotate_at,
                     std::string_view file_name)
    : clock_(clock), file_(directory / file_name), writer_(std::move(directory), rotate_at, clock, file_name) {}

void WorkerLog::log(std::string_view message) {
  // Two separate readings, system time first, as the line format documents.
  const Clock::SystemTime system_time = clock_.system_now();
  const LocalTime local_time = clock_.local_now();
  const std::string line = format_log_line(system_time, local_time, message);

  std::lock_guard lock(append_mutex_);
  // A dropped line has nowhere to be reported: the log is the only channel.
  Result<LogAppend> appended = writer_.append(line);
  if (!appended) return;
  // Whatever had to be moved out of the log's way is told in the log itself
  // (a bounded number of lines, should telling it move more aside).
  std::vector<std::string> moved = std::move(appended->moved_aside);
  for (std::size_t i = 0; i < moved.size() && i < kMaxMovedLinesPerLine; ++i) {
    appended = writer_.append(format_log_line(
        system_time, local_time, fmt::format("log: {} mutat deoparte (nu era al worker-ului)", moved[i])));
    if (appended) moved.insert(moved.end(), appended->moved_aside.begin(), appended->moved_aside.end());
  }
}

}  // namespace halvorine
