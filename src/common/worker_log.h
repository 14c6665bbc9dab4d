// The worker's log file: one appended line per message,
//   "[<ms since 1970 UTC>] [<YYYY-MM-DD hh:mm:ss.mmm local>] <message>\n".
// The file is opened and closed on every call, so other programs may read,
// move or delete it at any time; the next line recreates it.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

// The complete line for `message`, line feed included.
std::string format_log_line(Clock::SystemTime system_time, const LocalTime& local_time,
                            std::string_view message);

// The machine-wide program-data directory: PROGRAMDATA when set and valid
// Unicode, else C:\ProgramData (Windows) or /var/lib (elsewhere).
std::filesystem::path program_data_directory();

// Appends `line` to `file` in one write, creating the file if needed; opened
// for append only and shared for read, write and delete. Returns false when
// the file could not be opened or written.
bool append_to_log_file(const std::filesystem::path& file, std::string_view line);

class WorkerLog final : public Logger {
 public:
  // Logs to <program data>/Halvorine/halvorine-worker.log.
  explicit WorkerLog(const Clock& clock);
  // Logs to <directory>/halvorine-worker.log; the directory is created on demand.
  WorkerLog(const Clock& clock, std::filesystem::path directory);

  void log(std::string_view message) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  const Clock& clock_;
  // Serialises this process's appends. Windows makes each append-only write
  // atomic, but Wine does not, and lines lost there are lost for good; the
  // cost is nothing beside the open and close of every line.
  std::mutex append_mutex_;
  std::filesystem::path directory_;
  std::filesystem::path file_;
};

}  // namespace halvorine
