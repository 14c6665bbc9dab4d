// A file descriptor owned by one object and closed with it (see
// unique_resource.h).
#pragma once

#include <unistd.h>

#include "common/unique_resource.h"

namespace halvorine {

struct FdTraits {
  using Value = int;
  static int invalid() { return -1; }
  static int close(int fd) { return ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

}  // namespace halvorine
