// Start-up test of the processor for the vector layer. Kept apart from
// simd.h, whose inline functions carry AVX2 code: this header and its source
// file are compiled without AVX, so that the test itself runs on any x86-64
// processor before the first AVX instruction does (the tool's main and the
// library's public entry points call it first).
#pragma once

namespace subdiv {

// True when the processor runs the instructions this build uses (AVX2); the
// scalar build runs anywhere and always gives true.
bool simd_cpu_supported(void);

} // namespace subdiv
