// The worker's fatal stops: start-up failures and a DesktopDuplicator used
// from a thread it does not belong to.
#pragma once

#include <string_view>

namespace halvorine {

// Prints `message` on standard error and ends the process with a failure status.
[[noreturn]] void fatal_stop(std::string_view message);

}  // namespace halvorine
