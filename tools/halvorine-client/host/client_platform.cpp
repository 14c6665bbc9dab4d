#include "output_file.h"

namespace halvorine::client {

void set_stdout_binary() {}

bool pipes_are_sockets() { return true; }

}  // namespace halvorine::client
