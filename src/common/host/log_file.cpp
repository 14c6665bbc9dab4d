#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "common/utf16.h"
#include "common/worker_log.h"

namespace halvorine {

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

bool append_to_log_file(const std::filesystem::path& file, std::string_view line) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write per line: O_APPEND makes it land whole at the end of the file.
  const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace halvorine
