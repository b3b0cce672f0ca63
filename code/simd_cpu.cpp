// Start-up test of the processor. This file is compiled without AVX (see
// CMakeLists.txt): it must run on processors that lack it.
#include "simd_cpu.h"

namespace subdiv {

bool simd_cpu_supported(void)
{
#if SUBDIV_SCALAR
    return true;
#else
    // the processor model may not be read yet when this runs before main
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}

} // namespace subdiv
