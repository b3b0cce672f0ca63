// The tool's run sequence: import an OBJ or PLY file, refine it, write it.
#pragma once

#include "command_line.h"

// Runs the job of the command line: imports its input, refines it and writes
// the result, printing the progress lines, warnings and the last line that
// says what was written on stderr, or the one line that says why the job
// failed. Returns the exit status: 0 when the output was written, 1 when
// the job failed, 2 when an option does not fit the input.
int run(const command_line* line);
