// The Windows form of a pipe's access list: the descriptor that
// ConvertStringSecurityDescriptorToSecurityDescriptorW made (freed with
// LocalFree) and the SECURITY_ATTRIBUTES pointing at it. Lives on the heap and
// never moves, so CreateNamedPipeW may be given attributes() while it lives.
#pragma once

#include <memory>
#include <string>

#include "bin/worker/pipe/pipe_security.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {

class WinPipeSecurity final : public PipeSecurity {
 public:
  // Converts `sddl`; nullptr when the conversion fails.
  static std::unique_ptr<WinPipeSecurity> convert(const std::string& sddl);

  const std::string& sddl() const override { return sddl_; }
  SECURITY_ATTRIBUTES* attributes() const { return &attributes_; }

 private:
  WinPipeSecurity(std::string sddl, LocalMemory<> descriptor);

  std::string sddl_;
  LocalMemory<> descriptor_;
  mutable SECURITY_ATTRIBUTES attributes_;
};

}  // namespace halvorine
