#include "bin/worker/inject/win/win_secure_attention.h"

namespace halvorine {

Result<void> WinSecureAttention::load() {
  if (send_sas_ != nullptr) return {};
  // The system directory only: never the worker's folder, the current
  // directory or PATH, where someone else could have put a sas.dll.
  module_.reset(LoadLibraryExW(L"sas.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!module_) return std::unexpected(Error::last_os().context("LoadLibraryExW"));
  const FARPROC proc = GetProcAddress(module_.get(), "SendSAS");
  if (proc == nullptr) {
    Error error = Error::last_os().context("GetProcAddress");
    module_.reset();
    return std::unexpected(std::move(error));
  }
  // FARPROC stands for any export; SendSAS is VOID WINAPI (BOOL).
  send_sas_ = reinterpret_cast<SendSasFunction>(reinterpret_cast<void*>(proc));
  return {};
}

std::uint32_t WinSecureAttention::software_sas_generation() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  // Absent, of another type or unreadable: Windows then lets no service
  // generate the sequence, which is what 0 says.
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                   L"SoftwareSASGeneration", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

void WinSecureAttention::send() {
  if (send_sas_ != nullptr) send_sas_(FALSE);  // FALSE: asked for by a service, not by the user's own process
}

}  // namespace halvorine
