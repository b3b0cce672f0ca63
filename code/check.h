// Fatal checks: the one way this library stops on a broken invariant or on
// input that cannot be processed safely.
//
// A failed check prints one line on stderr,
//   subdiv: <context>: <message> (<source file>:<line>)
// (the context, usually the input path, only when one is set), calls the
// installed handler and then ends the process with exit status 1.
// Checks stay on in every build type.
#pragma once

// Called after the message of a failed check. It may end the process itself
// or leave by longjmp (the fuzz targets do); if it returns, the process exits
// with status 1.
typedef void (*check_handler_fn)(void);

// Installs the handler run after a failed check's message; null restores the
// default (exit with status 1). Returns the previous handler.
check_handler_fn check_set_handler(check_handler_fn handler);

// Sets the text put before every check message (the driver passes the input
// path), or none for null. The text is not copied: it must outlive the run.
void check_set_context(const char* context);

// Reports a failed check: prints the printf-style message with the file and
// line, runs the handler, exits with status 1. Call it through CHECK.
[[noreturn]] void check_fail(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// CHECK(condition, "printf format", args...): stops the run when the condition
// is false. The message says in words what failed, with the offending values.
#define CHECK(condition, ...)                               \
    do {                                                    \
        if (!(condition)) check_fail(__FILE__, __LINE__, __VA_ARGS__); \
    } while (0)
