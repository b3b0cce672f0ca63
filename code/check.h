// Fatal checks: the way this library stops on a broken invariant, a
// programming error that no input can cause.
//
// A failed check prints one line on stderr,
//   subdiv: <message> (<source file>:<line>)
// and ends the process with exit status 1. Checks stay on in every build type.
#pragma once

namespace subdiv {

// Reports a failed check: prints the printf-style message with the file and
// line and exits with status 1. Call it through CHECK.
[[noreturn]] void check_fail(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// CHECK(condition, "printf format", args...): stops the run when the condition
// is false. The message says in words what failed, with the offending values.
#define CHECK(condition, ...)                               \
    do {                                                    \
        if (!(condition)) ::subdiv::check_fail(__FILE__, __LINE__, __VA_ARGS__); \
    } while (0)

} // namespace subdiv
