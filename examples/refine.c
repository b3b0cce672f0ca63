/* Refines an OBJ mesh through the library's public header from C11, as
 * refine.cpp does from C++:
 *
 *     refine_c INPUT.obj ITERATIONS OUTPUT.obj
 *
 * Built against an installed package (a program of C alone links the
 * static library with the C++ linker, which the package asks for):
 *     find_package(subdiv CONFIG REQUIRED)
 *     target_link_libraries(refine_c PRIVATE subdiv::subdiv) */
#include <subdiv/subdiv.h>

#include <stdio.h>
#include <stdlib.h>

/* Prints each iteration's vertex counts. */
static void report(void* context, int32_t iteration, uint64_t before, uint64_t after)
{
    (void)context;
    printf("iteration %d: %llu -> %llu vertices\n", (int)iteration, (unsigned long long)before,
           (unsigned long long)after);
}

int main(int argc, char** argv)
{
    subdiv_options options;
    subdiv_geom input = {0}, output = {0};
    subdiv_error error;
    subdiv_status status;

    if (argc != 4) {
        fprintf(stderr, "usage: refine_c INPUT.obj ITERATIONS OUTPUT.obj\n");
        return 2;
    }
    subdiv_options_init(&options);
    options.progress = report;

    status = subdiv_obj_read(argv[1], &options, &input, &error);
    if (status == subdiv_ok)
        status = subdiv_refine(&input, atoi(argv[2]), &options, &output, &error);
    if (status == subdiv_ok) status = subdiv_obj_write(argv[3], &output, &options, &error);
    if (status != subdiv_ok)
        fprintf(stderr, "refine_c: %s (line %llu, face %llu)\n", error.message,
                (unsigned long long)error.line, (unsigned long long)error.face);
    else
        printf("%s: %llu vertices, %llu faces (subdiv %s)\n", argv[3],
               (unsigned long long)output.n_vertices, (unsigned long long)output.n_faces,
               subdiv_version());
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
    return status == subdiv_ok ? 0 : 1;
}
