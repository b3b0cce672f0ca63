// The tool's run sequence: import an OBJ file, refine it, write it.
#pragma once

#include <cstdint>

// Runs one job: imports input_path, applies count iterations of the scheme
// that matches its face size (count 0 keeps the mesh as it is) and writes the
// result to output_path. Returns 1 when the output was written, 0 when the
// job failed after printing why.
int run(const char* input_path, const char* output_path, int32_t count);
