#include <system_error>
#include <thread>

#include "bin/worker/process/spawn_thread.h"

namespace halvorine {

bool spawn_detached_std_thread(std::move_only_function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace halvorine
