#include "bin/worker/pipe/pipe_security.h"

#include <fmt/format.h>

namespace halvorine {

std::unique_ptr<PipeSecurity> build_pipe_security(PipeSecurityPlatform& platform, Logger& log) {
  std::string sddl;
  std::string_view label;
  if (const auto sid = platform.session_user_sid()) {
    sddl = fmt::format("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;{};;;{})", kPipeUserRights, *sid);
    label = "SYSTEM+Administrators+user";
  } else {
    log.log("pipe: SID user indisponibil -> DACL fallback SY+BA+INTERACTIVE");
    sddl = fmt::format("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;{};;;IU)", kPipeUserRights);
    label = "SYSTEM+Administrators+INTERACTIVE";
  }
  auto security = platform.make_descriptor(sddl);
  if (!security) {
    // Only the outcome is logged, not the conversion's error code.
    log.log(fmt::format("pipe: ConvertStringSD esuat pentru {}", sddl));
    return nullptr;
  }
  log.log(fmt::format("pipe: DACL restrictionat -> {} pot deschide pipe-ul", label));
  return security;
}

}  // namespace halvorine
