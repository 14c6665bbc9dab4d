// Move-only owner of memory that a WTS call allocated; freed with WTSFreeMemory.
#pragma once

#include <utility>

#include "common/win/win_sdk.h"
#include <wtsapi32.h>

namespace halvorine {

template <typename T>
class UniqueWtsMemory {
 public:
  UniqueWtsMemory() = default;
  UniqueWtsMemory(UniqueWtsMemory&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}
  UniqueWtsMemory& operator=(UniqueWtsMemory&& other) noexcept {
    if (this != &other) {
      reset();
      memory_ = std::exchange(other.memory_, nullptr);
    }
    return *this;
  }
  UniqueWtsMemory(const UniqueWtsMemory&) = delete;
  UniqueWtsMemory& operator=(const UniqueWtsMemory&) = delete;
  ~UniqueWtsMemory() { reset(); }

  T* get() const { return memory_; }
  void reset() {
    if (memory_ != nullptr) WTSFreeMemory(std::exchange(memory_, nullptr));
  }
  // For out-parameters: frees any current memory first.
  T** put() {
    reset();
    return &memory_;
  }

 private:
  T* memory_ = nullptr;
};

}  // namespace halvorine
