#include "common/log_file_writer.h"

#include <aclapi.h>

#include <fmt/format.h>

#include "common/utf16.h"
#include "common/win/log_folder.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"
#include "common/worker_log.h"

namespace halvorine {
namespace {

// FILE_GENERIC_WRITE without FILE_WRITE_DATA: append-only, so every write
// lands at the end of the file whoever else appends. FILE_READ_ATTRIBUTES
// (0x80) on top, to see what was opened before writing to it.
constexpr DWORD kAppendOnlyAccess = 0x120114 | FILE_READ_ATTRIBUTES;

// Moves not yet told are kept up to this many (a log that keeps failing
// while things are planted must not grow memory).
constexpr std::size_t kMaxUntoldMoves = 32;

// Whether `handle` is what the log may write into: a regular file (no
// directory, reparse point or device) with one name, owned by a trusted
// account. Reads its size when it is.
bool is_log_file(HANDLE handle, std::uint64_t* size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotAFile) != 0 || info.nNumberOfLinks != 1) return false;
  PSID owner = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      descriptor.put()) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = is_trusted_owner(owner);
  if (trusted && size) *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return trusted;
}

// True when something is at `path` that the log may not write into (as
// opposed to nothing, or a file of ours that is merely busy).
bool is_planted_file(const std::filesystem::path& path) {
  // The object itself, whatever kind; never through a reparse point.
  const UniqueHandle object(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return object && !is_log_file(object.get(), nullptr);
}

// The log file, opened without following a reparse point (a link or a
// junction put in its place is opened as itself and refused).
Result<UniqueHandle> open_log_file(const std::filesystem::path& file, std::uint64_t& size) {
  UniqueHandle handle(CreateFileW(file.c_str(), kAppendOnlyAccess,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return std::unexpected(Error::last_os().context("CreateFileW"));
  if (!is_log_file(handle.get(), &size)) return std::unexpected(Error::message("log file: not a file of the worker's"));
  return handle;
}

// The path as UTF-8, for log lines.
std::string path_text(const std::filesystem::path& path) {
  return utf16_to_utf8_lossy(
      std::u16string_view(reinterpret_cast<const char16_t*>(path.c_str()), path.native().size()));
}

}  // namespace

// Each step opens or moves one thing, and moves aside what is planted there
// (remembered in the writer for the log to tell), trying once more after it.
struct LogFileWriter::Steps {
  LogFileWriter& writer;

  Result<void> move_out_of_the_way(const std::filesystem::path& path) {
    const LocalTime t = writer.clock_.local_now();
    auto moved = move_aside(path, fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}", t.year, t.month, t.day, t.hour,
                                              t.minute, t.second));
    if (!moved) return std::unexpected(std::move(moved.error()));
    if (writer.moved_aside_.size() < kMaxUntoldMoves) {
      writer.moved_aside_.push_back(path_text(path) + " -> " + path_text(*moved));
    }
    return {};
  }

  Result<UniqueHandle> folder() {
    auto folder = open_trusted_log_folder(writer.directory_);
    if (folder || !is_planted_folder(writer.directory_)) return folder;
    // Something planted would silence the log: out of the way with it.
    if (auto moved = move_out_of_the_way(writer.directory_); !moved) return std::unexpected(std::move(moved.error()));
    return open_trusted_log_folder(writer.directory_);
  }

  Result<UniqueHandle> file(std::uint64_t& size) {
    const std::filesystem::path path = writer.directory_ / writer.file_name_;
    auto file = open_log_file(path, size);
    if (file || !is_planted_file(path)) return file;
    if (auto moved = move_out_of_the_way(path); !moved) return std::unexpected(std::move(moved.error()));
    return open_log_file(path, size);
  }

  // Moves the full log to .1, replacing it. What is at .1 and is not a file
  // of ours is moved aside first; a file of ours is never moved aside: when
  // it cannot be replaced, the rotation fails and is tried again later.
  Result<void> rotate() {
    const std::filesystem::path file = writer.directory_ / writer.file_name_;
    const std::filesystem::path rotated = writer.directory_ / writer.rotated_file_name_;
    // A rename moves a reparse point at either name, never its target.
    if (is_planted_file(rotated)) {
      if (auto moved = move_out_of_the_way(rotated); !moved) return std::unexpected(std::move(moved.error()));
    }
    if (!MoveFileExW(file.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return std::unexpected(Error::last_os().context("MoveFileExW"));
    }
    return {};
  }
};

std::filesystem::path program_data_directory() {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(L"PROGRAMDATA", buffer, 32768);
  if (length > 0 && length < 32768) {
    const std::u16string_view units(reinterpret_cast<const char16_t*>(buffer), length);
    const std::string text = utf16_to_utf8_lossy(units);
    // Not valid Unicode (an unpaired surrogate) means the default directory.
    if (utf8_to_utf16(text) == units) return std::filesystem::path(std::wstring(buffer, length));
  }
  return std::filesystem::path(L"C:\\ProgramData");
}

Result<LogAppend> LogFileWriter::append(std::string_view line) {
  // The injection thread may be acting for the session user, who may not
  // write into the folder; the log is SYSTEM's.
  const ActAsProcess as_process;
  Steps steps{*this};
  const auto folder = steps.folder();
  if (!folder) return std::unexpected(folder.error());
  std::uint64_t size = 0;
  auto file = steps.file(size);
  if (!file) return std::unexpected(std::move(file.error()));
  LogAppend appended;
  if (size >= rotate_at_) {
    if (rotation_due()) {
      file->reset();
      const Result<void> rotation = steps.rotate();
      appended.rotated = rotation.has_value();
      rotation_failed_at_ = rotation ? std::nullopt : std::optional(clock_.monotonic_now());
      file = steps.file(size);
      if (!file) return std::unexpected(std::move(file.error()));
    }
    // Rotation failing: the line goes to the full file, but the file never
    // grows past twice the size.
    if (size / 2 >= rotate_at_) return std::unexpected(Error::message("log file: full, and it could not be rotated"));
  }
  DWORD written = 0;
  if (!WriteFile(file->get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    return std::unexpected(Error::last_os().context("WriteFile"));
  }
  if (written != line.size()) return std::unexpected(Error::message("WriteFile: part of the line written"));
  appended.written = written;
  appended.moved_aside = std::exchange(moved_aside_, {});
  return appended;
}

}  // namespace halvorine
