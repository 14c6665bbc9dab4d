// The worker's log file as the worker writes it: appends to
// <directory>/halvorine-worker.log (or another name: the service keeps its
// own log beside the worker's, under the same rules), moves it to
// halvorine-worker.log.1 once it holds `rotate_at` bytes, and keeps what it needs between appends (when a
// rotation last failed, what it moved out of the way and has not told yet).
//
// The worker writes it as SYSTEM (root), so the folder and the file are
// treated as an attacker's target. The folder must be a real directory, not
// a link, owned by us (Windows: SYSTEM, Administrators or our own user) and
// writable by nobody else; Windows creates it with an access list that lets
// only SYSTEM and Administrators in. The file must be a regular file with
// one name, never opened through a link or in a way that could block (a
// FIFO), and is opened for append only and shared for read, write and
// delete, anew for every line, so other programs may read, move or delete
// it at any time. On Windows, where any user may create names under the
// program-data directory, what is planted in the way (a file named like the
// folder, a folder named like the file or .1, a link, someone else's
// folder) is moved aside as NAME.refuzat-YYYYMMDDHHMMSS and the log goes on;
// elsewhere the line is dropped.
//
// Rotation replaces .1. A rotation that cannot rename (the file held open
// without delete sharing, .1 of ours that cannot be replaced) changes
// nothing: the line goes to the full file, never past twice `rotate_at`,
// and the rotation is tried again at most once a second. The worker's own
// .1 is never moved aside.
//
// Not thread-safe: the caller serialises appends (WorkerLog does).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/error.h"

namespace halvorine {

inline constexpr std::string_view kLogFileName = "halvorine-worker.log";
inline constexpr std::string_view kRotatedLogFileName = "halvorine-worker.log.1";
inline constexpr std::uint64_t kLogRotationBytes = 16u * 1024 * 1024;

// What one append did.
struct LogAppend {
  std::size_t written = 0;  // bytes of the line, all of them
  bool rotated = false;     // the full file became .1 first
  // "<old path> -> <new path>" for everything moved out of the log's way
  // since the last successful append (Windows), oldest first.
  std::vector<std::string> moved_aside;
};

class LogFileWriter {
 public:
  // `clock` (the local time names what is moved aside, the monotonic time
  // paces rotation retries) outlives the writer. `file_name` is rotated to
  // `file_name`.1.
  LogFileWriter(std::filesystem::path directory, std::uint64_t rotate_at, const Clock& clock,
                std::string_view file_name = kLogFileName)
      : directory_(std::move(directory)),
        file_name_(file_name),
        rotated_file_name_(std::string(file_name) + ".1"),
        rotate_at_(rotate_at),
        clock_(clock) {}

  // Appends `line` in one write. The error says why it was dropped.
  Result<LogAppend> append(std::string_view line);

  const std::filesystem::path& directory() const { return directory_; }

 private:
  // The platform's steps, defined beside each backend; they use the state below.
  struct Steps;

  // Whether a rotation may be tried now: at most once a second after a
  // failure (each try costs renames and opens). A clock that stepped back
  // counts as a second passed.
  bool rotation_due() const {
    if (!rotation_failed_at_) return true;
    const Clock::MonotonicTime now = clock_.monotonic_now();
    return now < *rotation_failed_at_ || now - *rotation_failed_at_ >= std::chrono::seconds(1);
  }

  std::filesystem::path directory_;
  std::string file_name_;
  std::string rotated_file_name_;
  std::uint64_t rotate_at_;
  const Clock& clock_;
  std::optional<Clock::MonotonicTime> rotation_failed_at_;
  std::vector<std::string> moved_aside_;  // not told yet
};

}  // namespace halvorine
