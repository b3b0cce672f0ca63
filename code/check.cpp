#include "check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static check_handler_fn g_handler = nullptr;
static const char* g_context = nullptr;

check_handler_fn check_set_handler(check_handler_fn handler)
{
    check_handler_fn previous = g_handler;
    g_handler = handler;
    return previous;
}

void check_set_context(const char* context)
{
    g_context = context;
}

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

    if (g_context)
        std::fprintf(stderr, "subdiv: %s: %s (%s:%d)\n", g_context, message, base, line);
    else
        std::fprintf(stderr, "subdiv: %s (%s:%d)\n", message, base, line);
    std::fflush(stderr);

    if (g_handler) g_handler();
    std::exit(1);
}
