#include "common/fatal_stop.h"

#include <cstdio>
#include <cstdlib>

namespace halvorine {

void fatal_stop(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  // No destructors, no atexit handlers: the state that led here is not trusted.
  std::_Exit(101);
}

}  // namespace halvorine
