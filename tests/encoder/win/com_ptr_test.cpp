// ComPtr owns exactly one reference: no AddRef on adoption, one Release when
// it lets go, none after a move.
#include "common/win/com_ptr.h"

#include <gtest/gtest.h>

namespace halvorine::testing {
namespace {

class Counted final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != __uuidof(IUnknown)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG references = 1;
};

TEST(ComPtrTest, AdoptsMovesSharesAndReleasesOnce) {
  Counted a;
  Counted b;
  {
    ComPtr<IUnknown> first(&a);
    EXPECT_EQ(a.references, 1u) << "adopting adds no reference";
    ComPtr<IUnknown> moved(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(moved.get(), &a);
    ComPtr<IUnknown> copy = moved.share();
    EXPECT_EQ(a.references, 2u);
    copy = ComPtr<IUnknown>(&b);
    EXPECT_EQ(a.references, 1u) << "assignment releases what was held";
    *moved.put() = &b;  // put() releases first, as out-parameters expect
    EXPECT_EQ(a.references, 0u);
    IUnknown* raw = copy.release();
    EXPECT_EQ(raw, &b);
    EXPECT_FALSE(copy);
  }
  EXPECT_EQ(b.references, 0u) << "only the owner left (moved) released b";
}

TEST(ComPtrTest, QueryFillsOrEmptiesTheTarget) {
  Counted a;
  ComPtr<IUnknown> owner(&a);
  ComPtr<IUnknown> same;
  EXPECT_EQ(owner.query(same), S_OK);
  EXPECT_EQ(same.get(), &a);
  EXPECT_EQ(a.references, 2u);
  ComPtr<IClassFactory> other;
  EXPECT_EQ(owner.query(other), E_NOINTERFACE);
  EXPECT_FALSE(other);
  ComPtr<IUnknown> empty;
  EXPECT_EQ(empty.query(same), E_POINTER);
  EXPECT_FALSE(same);
  EXPECT_EQ(a.references, 1u);
}

}  // namespace
}  // namespace halvorine::testing
