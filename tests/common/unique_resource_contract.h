// The contract every owner of an OS resource keeps, as one typed test. Each
// platform instantiates it over its own traits (host/ and win/
// unique_resource_test.cpp) with a probe per traits type:
//   using Traits = ...;
//   static Traits::Value make();            a live resource
//   static bool is_open(Traits::Value);     (optional) whether it still is
#pragma once

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>
#include <vector>

#include "common/unique_resource.h"

namespace halvorine::testing {

// Set and read the thread's error codes (errno, and GetLastError on Windows)
// together; defined per platform.
void set_error_codes(int code);
std::vector<int> error_codes();

inline constexpr int kCallerCode = 0x1234;
inline constexpr int kCloseCode = 0x4321;

// The probe's traits with each close counted, and the error codes left
// behind as a failing close leaves them.
template <typename Probe>
struct CountedTraits : Probe::Traits {
  using Value = typename Probe::Traits::Value;
  static inline int closes = 0;
  static int close(Value value) {
    ++closes;
    Probe::Traits::close(value);
    set_error_codes(kCloseCode);
    return closes;
  }
};

template <typename Probe>
class UniqueResourceTest : public ::testing::Test {
 protected:
  using Value = typename Probe::Traits::Value;
  using Owner = UniqueResource<CountedTraits<Probe>>;

  static std::vector<Value> invalid_values() {
    std::vector<Value> values{Probe::Traits::invalid()};
    if constexpr (requires { Probe::Traits::also_invalid(); }) values.push_back(Probe::Traits::also_invalid());
    return values;
  }
  static void expect_open(Value value, bool open) {
    if constexpr (requires { Probe::is_open(value); }) {
      EXPECT_EQ(Probe::is_open(value), open);
    }
  }
};
TYPED_TEST_SUITE_P(UniqueResourceTest);

TYPED_TEST_P(UniqueResourceTest, MoveOnlyClosesEachValueOnceAndKeepsTheErrorCodes) {
  using Owner = typename TestFixture::Owner;
  static_assert(!std::is_copy_constructible_v<Owner> && !std::is_copy_assignable_v<Owner>);
  static_assert(std::is_nothrow_move_constructible_v<Owner> && std::is_nothrow_move_assignable_v<Owner>);
  int& closes = CountedTraits<TypeParam>::closes;
  closes = 0;

  // Every value that means "nothing" is empty, and never closed.
  for (const auto invalid : TestFixture::invalid_values()) {
    Owner empty(invalid);
    EXPECT_FALSE(empty);
    EXPECT_FALSE(Owner::is_valid(invalid));
  }
  EXPECT_FALSE(Owner());
  EXPECT_EQ(closes, 0);

  const auto value = TypeParam::make();
  {
    Owner first(value);
    ASSERT_TRUE(first);
    Owner second(std::move(first));
    Owner third;
    third = std::move(second);
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(third.get(), value);
    EXPECT_EQ(closes, 0);
    TestFixture::expect_open(value, true);

    set_error_codes(kCallerCode);
    third.reset();
    EXPECT_EQ(error_codes(), std::vector<int>(error_codes().size(), kCallerCode));
    EXPECT_EQ(closes, 1);
    TestFixture::expect_open(value, false);
    EXPECT_FALSE(third);
  }
  EXPECT_EQ(closes, 1);  // the moved-from owners had nothing left to close

  // Taking another value, or a put(), closes what was held; release() and a
  // close() that hands back the close call's answer (and its codes) do not
  // close twice.
  Owner held(TypeParam::make());
  Owner other(TypeParam::make());
  held = std::move(other);
  EXPECT_EQ(closes, 2);
  static_cast<void>(held.put());
  EXPECT_EQ(closes, 3);
  held.reset(TypeParam::make());
  Owner released(held.release());
  EXPECT_FALSE(held);
  set_error_codes(kCallerCode);
  EXPECT_EQ(released.close(), 4);
  EXPECT_EQ(error_codes(), std::vector<int>(error_codes().size(), kCloseCode));
  EXPECT_FALSE(released);
}

REGISTER_TYPED_TEST_SUITE_P(UniqueResourceTest, MoveOnlyClosesEachValueOnceAndKeepsTheErrorCodes);

}  // namespace halvorine::testing
