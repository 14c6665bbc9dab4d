// An Xlib connection of the screen-capture backend, owned by one thread.
//
// The process-wide Xlib handlers are the ones the input backend installs
// (protocol errors ignored, a broken connection only marked lost): both
// modules may be first to connect, so both install the same behaviour. A
// connection that Xlib declared broken is never used again; its owner opens
// a new one.
#pragma once

#include <atomic>
#include <memory>
#include <string>

typedef struct _XDisplay Display;

namespace halvorine {

class XCaptureConnection {
 public:
  // Connects to DISPLAY; nullptr when it is unset or the server refuses.
  static std::shared_ptr<XCaptureConnection> open();
  ~XCaptureConnection();
  XCaptureConnection(const XCaptureConnection&) = delete;
  XCaptureConnection& operator=(const XCaptureConnection&) = delete;

  Display* get() const { return display_; }
  // True once Xlib has reported the connection broken; nothing may use it then.
  bool lost() const { return lost_.load(std::memory_order_relaxed); }

  // The display name a failed open refers to, for error texts.
  static std::string display_name();

 private:
  explicit XCaptureConnection(Display* display);

  Display* display_;
  std::atomic<bool> lost_{false};
};

}  // namespace halvorine
