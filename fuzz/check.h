// How a fuzz target stops: it names the invariant that failed and the
// numbers behind it on standard error, then aborts, so that libFuzzer and
// the replay driver both take the input as a crash and keep it. A bare
// abort() would leave only a stack trace to guess from.
#ifndef VALMORA_FUZZ_CHECK_H
#define VALMORA_FUZZ_CHECK_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void fuzzFail(const char *file, int line, const char *invariant, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// One write for the whole report, so that it stays on one line.
[[noreturn]] inline void fuzzFail(const char *file, int line, const char *invariant, const char *format, ...)
{
    const char *slash = strrchr(file, '/');
    char details[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(details, sizeof details, format, ap);
    va_end(ap);
    fprintf(stderr, "%s:%d: invariant failed: %s: %s\n", slash ? slash + 1 : file, line, invariant, details);
    fflush(stderr);
    abort();
}

// FUZZ_CHECK(condition, format, values...): the format says what was seen
// (sizes, results) when the condition does not hold.
#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) fuzzFail(__FILE__, __LINE__, #condition, __VA_ARGS__);                   \
    } while (0)

#endif
