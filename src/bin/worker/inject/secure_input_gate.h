// Which input the injection thread lets through on the secure desktop.
//
// The input pipe server sends each connection's ClientVerdict ahead of its
// events. On the secure desktop an untrusted client's input is dropped: not
// injected, its presses never pressed. What it pressed on the user's own
// desktop is still released there (a key or button left down would stay
// down for whoever types the password): a key up, and a button up where
// the pointer is, without the move the event carries. A release cannot
// press anything. Until the first verdict nothing counts as trusted.
//
// The first dropped event of a connection writes one line naming the
// client (untrusted_client_line), through the line budget. Not
// thread-safe: the injection thread's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bin/worker/inject/key_table.h"
#include "bin/worker/input_event.h"
#include "common/clock.h"
#include "common/line_budget.h"
#include "common/logger.h"

namespace halvorine {

// The secure desktop of the product.
inline constexpr std::string_view kWinlogonDesktop = "Winlogon";

// The line written, once per connection, when an untrusted client's input is
// dropped on the secure desktop. Control characters of the path are
// escaped: a file name must not forge log lines.
std::string untrusted_client_line(const ClientVerdict& verdict);

// The count of drop lines over budget.
inline constexpr std::string_view kDropLinesSummary = "inject: {} mesaje nelogate (clienti neinstalati langa worker)";

class SecureInputGate {
 public:
  enum class Pass {
    inject,          // as it is
    release_button,  // only the button up, the pointer not moved
    drop,
  };

  // `secure_desktop`: the name that counts as the secure desktop, compared
  // without regard to ASCII case ("Winlogon" in the product). `log` and
  // `clock` outlive the gate.
  SecureInputGate(Logger& log, const Clock& clock, std::string secure_desktop)
      : lines_(log, clock, kDropLinesSummary), secure_desktop_(std::move(secure_desktop)) {}

  // A new connection's verdict.
  void begin(ClientVerdict verdict);

  // What to do with `event` (a key or mouse event) while the thread is on the
  // desktop named `desktop` (nullopt: its name is unknown, taken as secure).
  Pass admit(const InputEvent& event, const std::optional<std::string>& desktop);

  bool is_secure(const std::optional<std::string>& desktop) const;

 private:
  struct Held {
    std::optional<KeyCode> key;
    std::uint8_t button = 0;
    friend bool operator==(const Held&, const Held&) = default;
  };

  // nullopt for an event that presses or releases nothing that can stay down.
  static std::optional<Held> held_of(const InputEvent& event, bool& pressed);
  Pass drop();

  BudgetedLines lines_;
  std::string secure_desktop_;
  std::optional<ClientVerdict> verdict_;
  bool reported_ = false;
  // What an untrusted connection pressed on an ordinary desktop and has not
  // released: small, searched linearly.
  std::vector<Held> held_;
};

}  // namespace halvorine
