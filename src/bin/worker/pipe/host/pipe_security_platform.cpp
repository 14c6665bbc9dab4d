// The session user on Linux: the user who owns the X display the worker
// serves, found only when the worker runs as root (the stand-in for holding
// SeTcbPrivilege, without which the session user's token is unobtainable).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bin/worker/pipe/host/host_pipe_security.h"
#include "bin/worker/pipe/pipe_security.h"

namespace halvorine {
namespace {

// The owner of the local X server socket of DISPLAY (":N", ":N.S").
std::optional<uid_t> display_owner() {
  const char* display = std::getenv("DISPLAY");
  if (!display || display[0] != ':') return std::nullopt;
  std::string number(display + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty()) return std::nullopt;
  struct stat info {};
  if (stat(("/tmp/.X11-unix/X" + number).c_str(), &info) != 0) return std::nullopt;
  return info.st_uid;
}

std::optional<uid_t> runtime_dir_owner() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (!dir || !*dir) return std::nullopt;
  struct stat info {};
  if (stat(dir, &info) != 0) return std::nullopt;
  return info.st_uid;
}

class HostPipeSecurityPlatform final : public PipeSecurityPlatform {
 public:
  std::optional<std::string> session_user_sid() override {
    if (geteuid() != 0) return std::nullopt;
    auto owner = display_owner();
    if (!owner) owner = runtime_dir_owner();
    if (!owner) return std::nullopt;
    return unix_user_sid(*owner);
  }

  std::unique_ptr<PipeSecurity> make_descriptor(const std::string& sddl) override {
    return HostPipeSecurity::parse(sddl);
  }
};

}  // namespace

std::unique_ptr<PipeSecurityPlatform> make_pipe_security_platform() {
  return std::make_unique<HostPipeSecurityPlatform>();
}

}  // namespace halvorine
