// Filling the caller's error record.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

namespace subdiv {

// The places an error names: a line of the text, a face and up to four
// vertices, each counted from 1, 0 when not named.
struct error_place {
    uint64_t line;
    uint64_t face;
    uint64_t vertices[4];
};

// Fills *error, when not null, with status, place and the printf-style
// message (cut to the record's size), system_errno 0; returns status.
subdiv_status error_set(subdiv_error* error, subdiv_status status, error_place place,
                        const char* format, ...) __attribute__((format(printf, 4, 5)));

// Fills *error, when not null, with subdiv_error_memory and the message
// "out of memory: cannot allocate N bytes"; returns subdiv_error_memory.
subdiv_status error_memory(subdiv_error* error, uint64_t n_bytes);

// Passes the printf-style warning to the options' warning callback, when
// there is one.
void warning_report(const subdiv_options* options, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The text of a token for a message: at most 24 of its n characters, each
// byte outside printable ASCII as "?", and "..." when it is longer. Writes a NUL-terminated text of at most 28 bytes
// to out (which holds 32) and returns out.
const char* error_token(const char* token, uint64_t n, char* out);

} // namespace subdiv
