// Where `halvorine-client video` writes: a file it creates, or standard
// output ("-"), both taking bytes unchanged. Closed (or, for standard output,
// flushed) when the object goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "common/error.h"
#include "common/unique_file.h"

namespace halvorine::client {

class OutputFile {
 public:
  static Result<OutputFile> open(const std::string& path);

  Result<void> write(std::span<const std::uint8_t> bytes);

 private:
  // A file is closed; standard output is only flushed.
  struct StreamTraits {
    using Value = std::FILE*;
    static std::FILE* invalid() { return nullptr; }
    static int close(std::FILE* file);
  };
  explicit OutputFile(std::FILE* file) : file_(file) {}
  UniqueResource<StreamTraits> file_;
};

// Makes standard output carry bytes unchanged (Windows would turn "\n" into
// "\r\n"); nothing to do elsewhere. Defined per platform.
void set_stdout_binary();

// Whether the pipes are sockets in a directory that --pipe-dir may name
// (Linux) rather than \\.\pipe names (Windows). Defined per platform.
bool pipes_are_sockets();

}  // namespace halvorine::client
