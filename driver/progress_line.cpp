// The progress line on a terminal.
#include "progress_line.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

// Seconds of the steady clock.
static double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void progress_line_begin(progress_line* line)
{
    *line = progress_line{};
    line->terminal = isatty(2) == 1;
    line->delay = 1.0;
    if (const char* delay = std::getenv("SUBDIV_PROGRESS_DELAY_MS")) {
        char* end = nullptr;
        const double ms = std::strtod(delay, &end);
        if (end != delay && *end == '\0' && ms >= 0) line->delay = ms / 1000;
    }
    line->start = now_seconds();
    line->writing_start = line->start;
}

void progress_line_iterations(progress_line* line, int32_t iterations)
{
    line->iterations = iterations;
}

void progress_line_writing(progress_line* line) { line->writing_start = now_seconds(); }

// Writes n bytes as "12.3 MB" (decimal units) into text.
static void format_bytes(double n, char* text, size_t size)
{
    const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (n >= 1000 && unit < 4) {
        n /= 1000;
        unit += 1;
    }
    std::snprintf(text, size, unit == 0 ? "%.0f %s" : "%.1f %s", n, units[unit]);
}

void progress_line_update(progress_line* line, uint64_t blocks_done, uint64_t blocks_total,
                          uint64_t bytes)
{
    if (!line->terminal) return;
    const double now = now_seconds();
    if (now - line->start < line->delay) return;
    const bool last = blocks_done >= blocks_total;
    if (line->drawn && !last && now - line->last_drawn < 0.1) return;
    line->last_drawn = now;
    char written[32], rate[32];
    format_bytes(double(bytes), written, sizeof written);
    const double seconds = now - line->writing_start;
    format_bytes(seconds > 0 ? double(bytes) / seconds : 0.0, rate, sizeof rate);
    const unsigned long long percent =
        blocks_total ? (unsigned long long)(blocks_done * 100 / blocks_total) : 100;
    // over the line before, the rest of it cleared
    std::fprintf(stderr, "\rsubdiv: level %d of %d: %llu%% written, %s, %s/s\033[K",
                 line->iterations, line->iterations, percent, written, rate);
    std::fflush(stderr);
    line->drawn = true;
}

void progress_line_erase(progress_line* line)
{
    if (!line->drawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    line->drawn = false;
}
