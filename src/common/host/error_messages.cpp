#include <cerrno>
#include <cstring>
#include <string>

#include "common/error.h"
#include "common/unique_resource.h"

namespace halvorine {

std::string system_error_message(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error");
}

std::string hresult_system_message(std::int32_t) { return "Unknown error"; }

int last_os_error_code() { return errno; }

KeptErrorCodes::KeptErrorCodes() noexcept : errno_value_(errno), os_error_(0) {}

KeptErrorCodes::~KeptErrorCodes() { errno = errno_value_; }

}  // namespace halvorine
