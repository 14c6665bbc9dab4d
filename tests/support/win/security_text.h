// Security descriptors as the tests compare them: SDDL text.
#pragma once

#include "common/win/win_sdk.h"

#include <sddl.h>

#include <string>

#include "common/utf16.h"
#include "common/win/unique_handle.h"

namespace halvorine::testing {

// The parts `what` of a descriptor that LocalAlloc'ed memory holds (and that
// this call frees), as SDDL; `problem` when there is no descriptor.
inline std::string sddl_text(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION what, const char* problem) {
  const LocalMemory<> owned(descriptor);
  if (!owned) return problem;
  wchar_t* raw = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &raw, nullptr)) {
    return "conversion failed";
  }
  const LocalMemory<wchar_t*> text(raw);
  return utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(text.get()));
}

}  // namespace halvorine::testing
