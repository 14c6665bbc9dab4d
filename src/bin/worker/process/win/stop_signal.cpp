// The Windows worker runs until it is terminated from outside: no stop request.
#include "bin/worker/worker_stop.h"

namespace halvorine {

asio::awaitable<bool> wait_for_stop_signal() { co_return false; }

}  // namespace halvorine
