// Move-only owner of a kernel HANDLE (see unique_resource.h). Both NULL and
// INVALID_HANDLE_VALUE mean "no handle".
#pragma once

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE invalid() { return nullptr; }
  static HANDLE also_invalid() { return INVALID_HANDLE_VALUE; }
  static BOOL close(HANDLE handle) { return CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

// Memory a Win32 call allocated with LocalAlloc for the caller (security
// descriptors, SID strings, FormatMessage buffers); `T` is its pointer type.
template <typename T>
struct LocalMemoryTraits {
  using Value = T;
  static T invalid() { return nullptr; }
  static HLOCAL close(T memory) { return LocalFree(memory); }
};
template <typename T = void*>
using LocalMemory = UniqueResource<LocalMemoryTraits<T>>;

}  // namespace halvorine
