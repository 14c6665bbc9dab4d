#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "common/host/unique_fd.h"
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
UniqueFd open_log_folder(std::filesystem::path directory) {
  // A trailing slash would make the kernel follow a link at the last name.
  while (!directory.has_filename() && directory.has_relative_path()) directory = directory.parent_path();
  std::error_code ignored;  // the open below decides
  std::filesystem::create_directories(directory.parent_path(), ignored);
  const bool created = ::mkdir(directory.c_str(), kFolderMode) == 0;
  UniqueFd folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!folder || ::fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) || !owned_by_us(st)) {
    return UniqueFd();
  }
  if (created && (st.st_mode & 07777) != kFolderMode) {
    // The umask may have taken bits from what mkdir asked for.
    if (::fchmod(folder.get(), kFolderMode) != 0) return UniqueFd();
    st.st_mode = (st.st_mode & ~07777) | kFolderMode;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return UniqueFd();
  return folder;
}

// The log file in `folder`: never through a link, never blocking (a FIFO
// without a reader fails at once, one with a reader is refused below), and
// only a regular file of ours with no second name.
UniqueFd open_log_file(int folder, std::string_view name, std::uint64_t* size) {
  const std::string name_text(name);
  UniqueFd file(::openat(folder, name_text.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                         kFileMode));
  struct stat st {};
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !owned_by_us(st) ||
      st.st_nlink != 1) {
    return UniqueFd();
  }
  *size = static_cast<std::uint64_t>(st.st_size);
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

// Linux keeps its refusals: nothing is moved aside, so `upkeep` is unused.
bool append_to_log_file(const std::filesystem::path& directory, std::string_view line,
                        std::uint64_t rotate_at, LogUpkeep*) {
  const UniqueFd folder = open_log_folder(directory);
  if (!folder) return false;
  std::uint64_t size = 0;
  UniqueFd file = open_log_file(folder.get(), kLogFileName, &size);
  if (!file) return false;
  if (size >= rotate_at) {
    // Both names are resolved in the folder we checked; a rename never
    // follows a link. If it fails the line still goes to the full file,
    // up to twice the size.
    const std::string from(kLogFileName);
    const std::string to(kRotatedLogFileName);
    if (::renameat(folder.get(), from.c_str(), folder.get(), to.c_str()) == 0) {
      file = open_log_file(folder.get(), kLogFileName, &size);
      if (!file) return false;
    }
    // A rotation that keeps failing must not let the file grow without bound.
    if (size / 2 >= rotate_at) return false;
  }
  // One write per line: O_APPEND makes it land whole at the end of the file.
  const ssize_t written = ::write(file.get(), line.data(), line.size());
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace halvorine
