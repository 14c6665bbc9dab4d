#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {

Error pipe_name_taken_error() { return Error::name_taken("the pipe's name is owned by another process"); }

bool is_pipe_name_taken(const Error& error) { return error.kind() == Error::Kind::name_taken; }

}  // namespace halvorine
