// Turns Ctrl+Alt+Del from the GUI into the secure attention sequence.
//
// It sees every key event before it is injected and tracks the Control and
// Alt keys this worker holds down. A Delete press while a Control and an Alt
// key are held becomes one SecureAttention::send() instead of a key record,
// and its release (and any repeated press before that) is swallowed; every
// other event, the Control and Alt records included, is injected as usual.
// At most one sequence a second: each one switches the input desktop, and a
// client repeating it would keep the machine switching and fill the log. The
// presses in between are swallowed too, counted, and the count is logged
// before the next sequence (or by flush()).
// Where the platform has no sequence (Linux) or it cannot be loaded, the keys
// are injected as usual too.
//
// One per injection thread, used by that thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/secure_attention.h"
#include "common/clock.h"
#include "common/logger.h"

namespace halvorine {

inline constexpr std::chrono::seconds kSecureAttentionInterval{1};

class SecureAttentionKeys {
 public:
  // `platform` may be null (no sequence on this platform). `platform`,
  // `desktop`, `log` and `clock` must outlive this object.
  SecureAttentionKeys(SecureAttention* platform, InputDesktop& desktop, Logger& log, const Clock& clock)
      : platform_(platform), desktop_(desktop), log_(log), clock_(clock) {}

  // Called with each key event before it is injected; true when the event is
  // consumed here and must not be injected. The platform calls are made as
  // SYSTEM (InputDesktop::as_system).
  bool consume(std::string_view name, bool pressed);

  // Logs how many sequences were swallowed since the last one sent, if any.
  void flush();

 private:
  enum class Availability { unknown, available, unavailable };

  bool send_sequence();
  bool load_once();

  SecureAttention* platform_;
  InputDesktop& desktop_;
  Logger& log_;
  const Clock& clock_;
  std::optional<Clock::MonotonicTime> last_sent_;
  std::uint64_t swallowed_ = 0;     // sequences not sent since the last one
  std::uint8_t held_modifiers_ = 0;  // one bit per Control and Alt key
  bool delete_swallowed_ = false;    // a Delete press became the sequence; its release is ours
  Availability availability_ = Availability::unknown;
};

}  // namespace halvorine
