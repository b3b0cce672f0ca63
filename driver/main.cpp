// Entry point: the command line.
#include <cstdio>
#include <cstring>

#include "driver.h"
#include "simd_cpu.h"

static const char usage_text[] =
    "usage: subdiv INPUT.obj ITERATIONS OUTPUT.obj\n"
    "       subdiv        (sample job: 4 iterations of meshes/cube-quad.obj into "
    "meshes/cube-quad-1.obj)\n";

// Reads a plain decimal count from 0 to 2^31 - 1: digits only, no sign, no
// blanks, nothing after them.
static bool parse_count(const char* text, int32_t* count)
{
    if (*text == '\0') return false;
    long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 2147483647) return false;
    }
    *count = int32_t(value);
    return true;
}

int main(int argc, char** argv)
{
    // before anything that may run a vector instruction
    simd_require_cpu();

    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("subdiv %s\n", SUBDIV_VERSION);
        return 0;
    }

    const char* input_path = SUBDIV_PROJECT_DIR "/meshes/cube-quad.obj";
    const char* output_path = SUBDIV_PROJECT_DIR "/meshes/cube-quad-1.obj";
    int32_t count = 4;
    if (argc == 4) {
        input_path = argv[1];
        output_path = argv[3];
        if (!parse_count(argv[2], &count)) {
            std::fprintf(stderr,
                         "subdiv: the iteration count must be a whole number from 0 to "
                         "2147483647, not '%s'\n%s",
                         argv[2], usage_text);
            return 2;
        }
    } else if (argc != 1) {
        std::fprintf(stderr, "subdiv: expected 3 arguments, got %d\n%s", argc - 1, usage_text);
        return 2;
    }
    return run(input_path, output_path, count) == 1 ? 0 : 1;
}
