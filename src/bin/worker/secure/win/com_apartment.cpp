#include "bin/worker/secure/com_apartment.h"

#include "common/win/win_sdk.h"

#include <objbase.h>

namespace halvorine {

ComApartment::ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

ComApartment::~ComApartment() {
  if (initialised_) CoUninitialize();
}

}  // namespace halvorine
