// Move-only owner of memory that a WTS call allocated (see
// unique_resource.h); freed with WTSFreeMemory.
#pragma once

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"
#include <wtsapi32.h>

namespace halvorine {

template <typename T>
struct WtsMemoryTraits {
  using Value = T*;
  static T* invalid() { return nullptr; }
  static void close(T* memory) { WTSFreeMemory(memory); }
};
template <typename T>
using UniqueWtsMemory = UniqueResource<WtsMemoryTraits<T>>;

}  // namespace halvorine
