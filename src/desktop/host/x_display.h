// The X display that stands in for the input desktop on Linux: one Xlib
// connection to the display named by DISPLAY per desktop-following thread.
// The injection thread's is shared by its desktop API and its XTest input
// sink; the secure-capture thread has one of its own. A connection is used
// by one thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef struct _XDisplay Display;

namespace halvorine {

class XDisplayConnection {
 public:
  // Connects to DISPLAY; nullptr when it is unset or the server refuses.
  static std::shared_ptr<XDisplayConnection> open();
  ~XDisplayConnection();
  XDisplayConnection(const XDisplayConnection&) = delete;
  XDisplayConnection& operator=(const XDisplayConnection&) = delete;

  Display* get() const { return display_; }
  // True once Xlib has reported the connection broken; it is then unusable.
  bool lost() const { return lost_.load(std::memory_order_relaxed); }

  // The root window's _HALVORINE_DESKTOP property when set (how tests and
  // demos make the display play another desktop), else "Default"; nullopt
  // when the connection is lost.
  std::optional<std::string> desktop_name();

  // The keycode that produces `keysym`; 0 when there is none. A keysym the
  // keyboard map lacks (F13..F24 and KP_Separator on Xvfb's default map) is
  // bound to a keycode that has no keysym at all, as other XTest tools do,
  // and that binding is kept for the connection's life.
  unsigned keycode_for(unsigned long keysym);

 private:
  explicit XDisplayConnection(Display* display);
  static void on_connection_lost(Display* display, void* self);

  Display* display_;
  unsigned long name_atom_ = 0;
  std::vector<std::pair<unsigned long, unsigned>> bound_keysyms_;  // keysym, keycode
  std::atomic<bool> lost_{false};
};

// The desktop API's connection and whether the thread is attached to the
// display; the input sink injects through it once attached.
struct XAttachment {
  std::shared_ptr<XDisplayConnection> connection;
  // Counts connections made; an opened desktop's handle is the generation
  // of the connection it was opened on.
  std::uintptr_t generation = 0;
  bool attached = false;
};

}  // namespace halvorine
