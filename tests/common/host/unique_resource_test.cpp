#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "common/host/unique_fd.h"
#include "common/unique_file.h"
#include "common/unique_resource_contract.h"

namespace halvorine::testing {

void set_error_codes(int code) { errno = code; }
std::vector<int> error_codes() { return {errno}; }

namespace {

struct FdProbe {
  using Traits = FdTraits;
  static int make() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
  static bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
};

struct FileProbe {
  using Traits = FileTraits;
  static std::FILE* make() { return std::tmpfile(); }
};

using HostResources = ::testing::Types<FdProbe, FileProbe>;
INSTANTIATE_TYPED_TEST_SUITE_P(Host, UniqueResourceTest, HostResources);

}  // namespace
}  // namespace halvorine::testing
