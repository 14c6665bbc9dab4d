// SecureAttention on Win32: SendSAS from sas.dll, loaded from the system
// directory only on first use and kept for the process's life, and the
// SoftwareSASGeneration machine policy read from the registry (never written).
#pragma once

#include <memory>
#include <type_traits>

#include "bin/worker/inject/secure_attention.h"
#include "common/win/win_sdk.h"

namespace halvorine {

class WinSecureAttention final : public SecureAttention {
 public:
  Result<void> load() override;
  std::uint32_t software_sas_generation() override;
  void send() override;

 private:
  struct FreeModule {
    void operator()(HMODULE module) const { FreeLibrary(module); }
  };
  using SendSasFunction = VOID(WINAPI*)(BOOL as_user);

  std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule> module_;
  SendSasFunction send_sas_ = nullptr;
};

}  // namespace halvorine
