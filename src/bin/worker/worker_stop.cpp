#include "bin/worker/worker_stop.h"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace halvorine {

WorkerStop::WorkerStop(asio::any_io_executor executor)
    : executor_(executor), injection_done_(executor, std::chrono::steady_clock::time_point::max()) {}

void WorkerStop::injection_ended() {
  asio::post(executor_, [this] {
    injection_ended_ = true;
    injection_done_.cancel();
  });
}

asio::awaitable<bool> WorkerStop::run(asio::awaitable<bool> stop_requested, Logger& log,
                                      std::chrono::milliseconds drain_limit) {
  if (!co_await std::move(stop_requested)) co_return false;
  input_stop_.request();
  if (!injection_ended_) {
    injection_done_.expires_after(drain_limit);
    asio::error_code cancelled;
    co_await injection_done_.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
  }
  log.log("worker exiting");
  co_return true;
}

}  // namespace halvorine
