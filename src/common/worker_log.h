// The worker's log file: one appended line per message,
//   "[<ms since 1970 UTC>] [<YYYY-MM-DD hh:mm:ss.mmm local>] <message>\n".
// The file is opened and closed on every call, so other programs may read,
// move or delete it at any time; the next line recreates it. Once it holds
// 16 MiB it is moved to halvorine-worker.log.1 and a new file is started.
//
// The worker writes it as SYSTEM (root), so the folder and the file are
// treated as an attacker's target: the folder is used only when it is ours
// and writable by nobody else, and the file only when it is a regular file
// reached without a link. On Windows, where any user may create names under
// the program-data directory, what is planted in the way (a file named like
// the folder, a folder named like the file, a link, someone else's folder)
// is moved aside and the log goes on in a folder and file of its own; the
// folder lets only SYSTEM and Administrators in, since the log records every
// click. Elsewhere such a line is dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

// The complete line for `message`, line feed included.
std::string format_log_line(Clock::SystemTime system_time, const LocalTime& local_time,
                            std::string_view message);

// The machine-wide program-data directory: PROGRAMDATA when set and valid
// Unicode, else C:\ProgramData (Windows) or /var/lib (elsewhere).
std::filesystem::path program_data_directory();

inline constexpr std::string_view kLogFileName = "halvorine-worker.log";
inline constexpr std::string_view kRotatedLogFileName = "halvorine-worker.log.1";
inline constexpr std::uint64_t kLogRotationBytes = 16u * 1024 * 1024;

// What appends keep between calls to keep the log working (Windows), and
// what one append did to that end.
struct LogUpkeep {
  std::string stamp;  // in: the local time as YYYYMMDDHHMMSS, names what is moved aside
  Clock::MonotonicTime now{};  // in: paces the retries of a failed rotation
  std::optional<Clock::MonotonicTime> rotation_failed_at;  // kept: when a rotation last failed
  std::vector<std::string> moved;  // out: "<old path> -> <new path>" per object moved aside
};

// Appends `line` in one write to `directory`/halvorine-worker.log, opened for
// append only and shared for read, write and delete; the directory (with any
// missing parents) and the file are created when missing. The directory
// must be a real directory, not a link, owned by us (Windows: SYSTEM,
// Administrators or our own user) and writable by nobody else; Windows
// creates it with an access list that only lets SYSTEM and Administrators
// write. The file must be a regular file with one name and is never opened
// through a link, and never in a way that could block (a FIFO). A file of
// `rotate_at` bytes or more is first moved to halvorine-worker.log.1,
// replacing it. A rotation that fails (a name that cannot be moved) leaves
// the line in the full file, but never past twice `rotate_at`. With `upkeep`
// (Windows) what is planted at the folder, the file or .1 is moved aside,
// and a failed rotation is retried at most once a second; without it the
// line is dropped where something is in the way. Returns false when the
// line was dropped. Callers serialise calls for one directory.
bool append_to_log_file(const std::filesystem::path& directory, std::string_view line,
                        std::uint64_t rotate_at, LogUpkeep* upkeep = nullptr);

class WorkerLog final : public Logger {
 public:
  // Logs to <program data>/Halvorine/halvorine-worker.log.
  explicit WorkerLog(const Clock& clock);
  // Logs to <directory>/halvorine-worker.log; the directory is created on
  // demand. `rotate_at` is fixed in the product; tests make it small.
  WorkerLog(const Clock& clock, std::filesystem::path directory,
            std::uint64_t rotate_at = kLogRotationBytes);

  void log(std::string_view message) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  const Clock& clock_;
  // Serialises this process's appends. Windows makes each append-only write
  // atomic, but Wine does not, and lines lost there are lost for good; and a
  // size check and its rotation must not interleave with another thread's.
  // The cost is nothing beside the open and close of every line.
  std::mutex append_mutex_;
  std::filesystem::path directory_;
  std::filesystem::path file_;
  std::uint64_t rotate_at_;
  LogUpkeep upkeep_;  // under append_mutex_
};

}  // namespace halvorine
