// The public entry points of subdiv.h: each tests the processor first, takes
// the caller's options as this library knows them, then calls the library.
// This file is compiled without AVX (see CMakeLists.txt), so that a caller on
// a processor without AVX2 gets a refusal, not a fault, from a build that
// uses it.
#include "subdiv/subdiv.h"

#include <cstdio>
#include <cstring>

#include "error.h"
#include "geom.h"
#include "mesh_file.h"
#include "obj_import.h"
#include "obj_write.h"
#include "parallel.h"
#include "refine.h"
#include "refine_stream.h"
#include "simd_cpu.h"

#define SUBDIV_TEXT(x) #x
#define SUBDIV_VERSION_TEXT(major, minor, patch) \
    SUBDIV_TEXT(major) "." SUBDIV_TEXT(minor) "." SUBDIV_TEXT(patch)

namespace {

// A refusal for a processor that cannot run this build, or subdiv_ok.
subdiv_status processor_check(subdiv_error* error)
{
    if (subdiv::simd_cpu_supported()) return subdiv_ok;
    // error_set lives in code built for this processor: fill the record here
    if (error) {
        *error = subdiv_error{};
        error->status = subdiv_error_usage;
        std::snprintf(error->message, sizeof error->message,
                      "this build of subdiv needs a processor with AVX2");
    }
    return subdiv_error_usage;
}

// The caller's options as this library knows them: the fields that the
// caller's size covers, the defaults for the rest. A record that no
// subdiv_options_init set up is refused. Returns subdiv_ok with *resolved
// pointing at them (null for none), or a usage failure.
subdiv_status options_resolve(const subdiv_options* given, subdiv_options* copy,
                              const subdiv_options** resolved, subdiv_error* error)
{
    subdiv_status status = processor_check(error);
    *resolved = nullptr;
    if (status != subdiv_ok || !given) return status;
    if (given->size < offsetof(subdiv_options, progress)) {
        if (error) {
            *error = subdiv_error{};
            error->status = subdiv_error_usage;
            std::snprintf(error->message, sizeof error->message,
                          "the options record was not set up by subdiv_options_init");
        }
        return subdiv_error_usage;
    }
    subdiv_options_init(copy);
    std::memcpy(copy, given, given->size < sizeof *copy ? given->size : sizeof *copy);
    copy->size = sizeof *copy;
    if (copy->uv < subdiv_uv_none || copy->uv > subdiv_uv_smooth) {
        if (error) {
            *error = subdiv_error{};
            error->status = subdiv_error_usage;
            std::snprintf(error->message, sizeof error->message,
                          "the texture coordinate mode %d is none of subdiv_uv_none to "
                          "subdiv_uv_smooth (0 to 6)",
                          int(copy->uv));
        }
        return subdiv_error_usage;
    }
    *resolved = copy;
    return subdiv_ok;
}

// Runs call(the options as this library knows them) with a pool of threads
// that its parallel passes share, once the processor and the options check;
// when they do not, runs refused() and returns the failure.
template <typename Call, typename Refused>
subdiv_status resolved_call(const subdiv_options* options, subdiv_error* error, const Call& call,
                            const Refused& refused)
{
    subdiv_options copy;
    const subdiv_options* resolved;
    subdiv_status status = options_resolve(options, &copy, &resolved, error);
    if (status != subdiv_ok) {
        refused();
        return status;
    }
    subdiv::parallel_pool pool;
    subdiv::parallel_pool_open(&pool);
    status = call(resolved);
    subdiv::parallel_pool_close(&pool);
    return status;
}

template <typename Call>
subdiv_status resolved_call(const subdiv_options* options, subdiv_error* error, const Call& call)
{
    return resolved_call(options, error, call, [] {});
}

} // namespace

void subdiv_options_init(subdiv_options* options)
{
    if (!options) return;
    *options = subdiv_options{};
    options->size = sizeof *options;
    options->corners = subdiv_corners_auto;
}

const char* subdiv_version(void)
{
    return SUBDIV_VERSION_TEXT(SUBDIV_VERSION_MAJOR, SUBDIV_VERSION_MINOR, SUBDIV_VERSION_PATCH);
}

subdiv_status subdiv_geom_alloc(subdiv_geom* g, uint64_t n_vertices, uint64_t n_faces,
                                int32_t face_size, uint64_t n_corners, uint64_t n_texcoords,
                                subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    if (status != subdiv_ok) return status;
    return subdiv::geom_alloc_caller(g, n_vertices, n_faces, face_size, n_corners, n_texcoords,
                                     error);
}

