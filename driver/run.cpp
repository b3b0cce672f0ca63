// The run sequence of one job: import, refine, write; the only code that
// prints what the library reports.
#include <cstdio>

#include "driver.h"
#include "subdiv/subdiv.h"

// The progress line of an iteration.
static void print_progress(void*, int32_t, uint64_t vertices_before, uint64_t vertices_after)
{
    std::fprintf(stderr, "Finished iteration vertices %llu -> %llu\n",
                 (unsigned long long)vertices_before, (unsigned long long)vertices_after);
}

// The line that names the scheme before the progress lines.
static void print_start(void*, subdiv_scheme scheme, int32_t iterations)
{
    std::fprintf(stderr, "subdiv: %s, %d iteration%s\n",
                 scheme == subdiv_scheme_loop ? "Loop" : "Catmull-Clark", iterations,
                 iterations == 1 ? "" : "s");
}

static void print_warning(void*, const char* message)
{
    std::fprintf(stderr, "subdiv: warning: %s\n", message);
}

// The exit status for a failed job: 2 for an option that does not fit the
// input, else 1.
static int failure_status(const subdiv_error* error)
{
    return error->status == subdiv_error_usage ? 2 : 1;
}

int run(const command_line* line)
{
    subdiv_options options = line->options;
    options.progress = print_progress;
    options.warning = print_warning;
    options.start = print_start;
    subdiv_error error;

    subdiv_geom input = {};
    if (subdiv_read(line->input_path, &options, &input, &error) != subdiv_ok) {
        std::fprintf(stderr, "subdiv: %s\n", error.message);
        return failure_status(&error);
    }
    // the last level goes to the file as it is made; the input is released
    // as soon as nothing reads it
    uint64_t n_vertices = 0, n_faces = 0;
    const subdiv_status status = subdiv_refine_to_file(&input, line->iterations, &options,
                                                       line->output_path, &n_vertices, &n_faces,
                                                       &error);
    if (status == subdiv_error_write) {
        std::fprintf(stderr, "subdiv: %s\n", error.message);
        return failure_status(&error);
    }
    if (status != subdiv_ok) {
        // the refinement knows no file: name the input
        const bool standard_input = line->input_path[0] == '-' && line->input_path[1] == '\0';
        std::fprintf(stderr, "subdiv: %s: %s\n", standard_input ? "standard input" : line->input_path,
                     error.message);
        return failure_status(&error);
    }
    const bool standard_output = line->output_path[0] == '-' && line->output_path[1] == '\0';
    std::fprintf(stderr, "subdiv: wrote %s (%llu vertices, %llu faces)\n",
                 standard_output ? "standard output" : line->output_path,
                 (unsigned long long)n_vertices, (unsigned long long)n_faces);
    return 0;
}
