// Where the worker's subsystems write their diagnostic messages.
#pragma once

#include <string_view>

namespace halvorine {

// One message per call, callable from any thread. Implementations never fail
// towards the caller: the log is the only channel failures could go to.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void log(std::string_view message) = 0;
};

}  // namespace halvorine
