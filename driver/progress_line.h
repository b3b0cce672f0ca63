// The line that shows, on a terminal, how far the writing of the last level
// has come: drawn once the job has run for a while, updated in place,
// erased before any other line and at the end. Never drawn when stderr is
// not a terminal, so that logs see the job's lines alone.
#pragma once

#include <cstdint>

struct progress_line {
    bool terminal;        // stderr is a terminal
    bool drawn;           // the line stands on the terminal now
    double delay;         // seconds from the start before the line is drawn
    double start;         // the job's start, in seconds of the steady clock
    double writing_start; // when the last level's writing began
    double last_drawn;    // when the line was drawn last
    int32_t iterations;   // the job's iterations: the last level's number
};

// Sets up the line for a job starting now, for stderr (fd 2): drawn after a
// second, or after SUBDIV_PROGRESS_DELAY_MS milliseconds when the
// environment sets it (tests do).
void progress_line_begin(progress_line* line);

// The job's iteration count, once the refinement reports it.
void progress_line_iterations(progress_line* line, int32_t iterations);

// The last iteration was reported: its writing starts now.
void progress_line_writing(progress_line* line);

// Draws the line over itself for blocks_done of blocks_total written and
// bytes written, at most ten times a second (always at the end), once the
// delay has passed; nothing when stderr is not a terminal.
void progress_line_update(progress_line* line, uint64_t blocks_done, uint64_t blocks_total,
                          uint64_t bytes);

// Erases the line if it stands, so that another line can be printed.
void progress_line_erase(progress_line* line);
