// `halvorine-service run`: the service's entry, for the service control
// manager only.
#pragma once

namespace halvorine {

// Connects to the service control manager and runs the service until it is
// stopped. Run by hand, says how to install the service. The process's exit
// code.
int run_service();

}  // namespace halvorine
