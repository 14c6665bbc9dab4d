// Linux: the client's image from /proc/PID/exe, owners and modes by lstat.
// Root stands for SYSTEM, Administrators and TrustedInstaller.
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "bin/worker/pipe/client_trust.h"

namespace halvorine {
namespace {

Result<std::string> read_link(const std::string& path) {
  std::array<char, 4096> buffer;
  const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (length < 0) return std::unexpected(Error::last_os().context("readlink"));
  if (static_cast<std::size_t>(length) == buffer.size()) return std::unexpected(Error::message("path too long"));
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

class HostClientTrustPlatform final : public ClientTrustPlatform {
 public:
  bool windows_paths() const override { return false; }

  Result<std::string> worker_image() override { return read_link("/proc/self/exe"); }

  Result<std::string> process_image(std::uint32_t pid) override {
    auto image = read_link("/proc/" + std::to_string(pid) + "/exe");
    // The kernel names an image deleted since it was started so; it is not
    // the file now at that path.
    if (image && image->ends_with(" (deleted)")) return std::unexpected(Error::message("image deleted"));
    return image;
  }

  Result<PathEntrySecurity> entry_security(const std::string& path) override {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(Error::last_os().context("lstat"));
    if (S_ISLNK(st.st_mode)) return std::unexpected(Error::message("a link"));
    const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return PathEntrySecurity{.trusted_owner = st.st_uid == 0 || st.st_uid == ::geteuid(),
                             .others_may_replace = others_write,
                             .others_may_add = others_write};
  }
};

}  // namespace

std::unique_ptr<ClientTrustPlatform> make_client_trust_platform() {
  return std::make_unique<HostClientTrustPlatform>();
}

}  // namespace halvorine
