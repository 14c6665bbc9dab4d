// A C stream owned by one object and closed with it (see unique_resource.h).
// A writer that must know its bytes reached the file asks close() for what
// fclose says.
#pragma once

#include <cstdio>

#include "common/unique_resource.h"

namespace halvorine {

struct FileTraits {
  using Value = std::FILE*;
  static std::FILE* invalid() { return nullptr; }
  static int close(std::FILE* file) { return std::fclose(file); }
};
using UniqueFile = UniqueResource<FileTraits>;

}  // namespace halvorine
