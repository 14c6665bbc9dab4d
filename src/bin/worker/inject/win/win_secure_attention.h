// SecureAttention on Win32: SendSAS from sas.dll, loaded from the system
// directory only on first use and kept for the process's life, and the
// SoftwareSASGeneration machine policy read from the registry (never written).
#pragma once

#include "bin/worker/inject/secure_attention.h"
#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

class WinSecureAttention final : public SecureAttention {
 public:
  Result<void> load() override;
  std::uint32_t software_sas_generation() override;
  void send() override;

 private:
  struct ModuleTraits {
    using Value = HMODULE;
    static HMODULE invalid() { return nullptr; }
    static BOOL close(HMODULE module) { return FreeLibrary(module); }
  };
  using SendSasFunction = VOID(WINAPI*)(BOOL as_user);

  UniqueResource<ModuleTraits> module_;
  SendSasFunction send_sas_ = nullptr;
};

}  // namespace halvorine
