#include "bin/worker/inject/secure_input_gate.h"

#include <algorithm>

#include <fmt/format.h>

namespace halvorine {

void SecureInputGate::begin(ClientVerdict verdict) {
  verdict_ = std::move(verdict);
  reported_ = false;
  // The previous connection's releases came before this verdict.
  held_.clear();
}

bool SecureInputGate::is_secure(const std::optional<std::string>& desktop) const {
  if (!desktop) return true;
  return std::equal(desktop->begin(), desktop->end(), secure_desktop_.begin(), secure_desktop_.end(),
                    [](char a, char b) {
                      const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
                      return lower(a) == lower(b);
                    });
}

std::optional<SecureInputGate::Held> SecureInputGate::held_of(const InputEvent& event, bool& pressed) {
  if (const auto* mouse = std::get_if<MouseEvent>(&event)) {
    pressed = mouse->pressed;
    if (mouse->button < 1 || mouse->button > 3) return std::nullopt;
    return Held{std::nullopt, mouse->button};
  }
  if (const auto* key = std::get_if<KeyEvent>(&event)) {
    pressed = key->pressed;
    // One entry per key, whatever name pressed it.
    if (const std::optional<KeyCode> code = lookup_key(key->name)) return Held{code, 0};
  }
  return std::nullopt;
}

SecureInputGate::Pass SecureInputGate::admit(const InputEvent& event, const std::optional<std::string>& desktop) {
  if (verdict_ && verdict_->trusted) return Pass::inject;
  bool pressed = false;
  const std::optional<Held> held = held_of(event, pressed);
  const auto found = held ? std::find(held_.begin(), held_.end(), *held) : held_.end();
  if (!is_secure(desktop)) {
    if (held && pressed && found == held_.end()) held_.push_back(*held);
    if (held && !pressed && found != held_.end()) held_.erase(found);
    return Pass::inject;
  }
  if (!held || pressed || found == held_.end()) return drop();
  held_.erase(found);
  return held->button != 0 ? Pass::release_button : Pass::inject;
}

SecureInputGate::Pass SecureInputGate::drop() {
  if (!reported_) {
    reported_ = true;
    lines_.write(untrusted_client_line(verdict_.value_or(ClientVerdict{false, {}, "no verdict for the connection"})));
  }
  return Pass::drop;
}

std::string untrusted_client_line(const ClientVerdict& verdict) {
  const auto escaped = [](std::string_view text) {
    std::string out;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f) {
        out += fmt::format("\\x{:02x}", byte);
      } else {
        out += c;
      }
    }
    return out;
  };
  std::string line = fmt::format("inject: clientul {} nu e instalat langa worker - ignor inputul pe Winlogon",
                                 verdict.image.empty() ? "necunoscut" : escaped(verdict.image));
  if (!verdict.reason.empty()) line += fmt::format(" ({})", escaped(verdict.reason));
  return line;
}

}  // namespace halvorine
