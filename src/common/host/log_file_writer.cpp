#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "common/host/unique_fd.h"
#include "common/log_file_writer.h"
#include "common/utf16.h"
#include "common/worker_log.h"

namespace halvorine {
namespace {

// The folder is readable by all (the log holds no secret) and writable only
// by its owner, whatever the umask of the process that creates it.
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

bool owned_by_us(const struct stat& st) { return st.st_uid == ::geteuid(); }

// The log folder, opened without following a link at its own name. Used
// only when it is a directory we own that nobody else may write to: anyone
// who can write there could put a link or a FIFO where the log goes.
Result<UniqueFd> open_log_folder(std::filesystem::path directory) {
  // A trailing slash would make the kernel follow a link at the last name.
  while (!directory.has_filename() && directory.has_relative_path()) directory = directory.parent_path();
  std::error_code ignored;  // the open below decides
  std::filesystem::create_directories(directory.parent_path(), ignored);
  const bool created = ::mkdir(directory.c_str(), kFolderMode) == 0;
  UniqueFd folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!folder || ::fstat(folder.get(), &st) != 0) return std::unexpected(Error::last_os().context("open"));
  if (!S_ISDIR(st.st_mode) || !owned_by_us(st)) return std::unexpected(Error::message("log folder: not ours"));
  if (created && (st.st_mode & 07777) != kFolderMode) {
    // The umask may have taken bits from what mkdir asked for.
    if (::fchmod(folder.get(), kFolderMode) != 0) return std::unexpected(Error::last_os().context("fchmod"));
    st.st_mode = (st.st_mode & ~07777) | kFolderMode;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return std::unexpected(Error::message("log folder: others may write"));
  return folder;
}

// The log file in `folder`: never through a link, never blocking (a FIFO
// without a reader fails at once, one with a reader is refused below), and
// only a regular file of ours with no second name.
Result<UniqueFd> open_log_file(int folder, std::string_view name, std::uint64_t& size) {
  const std::string name_text(name);
  UniqueFd file(::openat(folder, name_text.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                         kFileMode));
  struct stat st {};
  if (!file || ::fstat(file.get(), &st) != 0) return std::unexpected(Error::last_os().context("openat"));
  if (!S_ISREG(st.st_mode) || !owned_by_us(st) || st.st_nlink != 1) {
    return std::unexpected(Error::message("log file: not a file of the worker's"));
  }
  size = static_cast<std::uint64_t>(st.st_size);
  return file;
}

}  // namespace

std::filesystem::path program_data_directory() {
  const char* value = std::getenv("PROGRAMDATA");
  if (value != nullptr) {
    const std::string_view text(value);
    if (is_valid_utf8({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) {
      return std::filesystem::path(text);
    }
  }
  return "/var/lib";
}

// Linux keeps its refusals: nothing is moved aside.
Result<LogAppend> LogFileWriter::append(std::string_view line) {
  const auto folder = open_log_folder(directory_);
  if (!folder) return std::unexpected(folder.error());
  std::uint64_t size = 0;
  auto file = open_log_file(folder->get(), file_name_, size);
  if (!file) return std::unexpected(std::move(file.error()));
  LogAppend appended;
  if (size >= rotate_at_ && rotation_due()) {
    // Both names are resolved in the folder we checked; a rename never
    // follows a link.
    appended.rotated =
        ::renameat(folder->get(), file_name_.c_str(), folder->get(), rotated_file_name_.c_str()) == 0;
    rotation_failed_at_ = appended.rotated ? std::nullopt : std::optional(clock_.monotonic_now());
    if (appended.rotated) {
      file = open_log_file(folder->get(), file_name_, size);
      if (!file) return std::unexpected(std::move(file.error()));
    }
  }
  // A rotation that keeps failing must not let the file grow without bound.
  if (size / 2 >= rotate_at_) return std::unexpected(Error::message("log file: full, and it could not be rotated"));
  // One write per line: O_APPEND makes it land whole at the end of the file.
  const ssize_t written = ::write(file->get(), line.data(), line.size());
  if (written < 0) return std::unexpected(Error::last_os().context("write"));
  if (static_cast<std::size_t>(written) != line.size()) {
    return std::unexpected(Error::message("write: part of the line written"));
  }
  appended.written = line.size();
  return appended;
}

}  // namespace halvorine
