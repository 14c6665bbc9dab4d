#include "encoder/cpu_features.h"

#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#elif defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace halvorine {
namespace {

#if defined(_MSC_VER) || defined(__x86_64__) || defined(__i386__)

struct CpuidResult {
  unsigned eax, ebx, ecx, edx;
};

CpuidResult cpuid(unsigned leaf, unsigned subleaf) {
#if defined(_MSC_VER)
  int regs[4];
  __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<unsigned>(regs[0]), static_cast<unsigned>(regs[1]),
          static_cast<unsigned>(regs[2]), static_cast<unsigned>(regs[3])};
#else
  CpuidResult r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
#endif
}

unsigned long long xgetbv0() {
#if defined(_MSC_VER)
  return _xgetbv(0);
#else
  unsigned eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
#endif
}

bool detect_avx2() {
  if (cpuid(0, 0).eax < 7) return false;
  const CpuidResult leaf1 = cpuid(1, 0);
  const bool osxsave = (leaf1.ecx >> 27) & 1U;
  const bool avx = (leaf1.ecx >> 28) & 1U;
  if (!osxsave || !avx) return false;
  // XMM and YMM state enabled by the operating system.
  if ((xgetbv0() & 0x6U) != 0x6U) return false;
  return (cpuid(7, 0).ebx >> 5) & 1U;
}

#else

bool detect_avx2() { return false; }

#endif

}  // namespace

bool cpu_has_avx2() {
  static const bool has = detect_avx2();
  return has;
}

}  // namespace halvorine
