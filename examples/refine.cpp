// Refines an OBJ mesh through the library's public header alone, as another
// program would embed it:
//
//     refine INPUT.obj ITERATIONS OUTPUT.obj
//
// Built against an installed package:
//     find_package(subdiv CONFIG REQUIRED)
//     target_link_libraries(refine PRIVATE subdiv::subdiv)
#include <subdiv/subdiv.h>

#include <cstdio>
#include <cstdlib>

// Prints each iteration's vertex counts.
static void report(void*, int32_t iteration, uint64_t before, uint64_t after)
{
    std::printf("iteration %d: %llu -> %llu vertices\n", iteration, (unsigned long long)before,
                (unsigned long long)after);
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: refine INPUT.obj ITERATIONS OUTPUT.obj\n");
        return 2;
    }
    subdiv_options options;
    subdiv_options_init(&options);
    options.progress = report;

    subdiv_geom input = {}, output = {};
    subdiv_error error;
    subdiv_status status = subdiv_obj_read(argv[1], &options, &input, &error);
    if (status == subdiv_ok)
        status = subdiv_refine(&input, std::atoi(argv[2]), &options, &output, &error);
    if (status == subdiv_ok) status = subdiv_obj_write(argv[3], &output, &options, &error);
    if (status != subdiv_ok)
        std::fprintf(stderr, "refine: %s (line %llu, face %llu)\n", error.message,
                     (unsigned long long)error.line, (unsigned long long)error.face);
    else
        std::printf("%s: %llu vertices, %llu faces (subdiv %s)\n", argv[3],
                    (unsigned long long)output.n_vertices, (unsigned long long)output.n_faces,
                    subdiv_version());
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
    return status == subdiv_ok ? 0 : 1;
}
