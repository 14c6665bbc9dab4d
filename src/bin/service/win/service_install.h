// `halvorine-service install` and `uninstall`: register the service (whose
// image is this executable) with the service control manager, or stop and
// remove it. Both say what they did on stdout, or why not on stderr.
#pragma once

namespace halvorine {

// Exit codes of the two commands.
inline constexpr int kCommandDone = 0;
inline constexpr int kCommandFailed = 1;
inline constexpr int kCommandUsage = 2;
inline constexpr int kCommandNeedsAdministrator = 3;
inline constexpr int kCommandWrongState = 4;  // already installed / not installed

int install_service();
int uninstall_service();

}  // namespace halvorine
