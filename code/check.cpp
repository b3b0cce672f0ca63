#include "check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace subdiv {

void check_fail(const char* file, int line, const char* format, ...)
{
    // name the source by its base name: build folders differ between machines
    const char* base = std::strrchr(file, '/');
    base = base ? base + 1 : file;

    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    std::fprintf(stderr, "subdiv: %s (%s:%d)\n", message, base, line);
    std::fflush(stderr);
    std::exit(1);
}

} // namespace subdiv
