// Error values of the worker and their display texts.
//
// An Error knows its kind and platform code, so policy code can decide on a
// coarse verdict, and renders exactly the texts our log messages quote:
//   os error     "<system message> (os error <code>)"
//   end of data  "early eof"
//   HRESULT      "<description or system message> (0x<8 upper-case hex>)"
//   plain text   the text itself (also for a name another process owns)
// Wrapping with context() prefixes the failing step and ": ".
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace halvorine {

class Error {
 public:
  enum class Kind { os, early_eof, hresult, message, name_taken };

  // `code` is a Win32 error on Windows and an errno value elsewhere.
  static Error os(int code);
  // The calling thread's last error (GetLastError or errno).
  static Error last_os();
  static Error early_eof();
  // An HRESULT; an empty description falls back to the system message.
  static Error hresult(std::int32_t hr, std::string description = {});
  static Error message(std::string text);
  // A name (a pipe's) that another process owns; `text` says which.
  static Error name_taken(std::string text);

  // "step: <this error>"; kind and code stay those of the inner error.
  [[nodiscard]] Error context(std::string_view step) &&;
  [[nodiscard]] Error context(std::string_view step) const&;

  Kind kind() const { return kind_; }
  std::int32_t code() const { return code_; }
  std::string text() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(Kind kind, std::int32_t code, std::string detail)
      : kind_(kind), code_(code), detail_(std::move(detail)) {}

  Kind kind_;
  std::int32_t code_;
  std::string detail_;   // message text, or HRESULT description
  std::string context_;  // accumulated "step: " prefixes
};

template <typename T>
using Result = std::expected<T, Error>;

// The platform's own message for an OS error code, trailing white space removed.
std::string system_error_message(int code);
// The platform's own message for an HRESULT, trailing white space removed.
std::string hresult_system_message(std::int32_t hr);
// GetLastError on Windows, errno elsewhere.
int last_os_error_code();

}  // namespace halvorine
