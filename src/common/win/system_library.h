// A DLL of Windows' own, loaded at run time from the system directory only.
//
// Media Foundation, Direct3D 11 and DXGI are missing from some editions
// (N/KN without the Media Feature Pack, Server without its media feature);
// importing them would let the loader refuse the whole process before main.
// So their users load them here, never from the current or the executable's
// folder (a planted DLL there would run as SYSTEM), and resolve each function
// once. A missing library or function is an error of the step that needed it:
//   "mfplat.dll: <system message> (os error 126)"
//   "mfplat.dll!MFTEnumEx: <system message> (os error 127)"
#pragma once

#include <string>

#include "common/error.h"
#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

struct ModuleTraits {
  using Value = HMODULE;
  static HMODULE invalid() { return nullptr; }
  static BOOL close(HMODULE module) { return FreeLibrary(module); }
};

class SystemLibrary {
 public:
  // LoadLibraryExW(name, LOAD_LIBRARY_SEARCH_SYSTEM32).
  static Result<SystemLibrary> load(const char* name);

  // GetProcAddress, cast to the function's type.
  template <typename Function>
  Result<void> resolve(Function*& function, const char* symbol) const {
    auto address = find(symbol);
    if (!address) return std::unexpected(std::move(address.error()));
    function = reinterpret_cast<Function*>(*address);
    return {};
  }

  // Leaves the library loaded for the rest of the process: what it made
  // (transforms, their threads) may outlive any one owner.
  void keep_loaded() && { module_.release(); }

 private:
  SystemLibrary(std::string name, HMODULE module) : name_(std::move(name)), module_(module) {}
  Result<FARPROC> find(const char* symbol) const;

  std::string name_;
  UniqueResource<ModuleTraits> module_;
};

}  // namespace halvorine
