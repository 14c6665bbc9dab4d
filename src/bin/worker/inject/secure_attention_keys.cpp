#include "bin/worker/inject/secure_attention_keys.h"

#include <array>
#include <utility>

#include <fmt/format.h>

namespace halvorine {
namespace {

constexpr std::uint8_t kControl = 0b0011;
constexpr std::uint8_t kAlt = 0b1100;

// The bit of a Control or Alt key name, 0 for any other key.
std::uint8_t modifier_bit(std::string_view name) {
  constexpr std::array<std::pair<std::string_view, std::uint8_t>, 4> kModifiers{{
      {"ControlLeft", 0b0001},
      {"ControlRight", 0b0010},
      {"AltLeft", 0b0100},
      {"AltRight", 0b1000},
  }};
  for (const auto& [modifier, bit] : kModifiers) {
    if (name == modifier) return bit;
  }
  return 0;
}

}  // namespace

bool SecureAttentionKeys::consume(std::string_view name, bool pressed) {
  if (const std::uint8_t bit = modifier_bit(name); bit != 0) {
    held_modifiers_ = pressed ? (held_modifiers_ | bit) : (held_modifiers_ & ~bit);
    return false;
  }
  if (name != "Delete") return false;
  if (!pressed) return std::exchange(delete_swallowed_, false);
  // A repeated press before the release is still the same press: one
  // sequence per press, however fast the GUI repeats it.
  if (delete_swallowed_) return true;
  if ((held_modifiers_ & kControl) == 0 || (held_modifiers_ & kAlt) == 0) return false;
  if (platform_ == nullptr || availability_ == Availability::unavailable) return false;
  const Clock::MonotonicTime now = clock_.monotonic_now();
  // A clock that stepped back counts as no time passed.
  if (last_sent_ && (now < *last_sent_ || now - *last_sent_ < kSecureAttentionInterval)) {
    ++swallowed_;
    delete_swallowed_ = true;
    return true;
  }
  delete_swallowed_ = send_sequence();
  if (delete_swallowed_) last_sent_ = now;
  return delete_swallowed_;
}

void SecureAttentionKeys::flush() {
  if (swallowed_ == 0) return;
  log_.log(fmt::format("inject: {} Ctrl+Alt+Del ignorate (cel mult un SendSAS pe secunda)",
                       std::exchange(swallowed_, 0)));
}

bool SecureAttentionKeys::send_sequence() {
  // SendSAS acts for services only as SYSTEM. Loading the library and reading
  // the policy as SYSTEM also keeps a user's own drive mappings (which follow
  // the impersonation) out of which file gets loaded.
  bool loaded = false;
  desktop_.as_system([&] {
    loaded = load_once();
    if (loaded) platform_->send();
  });
  if (loaded) {
    flush();
    log_.log("inject: Ctrl+Alt+Del -> SendSAS");
  }
  return loaded;
}

bool SecureAttentionKeys::load_once() {
  if (availability_ != Availability::unknown) return availability_ == Availability::available;
  if (Result<void> loaded = platform_->load(); !loaded) {
    availability_ = Availability::unavailable;
    log_.log(fmt::format("inject: SendSAS indisponibil ({}) - trimit tastele", loaded.error().text()));
    return false;
  }
  availability_ = Availability::available;
  // Read once: without the policy Windows may drop a service's sequence, and
  // saying so once is enough to explain a Ctrl+Alt+Del that does nothing.
  if (const std::uint32_t policy = platform_->software_sas_generation(); policy != 1 && policy != 3) {
    log_.log(fmt::format("inject: SoftwareSASGeneration={} - Windows poate ignora Ctrl+Alt+Del de la servicii",
                         policy));
  }
  return true;
}

}  // namespace halvorine
