// The tool's command line: subdiv [OPTIONS] INPUT ITERATIONS OUTPUT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "subdiv/subdiv.h"

// What the command line asks for.
struct command_line {
    const char* input_path;  // "-": standard input
    const char* output_path; // "-": standard output
    int32_t iterations;
    bool help;               // --help or -h: print the usage and stop
    bool version;            // --version: print the version and stop
    subdiv_options options;  // the job's options; callbacks left null
};

// The usage text, printed for --help and after a usage error.
extern const char command_line_usage[];

// Reads the arguments argv[1 .. argc-1] into *line. Options are long GNU-style
// ("--name=value" or "--name value") and may stand anywhere before "--";
// after it every argument is positional. No positional argument runs the
// sample job (its paths under project_dir, 4 iterations); otherwise there must
// be three, the count a plain decimal number from 0 to 2^31 − 1. Returns true,
// or false with the reason in message (of size bytes) for a usage error.
bool command_line_parse(int argc, char** argv, const char* project_dir, command_line* line,
                        char* message, size_t size);
