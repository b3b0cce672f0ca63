// The public entry points of subdiv.h: each tests the processor first, then calls the
// library. This file is compiled without AVX (see CMakeLists.txt), so that a
// caller on a processor without AVX2 gets a refusal, not a fault, from a
// build that uses it.
#include "subdiv/subdiv.h"

#include <cstdio>

#include "error.h"
#include "geom.h"
#include "obj_import.h"
#include "obj_write.h"
#include "refine.h"
#include "refine_stream.h"
#include "simd_cpu.h"

// A refusal for a processor that cannot run this build, or subdiv_ok.
static subdiv_status processor_check(subdiv_error* error)
{
    if (simd_cpu_supported()) return subdiv_ok;
    // error_set lives in code built for this processor: fill the record here
    if (error) {
        *error = subdiv_error{};
        error->status = subdiv_error_usage;
        std::snprintf(error->message, sizeof error->message,
                      "this build of subdiv needs a processor with AVX2");
    }
    return subdiv_error_usage;
}

void subdiv_options_init(subdiv_options* options)
{
    if (options) *options = subdiv_options{};
}

const char* subdiv_version(void) { return SUBDIV_VERSION; }

subdiv_status obj_import(const char* path, const subdiv_options* options, geom* g,
                         subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status : obj_import_path(path, options, g, error);
}

subdiv_status obj_import_text(const char* name, const char* text, uint64_t length,
                              const char* folder, const subdiv_options* options, geom* g,
                              subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status
                               : obj_import_buffer(name, text, length, folder, options, g, error);
}

subdiv_status subdiv_refine(const geom* input, int32_t iterations, const subdiv_options* options,
                            geom* output, subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status : refine(input, iterations, options, output, error);
}

subdiv_status subdiv_refine_to_obj(geom* input, int32_t iterations, const subdiv_options* options,
                                   const char* path, uint64_t* n_vertices, uint64_t* n_faces,
                                   subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok
               ? status
               : refine_to_obj(input, iterations, options, path, n_vertices, n_faces, error);
}

subdiv_status subdiv_refine_arrays(geom* input, int32_t iterations, const subdiv_options* options,
                                   subdiv_arrays* output, subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status
                               : refine_to_arrays(input, iterations, options, output, error);
}

void subdiv_arrays_free(subdiv_arrays* arrays)
{
    // nothing can have been allocated on a processor this build cannot run on
    if (simd_cpu_supported()) refine_arrays_free(arrays);
}

subdiv_status obj_write(const char* path, const geom* g, const subdiv_options* options,
                        subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status : obj_write_path(path, g, options, error);
}

void geom_free(geom* g)
{
    // nothing can have been allocated on a processor this build cannot run on
    if (simd_cpu_supported()) geom_release(g);
}
