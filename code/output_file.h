// Output files: text written whole or not at all.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

namespace subdiv {

// The text of a file: fill writes it to an open file descriptor from its
// current offset and returns 0, or the errno of the write that failed.
struct output_text {
    int (*fill)(int fd, void* context);
    void* context;
};

// Writes n bytes to fd, resuming after partial writes and interrupted calls.
// Returns 0, or the errno of the write that failed.
int output_write_all(int fd, const char* bytes, uint64_t n);

// Writes the text to path: "-" is standard output; a symbolic link is
// followed to the path it ends at, even when nothing is there; a terminal,
// a pipe or a device is written straight; a regular file, or nothing, is
// replaced whole through a temporary file in the same folder (keeping the
// old file's mode), so that a failure leaves the old file or none. Returns
// subdiv_ok, or subdiv_error_write with *error filled: "cannot write
// 'PATH': reason" ('standard output' for "-").
subdiv_status output_file_write(const char* path, const output_text* text, subdiv_error* error);

} // namespace subdiv
