#include "common/worker_log.h"

#include <utility>

#include <fmt/format.h>

namespace halvorine {

std::string format_log_line(Clock::SystemTime system_time, const LocalTime& t,
                            std::string_view message) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(
                               system_time.time_since_epoch())
                               .count();
  const std::uint64_t ms = since_epoch < 0 ? 0 : static_cast<std::uint64_t>(since_epoch);
  return fmt::format("[{}] [{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}] {}\n", ms, t.year, t.month,
                     t.day, t.hour, t.minute, t.second, t.milliseconds, message);
}

WorkerLog::WorkerLog(const Clock& clock) : WorkerLog(clock, program_data_directory() / "Halvorine") {}

WorkerLog::WorkerLog(const Clock& clock, std::filesystem::path directory, std::uint64_t rotate_at)
    : clock_(clock),
      directory_(std::move(directory)),
      file_(directory_ / kLogFileName),
      rotate_at_(rotate_at) {}

void WorkerLog::log(std::string_view message) {
  // Two separate readings, system time first, as the line format documents.
  const Clock::SystemTime system_time = clock_.system_now();
  const LocalTime local_time = clock_.local_now();
  const std::string line = format_log_line(system_time, local_time, message);

  std::lock_guard lock(append_mutex_);
  upkeep_.stamp = fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}", local_time.year, local_time.month, local_time.day,
                              local_time.hour, local_time.minute, local_time.second);
  upkeep_.now = clock_.monotonic_now();
  append_to_log_file(directory_, line, rotate_at_, &upkeep_);
  // Whatever had to be moved out of the log's way is told in the log itself.
  for (const std::string& moved : std::exchange(upkeep_.moved, {})) {
    append_to_log_file(directory_,
                       format_log_line(system_time, local_time,
                                       fmt::format("log: {} mutat deoparte (nu era al worker-ului)", moved)),
                       rotate_at_, &upkeep_);
  }
}

}  // namespace halvorine
