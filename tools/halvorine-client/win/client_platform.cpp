#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "output_file.h"

namespace halvorine::client {

void set_stdout_binary() { _setmode(_fileno(stdout), _O_BINARY); }

bool pipes_are_sockets() { return false; }

}  // namespace halvorine::client
