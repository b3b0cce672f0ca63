// Entry point: the command line.
#include <cstdio>
#include <cstdlib>

#include "driver.h"
#include "simd_cpu.h"

int main(int argc, char** argv)
{
    // before anything that may run a vector instruction
    if (!subdiv::simd_cpu_supported()) {
        std::fputs("subdiv: this build needs a processor with AVX2\n", stderr);
        std::fflush(stderr);
        // _Exit: exit handlers may come from files built with AVX
        std::_Exit(1);
    }

    command_line line;
    char message[512];
    if (!command_line_parse(argc, argv, SUBDIV_PROJECT_DIR, &line, message, sizeof message)) {
        std::fprintf(stderr, "subdiv: %s\n%s", message, command_line_usage);
        return 2;
    }
    if (line.help) {
        std::fputs(command_line_usage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("subdiv %s\n", subdiv_version());
        return 0;
    }
    return run(&line);
}
