// Console control events ask for the orderly stop: Ctrl+C and Ctrl+Break,
// the console closing, the user logging off, the system shutting down (a
// console program started by a service gets the last two). Whatever the
// client holds is released before the worker ends, as on Linux with SIGTERM.
#include "common/win/win_sdk.h"

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include "bin/worker/worker_stop.h"

namespace halvorine {
namespace {

// How long a handler holds its event: the system ends the process when the
// handler of a close, log-off or shutdown event returns (and by itself after
// about 5 s), and the stop (at most kInjectionDrainLimit for the injection
// thread) ends the process first.
constexpr DWORD kHandlerHoldMs = 4500;

// The handler runs on a thread of its own with no context to be given, so
// the event it sets is the process's one: made once, never closed.
HANDLE stop_event() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI on_console_event(DWORD) {
  SetEvent(stop_event());
  Sleep(kHandlerHoldMs);
  return TRUE;
}

}  // namespace

asio::awaitable<bool> wait_for_stop_signal() {
  const HANDLE event = stop_event();
  HANDLE waited = nullptr;
  if (event == nullptr ||
      !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &waited, SYNCHRONIZE, FALSE, 0)) {
    co_return false;
  }
  asio::windows::object_handle stop(co_await asio::this_coro::executor, waited);
  if (!SetConsoleCtrlHandler(on_console_event, TRUE)) co_return false;
  asio::error_code error;
  co_await stop.async_wait(asio::redirect_error(asio::use_awaitable, error));
  co_return !error;
}

}  // namespace halvorine
