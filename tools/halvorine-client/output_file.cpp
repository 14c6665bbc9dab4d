#include "output_file.h"

namespace halvorine::client {

int OutputFile::StreamTraits::close(std::FILE* file) {
  return file == stdout ? std::fflush(file) : FileTraits::close(file);
}

Result<OutputFile> OutputFile::open(const std::string& path) {
  if (path == "-") {
    set_stdout_binary();
    return OutputFile(stdout);
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return std::unexpected(Error::last_os());
  return OutputFile(file);
}

Result<void> OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size()) return {};
  return std::unexpected(Error::last_os().context("write"));
}

}  // namespace halvorine::client
