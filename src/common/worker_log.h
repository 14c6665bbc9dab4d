// The worker's log file: one appended line per message,
//   "[<ms since 1970 UTC>] [<YYYY-MM-DD hh:mm:ss.mmm local>] <message>\n".
// How the file is written, rotated and kept from attackers: log_file_writer.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/log_file_writer.h"
#include "common/logger.h"

namespace halvorine {

// The complete line for `message`, line feed included.
std::string format_log_line(Clock::SystemTime system_time, const LocalTime& local_time,
                            std::string_view message);

// The machine-wide program-data directory: PROGRAMDATA when set and valid
// Unicode, else C:\ProgramData (Windows) or /var/lib (elsewhere).
std::filesystem::path program_data_directory();

// Where the worker's log goes: <program data>/Halvorine.
inline std::filesystem::path log_directory() { return program_data_directory() / "Halvorine"; }

class WorkerLog final : public Logger {
 public:
  // Logs to <program data>/Halvorine/halvorine-worker.log.
  explicit WorkerLog(const Clock& clock);
  // Logs to <directory>/`file_name`; the directory is created on demand.
  // `rotate_at` is fixed in the product; tests make it small.
  WorkerLog(const Clock& clock, std::filesystem::path directory,
            std::uint64_t rotate_at = kLogRotationBytes, std::string_view file_name = kLogFileName);

  void log(std::string_view message) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  const Clock& clock_;
  std::filesystem::path file_;
  // Serialises this process's appends. Windows makes each append-only write
  // atomic, but Wine does not, and lines lost there are lost for good; and a
  // size check and its rotation must not interleave with another thread's.
  // The cost is nothing beside the open and close of every line.
  std::mutex append_mutex_;
  LogFileWriter writer_;  // under append_mutex_
};

}  // namespace halvorine
