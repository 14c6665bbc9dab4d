#include "common/win/system_library.h"

#include <fmt/format.h>

namespace halvorine {

Result<SystemLibrary> SystemLibrary::load(const char* name) {
  std::wstring wide;
  for (const char* c = name; *c != '\0'; ++c) wide.push_back(static_cast<wchar_t>(*c));
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return std::unexpected(Error::last_os().context(name));
  return SystemLibrary(name, module);
}

Result<FARPROC> SystemLibrary::find(const char* symbol) const {
  FARPROC address = GetProcAddress(module_.get(), symbol);
  if (address == nullptr) {
    return std::unexpected(Error::last_os().context(fmt::format("{}!{}", name_, symbol)));
  }
  return address;
}

}  // namespace halvorine
