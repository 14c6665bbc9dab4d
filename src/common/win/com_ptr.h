// Move-only owner of one COM interface reference (see unique_resource.h).
//
// Holds exactly one reference and releases it on destruction. Taking a raw
// pointer adopts the caller's reference (no AddRef); put() hands out the slot
// for out-parameters after releasing what was held. Copies are explicit
// (share()), so every AddRef in our code is visible where it happens.
#pragma once

#include <utility>

#include "common/unique_resource.h"
#include "common/win/win_sdk.h"
// After win_sdk.h, which fixes the SDK version and header set.
#include <objbase.h>
#include <unknwn.h>

namespace halvorine {

template <typename T>
struct ComReferenceTraits {
  using Value = T*;
  static T* invalid() { return nullptr; }
  static ULONG close(T* pointer) { return pointer->Release(); }
};

template <typename T>
class ComPtr : public UniqueResource<ComReferenceTraits<T>> {
  using Base = UniqueResource<ComReferenceTraits<T>>;

 public:
  // ComPtr(T*) adopts the reference the caller owns; get(), release() (the
  // caller then owns the reference), reset() and put() are the owner's.
  using Base::Base;

  T* operator->() const { return this->get(); }
  void** put_void() { return reinterpret_cast<void**>(this->put()); }

  // A second owner of the same object (AddRef).
  ComPtr share() const {
    if (this->get() != nullptr) this->get()->AddRef();
    return ComPtr(this->get());
  }

  // QueryInterface for U into `out`; `out` is empty on failure. `iid` is
  // for interfaces whose headers declare no __uuidof (then IID_U).
  template <typename U>
  HRESULT query(ComPtr<U>& out, REFIID iid = __uuidof(U)) const {
    if (this->get() == nullptr) {
      out.reset();
      return E_POINTER;
    }
    return this->get()->QueryInterface(iid, out.put_void());
  }
};

// Memory a COM call allocated for the caller with CoTaskMemAlloc (strings,
// arrays; see unique_resource.h); `T` is its pointer type.
template <typename T>
struct CoTaskMemoryTraits {
  using Value = T;
  static T invalid() { return nullptr; }
  static void close(T memory) { CoTaskMemFree(memory); }
};
template <typename T>
using CoTaskMemory = UniqueResource<CoTaskMemoryTraits<T>>;

// An array of interface references a call allocated (MFTEnumEx): every entry
// still in it is released, then the array is freed.
template <typename T>
class ComArray {
 public:
  ComArray() = default;
  ComArray(const ComArray&) = delete;
  ComArray& operator=(const ComArray&) = delete;
  ~ComArray() {
    for (UINT32 i = 0; i < count(); ++i) ComPtr<T> released(entries_.get()[i]);
  }

  T*** put_entries() { return entries_.put(); }
  UINT32* put_count() { return &count_; }
  UINT32 count() const { return entries_ ? count_ : 0; }
  T* get(UINT32 index) const { return entries_.get()[index]; }
  // Moves entry `index` out of the array (empty when it was null).
  ComPtr<T> take(UINT32 index) { return ComPtr<T>(std::exchange(entries_.get()[index], nullptr)); }

 private:
  CoTaskMemory<T**> entries_;
  UINT32 count_ = 0;
};

}  // namespace halvorine
