// Console control events ask for the orderly stop: Ctrl+C, Ctrl+Break and
// the console closing. Whatever the client holds is released before the
// worker ends, as on Linux with SIGTERM. A user logging off is no reason to
// stop: the worker is about to stream the logon screen that follows. Nor is
// the system shutting down, which ends the worker by itself. (Windows does
// not even send these two to a process that loads user32, as the worker
// does; should they come, they are taken and ignored, since the default
// handler would end the process.)
#include "common/win/win_sdk.h"

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include "bin/worker/worker_stop.h"

namespace halvorine {
namespace {

// How long the handler of a close event holds it: the system ends the
// process when that handler returns (and by itself after about 5 s), and the
// stop (at most kInjectionDrainLimit for the injection thread) ends the
// process first.
constexpr DWORD kHandlerHoldMs = 4500;

// The handler runs on a thread of its own with no context to be given, so
// the event it sets is the process's one: made once, never closed.
HANDLE stop_event() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI on_console_event(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(stop_event());
      return TRUE;
    case CTRL_CLOSE_EVENT:
      SetEvent(stop_event());
      Sleep(kHandlerHoldMs);
      return TRUE;
    default:  // log-off, shutdown: handled, by going on
      return TRUE;
  }
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
