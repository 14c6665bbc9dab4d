#pragma once

#include <functional>

namespace halvorine {

// Starts `body` on a detached std::thread; false when the system refuses a thread.
bool spawn_detached_std_thread(std::move_only_function<void()> body);

}  // namespace halvorine
