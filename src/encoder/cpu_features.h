// What the processor we run on can do, as far as our kernels care.
#pragma once

namespace halvorine {

// AVX2 usable: the processor has it and the operating system saves the YMM
// registers across context switches.
bool cpu_has_avx2();

}  // namespace halvorine
