// Who may change a file or folder, from its owner and access list: the
// Windows half of the client trust rule (client_trust.h).
#pragma once

#include "bin/worker/pipe/client_trust.h"
#include "common/win/win_sdk.h"

namespace halvorine {

// Trusted: SYSTEM, Administrators, TrustedInstaller and the worker's own
// user (as for the log folder), and the owner's own rights. Entries that
// only children inherit and deny entries are passed over; entry kinds not
// looked into count as every right; no list (nullptr) lets everyone do
// anything.
PathEntrySecurity judge_entry(PSID owner, const ACL* dacl);

}  // namespace halvorine
