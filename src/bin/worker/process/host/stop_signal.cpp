// SIGTERM (service managers, kill) and SIGINT (Ctrl+C) ask for the orderly stop.
#include <csignal>

#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "bin/worker/worker_stop.h"

namespace halvorine {

asio::awaitable<bool> wait_for_stop_signal() {
  asio::signal_set signals(co_await asio::this_coro::executor, SIGTERM, SIGINT);
  asio::error_code error;
  co_await signals.async_wait(asio::redirect_error(asio::use_awaitable, error));
  co_return !error;
}

}  // namespace halvorine
