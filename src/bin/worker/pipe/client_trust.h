// Which input pipe clients may drive the secure desktop.
//
// Any process of the logged-on user can connect to the input pipe; on the
// secure desktop (a consent prompt, the logon screen) its clicks would act
// as SYSTEM. So, as Windows asks of programs that drive elevated UI, only a
// client installed beside the worker is followed there: its image lies in
// the worker's own folder or below it, and that folder, every folder above
// it up to the root, every folder between it and the image, and the image
// itself belong to SYSTEM, Administrators or TrustedInstaller (Linux: root)
// and nobody else may change them. The rule is the same for every client,
// SYSTEM and root included. A client whose process or image cannot be read
// is not trusted. On the user's own desktop every client is served alike.
//
// A folder above the worker's counts as changed by others only where they
// could replace the entry on the way down (delete, rename, change its list
// or owner): on Windows every user may add folders to C:\, which changes
// nothing below C:\Program Files. From the worker's folder down, adding a
// file counts too.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bin/worker/input_event.h"
#include "common/error.h"

namespace halvorine {

// What may happen to one entry (folder or file) on the client's path.
struct PathEntrySecurity {
  bool trusted_owner = false;      // SYSTEM, Administrators, TrustedInstaller or the worker's own user (root)
  bool others_may_replace = false; // someone else may delete, rename, re-own it, change its list or its entries
  bool others_may_add = false;     // someone else may write it or add entries to it
};

// The platform's facts, behind a seam so the rule runs on fakes. Called on
// the runtime's thread, once per connection; nothing here waits on a client.
class ClientTrustPlatform {
 public:
  virtual ~ClientTrustPlatform() = default;

  // Absolute paths in UTF-8. Windows paths compare without regard to ASCII
  // case and use '\'; Linux ones '/', case and all.
  virtual bool windows_paths() const = 0;
  // The worker's own executable.
  virtual Result<std::string> worker_image() = 0;
  // The executable of process `pid`.
  virtual Result<std::string> process_image(std::uint32_t pid) = 0;
  // Who may change the entry at `path` (never followed if it is a link: a
  // link is an error).
  virtual Result<PathEntrySecurity> entry_security(const std::string& path) = 0;
};

// The real platform: OpenProcess and QueryFullProcessImageNameW, the file
// owners and access lists on Windows; /proc/PID/exe and lstat on Linux.
std::unique_ptr<ClientTrustPlatform> make_client_trust_platform();

// The verdict for the client of process `pid` (or the error reading it).
ClientVerdict judge_client(ClientTrustPlatform& platform, const Result<std::uint32_t>& pid);

}  // namespace halvorine
