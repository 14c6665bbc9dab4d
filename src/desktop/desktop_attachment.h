// The desktop a thread is attached to, and the rule both desktop-following
// threads share: a thread attaches again only when the input desktop's name
// changed. The same name, byte for byte, is the attached desktop; an
// unreadable name never is. Used by one thread, for that thread.
#pragma once

#include <optional>
#include <string>

#include "desktop/desktop_api.h"

namespace halvorine {

class DesktopAttachment {
 public:
  struct Followed {
    std::optional<std::string> name;  // absent: not opened, or unreadable
    bool attached = false;
  };

  // Opens the input desktop and, unless it is the attached one, attaches the
  // calling thread to it. A failed open changes nothing; a failed attach
  // keeps the previous attachment.
  Followed follow(DesktopApi& api);

  // Whether `name` is the attached desktop's.
  bool holds(const std::optional<std::string>& name) const {
    return desktop_ && name && name_ && *name == *name_;
  }
  // Attaches the calling thread to `opened` (from `api`) and keeps it, closing
  // the desktop attached before. False when refused: the previous attachment
  // stays and `opened` is closed.
  bool attach(DesktopApi& api, OwnedDesktop opened, const std::optional<std::string>& name);

  explicit operator bool() const { return static_cast<bool>(desktop_); }
  const std::optional<std::string>& name() const { return name_; }

 private:
  OwnedDesktop desktop_;  // empty until the first attach
  std::optional<std::string> name_;
};

}  // namespace halvorine
