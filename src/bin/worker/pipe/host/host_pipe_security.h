// The Linux form of a pipe's access list: who may connect to its socket.
//
// Made from the same SDDL texts as on Windows. SY and BA map to root; a user
// SID of the form S-1-22-1-UID (the well-known "Unix user" SIDs) maps to that
// user; IU (Interactive Users) admits every local user. The socket file's
// mode and owner enforce it at connect time; the peer's credentials are
// checked again when it is accepted.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "bin/worker/pipe/pipe_security.h"

namespace halvorine {

class HostPipeSecurity final : public PipeSecurity {
 public:
  // Parses `sddl`; nullptr when it is not a protected DACL of allow
  // entries for SY, BA, IU or S-1-22-1-UID with full file access or
  // kPipeUserRights.
  static std::unique_ptr<HostPipeSecurity> parse(const std::string& sddl);

  const std::string& sddl() const override { return sddl_; }
  bool admits_root() const { return root_; }
  bool admits_everyone() const { return everyone_; }
  std::optional<uid_t> user() const { return user_; }

  // Whether a peer running as `uid` may use the pipe.
  bool admits(uid_t uid) const;

 private:
  std::string sddl_;
  bool root_ = false;
  bool everyone_ = false;
  std::optional<uid_t> user_;
};

// The SID the Linux build gives a user: S-1-22-1-UID.
std::string unix_user_sid(uid_t uid);

}  // namespace halvorine
