// Error records and warnings.
#include "error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace subdiv {

subdiv_status error_set(subdiv_error* error, subdiv_status status, error_place place,
                        const char* format, ...)
{
    if (!error) return status;
    error->status = status;
    error->line = place.line;
    error->face = place.face;
    error->system_errno = 0;
    std::memcpy(error->vertices, place.vertices, sizeof error->vertices);
    va_list args;
    va_start(args, format);
    std::vsnprintf(error->message, sizeof error->message, format, args);
    va_end(args);
    return status;
}

subdiv_status error_memory(subdiv_error* error, uint64_t n_bytes)
{
    return error_set(error, subdiv_error_memory, {}, "out of memory: cannot allocate %llu bytes",
                     (unsigned long long)n_bytes);
}

void warning_report(const subdiv_options* options, const char* format, ...)
{
    if (!options || !options->warning) return;
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    options->warning(options->context, message);
}

const char* error_token(const char* token, uint64_t n, char* out)
{
    const uint64_t shown = n > 24 ? 24 : n;
    for (uint64_t i = 0; i < shown; ++i) {
        // bytes that a terminal would not show as they are
        const unsigned char c = (unsigned char)token[i];
        out[i] = c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    std::memcpy(out + shown, n > 24 ? "..." : "", n > 24 ? 4 : 1);
    return out;
}

} // namespace subdiv
