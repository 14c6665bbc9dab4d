// A SecureAttention that counts its calls, notes whether any of them was made
// while the fake desktop API was impersonating, and fails to load when told.
#pragma once

#include <optional>

#include "bin/worker/inject/secure_attention.h"
#include "inject/fakes/fake_desktop_session_api.h"

namespace halvorine::testing {

class FakeSecureAttention final : public SecureAttention {
 public:
  explicit FakeSecureAttention(const FakeDesktopSessionApi& api) : api(api) {}

  Result<void> load() override {
    note_call();
    ++loads;
    if (load_error) return std::unexpected(*load_error);
    return {};
  }
  std::uint32_t software_sas_generation() override {
    note_call();
    return policy;
  }
  void send() override {
    note_call();
    ++sends;
  }

  const FakeDesktopSessionApi& api;
  std::optional<Error> load_error;
  std::uint32_t policy = 1;
  int loads = 0;
  int sends = 0;
  bool called_while_impersonating = false;

 private:
  void note_call() { called_while_impersonating |= api.impersonating; }
};

}  // namespace halvorine::testing
