// Move-only owner of a service control manager or service handle.
#pragma once

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"

namespace halvorine {

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static SC_HANDLE invalid() { return nullptr; }
  static BOOL close(SC_HANDLE handle) { return CloseServiceHandle(handle); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

}  // namespace halvorine
