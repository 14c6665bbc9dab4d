#include "bin/worker/pipe/host/host_pipe_security.h"

#include <charconv>
#include <string_view>

#include <fmt/format.h>

namespace halvorine {
namespace {

constexpr std::string_view kUnixUserSidPrefix = "S-1-22-1-";

}  // namespace

std::string unix_user_sid(uid_t uid) { return fmt::format("{}{}", kUnixUserSidPrefix, uid); }

std::unique_ptr<HostPipeSecurity> HostPipeSecurity::parse(const std::string& sddl) {
  auto security = std::make_unique<HostPipeSecurity>();
  security->sddl_ = sddl;
  std::string_view rest = sddl;
  if (!rest.starts_with("D:P")) return nullptr;
  rest.remove_prefix(3);
  if (rest.empty()) return nullptr;
  while (!rest.empty()) {
    // Full access, or the session user's read and write: both mean "may connect".
    const std::string_view rights = rest.starts_with("(A;;FA;;;") ? "FA" : kPipeUserRights;
    const std::string entry = fmt::format("(A;;{};;;", rights);
    if (!rest.starts_with(entry)) return nullptr;
    rest.remove_prefix(entry.size());
    const auto close = rest.find(')');
    if (close == std::string_view::npos) return nullptr;
    const std::string_view trustee = rest.substr(0, close);
    rest.remove_prefix(close + 1);
    if (trustee == "SY" || trustee == "BA") {
      security->root_ = true;
    } else if (trustee == "IU") {
      security->everyone_ = true;
    } else if (trustee.starts_with(kUnixUserSidPrefix)) {
      const std::string_view digits = trustee.substr(kUnixUserSidPrefix.size());
      uid_t uid = 0;
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), uid);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return nullptr;
      }
      security->user_ = uid;
    } else {
      return nullptr;
    }
  }
  return security;
}

bool HostPipeSecurity::admits(uid_t uid) const {
  return everyone_ || (root_ && uid == 0) || (user_ && *user_ == uid);
}

}  // namespace halvorine