subdiv_status subdiv_geom_alloc_normals(subdiv_geom* g, subdiv_error* error)
{
    const subdiv_status status = processor_check(error);
    return status != subdiv_ok ? status : subdiv::geom_alloc_normals(g, error);
}

subdiv_status subdiv_obj_read(const char* path, const subdiv_options* options, subdiv_geom* g,
                              subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::obj_import_path(path, resolved, g, error);
    });
}

subdiv_status subdiv_obj_read_text(const char* name, const char* text, uint64_t length,
                                   const char* folder, const subdiv_options* options,
                                   subdiv_geom* g, subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::obj_import_buffer(name, text, length, folder, resolved, g, error);
    });
}

subdiv_status subdiv_read(const char* path, const subdiv_options* options, subdiv_geom* g,
                          subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::mesh_read_path(path, resolved, g, error);
    });
}

subdiv_status subdiv_read_text(const char* name, const char* text, uint64_t length,
                               const char* folder, const subdiv_options* options, subdiv_geom* g,
                               subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::mesh_read_buffer(name, text, length, folder, resolved, g, error);
    });
}

subdiv_status subdiv_refine(const subdiv_geom* input, int32_t iterations,
                            const subdiv_options* options, subdiv_geom* output,
                            subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::refine(input, iterations, resolved, output, error);
    });
}

subdiv_status subdiv_refine_to_obj(subdiv_geom* input, int32_t iterations,
                                   const subdiv_options* options, const char* path,
                                   uint64_t* n_vertices, uint64_t* n_faces, subdiv_error* error)
{
    return resolved_call(
        options, error,
        [&](const subdiv_options* resolved) {
            return subdiv::refine_to_obj(input, iterations, resolved, path, n_vertices, n_faces,
                                         error);
        },
        [&] { subdiv_geom_free(input); }); // taken over whatever the status
}

subdiv_status subdiv_refine_to_file(subdiv_geom* input, int32_t iterations,
                                    const subdiv_options* options, const char* path,
                                    uint64_t* n_vertices, uint64_t* n_faces, subdiv_error* error)
{
    // the input is taken over whatever the status
    auto refused = [&] {
        if (n_vertices) *n_vertices = 0;
        if (n_faces) *n_faces = 0;
        subdiv_geom_free(input);
    };
    return resolved_call(
        options, error,
        [&](const subdiv_options* resolved) {
            const subdiv_status status = subdiv::mesh_format_check(resolved, error);
            if (status != subdiv_ok) {
                refused();
                return status;
            }
            return subdiv::refine_to_file(input, iterations, resolved, path,
                                          path ? subdiv::mesh_output_format(path, resolved)
                                               : subdiv_format_obj,
                                          n_vertices, n_faces, error);
        },
        refused);
}

subdiv_status subdiv_refine_arrays(subdiv_geom* input, int32_t iterations,
                                   const subdiv_options* options, subdiv_arrays* output,
                                   subdiv_error* error)
{
    return resolved_call(
        options, error,
        [&](const subdiv_options* resolved) {
            return subdiv::refine_to_arrays(input, iterations, resolved, output, error);
        },
        [&] {
            if (output) *output = subdiv_arrays{};
            subdiv_geom_free(input); // taken over whatever the status
        });
}

void subdiv_arrays_free(subdiv_arrays* arrays)
{
    // nothing can have been allocated on a processor this build cannot run on
    if (subdiv::simd_cpu_supported()) subdiv::refine_arrays_free(arrays);
}

subdiv_status subdiv_obj_write(const char* path, const subdiv_geom* g,
                               const subdiv_options* options, subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::obj_write_path(path, g, resolved, error);
    });
}

subdiv_status subdiv_write(const char* path, const subdiv_geom* g, const subdiv_options* options,
                           subdiv_error* error)
{
    return resolved_call(options, error, [&](const subdiv_options* resolved) {
        return subdiv::mesh_write_path(path, g, resolved, error);
    });
}

void subdiv_geom_free(subdiv_geom* g)
{
    // nothing can have been allocated on a processor this build cannot run on
    if (subdiv::simd_cpu_supported()) subdiv::geom_release(g);
}
