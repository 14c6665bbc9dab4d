// The view's window seam: one window on the platform's window system,
// created and used on one thread (the view's loop) except for wake().
// Backends: X11 with MIT-SHM (Linux), Win32 with a DIB section (Windows).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/clock.h"
#include "common/error.h"
#include "view/picture.h"
#include "view/window_event.h"

namespace halvorine::client {

struct WindowSize {
  int width = 0;
  int height = 0;
};

class ViewWindow {
 public:
  virtual ~ViewWindow() = default;
  // Waits until the window has an event, wake() is called or `deadline`
  // passes; nullopt when it returns without an event.
  virtual std::optional<WindowEvent> next_event(Clock::MonotonicTime deadline) = 0;
  // Any thread: makes a waiting next_event() return.
  virtual void wake() = 0;
  // Puts `picture` on the screen, filling the client area; when the picture's
  // size changed, first sizes the window to it (scaled down to fit the
  // screen). Returns once the window system has drawn it.
  virtual Result<void> show(const Picture& picture) = 0;
  // Draws the last picture again (after an expose), or black without one.
  virtual void redraw() = 0;
  virtual void set_title(const std::string& title) = 0;
  virtual WindowSize client_size() const = 0;
};

Result<std::unique_ptr<ViewWindow>> create_view_window(const std::string& title);

}  // namespace halvorine::client
