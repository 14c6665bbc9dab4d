#include "common/error.h"

#include <fmt/format.h>

namespace halvorine {

Error Error::os(int code) { return Error(Kind::os, code, {}); }

Error Error::last_os() { return os(last_os_error_code()); }

Error Error::early_eof() { return Error(Kind::early_eof, 0, {}); }

Error Error::hresult(std::int32_t hr, std::string description) {
  return Error(Kind::hresult, hr, std::move(description));
}

Error Error::message(std::string text) { return Error(Kind::message, 0, std::move(text)); }

Error Error::name_taken(std::string text) { return Error(Kind::name_taken, 0, std::move(text)); }

Error Error::context(std::string_view step) && {
  context_.insert(0, fmt::format("{}: ", step));
  return std::move(*this);
}

Error Error::context(std::string_view step) const& { return Error(*this).context(step); }

namespace {

std::string trim_trailing_space(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string Error::text() const {
  switch (kind_) {
    case Kind::os:
      return fmt::format("{}{} (os error {})", context_, system_error_message(code_), code_);
    case Kind::early_eof:
      return context_ + "early eof";
    case Kind::hresult: {
      std::string message =
          trim_trailing_space(detail_.empty() ? hresult_system_message(code_) : detail_);
      return fmt::format("{}{} (0x{:08X})", context_, message, static_cast<std::uint32_t>(code_));
    }
    case Kind::message:
    case Kind::name_taken:
      return context_ + detail_;
  }
  return context_ + detail_;
}

}  // namespace halvorine
