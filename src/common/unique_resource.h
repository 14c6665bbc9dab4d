// One move-only owner for every OS resource: handles, descriptors, desktops,
// GDI objects, memory an API allocated for us.
//
// The traits say what is owned and how it is given back:
//   using Value = ...;             what the OS hands out (a handle, a pointer, an int)
//   static Value invalid();        "nothing": what an empty owner holds
//   static Value also_invalid();   (optional) a second "nothing" some calls
//                                  return, such as INVALID_HANDLE_VALUE
//   static R close(Value value);   gives a valid value back
// An owner closes what it holds exactly once (on reset, on assignment, on
// destruction) and never an invalid value. That close keeps the calling
// thread's error codes (errno, and GetLastError on Windows) as they were, so
// an error path can still read the failing call's code after its owners are
// gone; its own failure is ignored. Only close() hands the close call's
// answer, and the codes it set, to a caller who wants them (fclose).
#pragma once

#include <type_traits>
#include <utility>

namespace halvorine {

// Puts the calling thread's error codes back as they were when it was made.
// Defined per platform.
class KeptErrorCodes {
 public:
  KeptErrorCodes() noexcept;
  ~KeptErrorCodes();
  KeptErrorCodes(const KeptErrorCodes&) = delete;
  KeptErrorCodes& operator=(const KeptErrorCodes&) = delete;

 private:
  int errno_value_;
  unsigned long os_error_;
};

template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Value value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  static bool is_valid(Value value) {
    if constexpr (requires { Traits::also_invalid(); }) {
      if (value == Traits::also_invalid()) return false;
    }
    return value != Traits::invalid();
  }

  Value get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return is_valid(value_); }
  // Gives up ownership: the caller closes the value.
  Value release() noexcept { return std::exchange(value_, Traits::invalid()); }
  // Closes what is held, then holds `value`.
  void reset(Value value = Traits::invalid()) noexcept {
    const Value old = std::exchange(value_, value);
    if (is_valid(old)) {
      const KeptErrorCodes kept;
      static_cast<void>(Traits::close(old));
    }
  }
  // For out-parameters: closes what is held first.
  Value* put() noexcept {
    reset();
    return &value_;
  }
  // Closes now and returns the close call's answer, its error codes left as
  // it set them; an empty owner's answer is the default of that type.
  auto close() noexcept {
    using Answer = decltype(Traits::close(value_));
    const Value old = release();
    if constexpr (std::is_void_v<Answer>) {
      if (is_valid(old)) Traits::close(old);
    } else {
      return is_valid(old) ? Traits::close(old) : Answer{};
    }
  }

 private:
  Value value_ = Traits::invalid();
};

}  // namespace halvorine
