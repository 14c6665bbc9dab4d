#include "bin/worker/pipe/pipe_creation_log.h"

#include <fmt/format.h>

#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {

void PipeCreationLog::report(std::string_view name, const Error& error) {
  const auto now = clock_.monotonic_now();
  if (is_pipe_name_taken(error)) {
    if (taken_.take(now).admit) log_.log(fmt::format("pipe: {} deja creat de alt proces - reincerc", pipe_path(name)));
    return;
  }
  if (failed_.take(now).admit) log_.log(fmt::format(fmt::runtime(failure_format_), error.text()));
}

}  // namespace halvorine
