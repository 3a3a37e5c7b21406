// Message reporting. Every line names the reporting function; all go to
// standard error so that they never mix with a listing on standard output.
#include "support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

VALMORA_PRINTF(3, 0) void report(const char *prefix, const char *caller, const char *fmt, va_list ap);

void report(const char *prefix, const char *caller, const char *fmt, va_list ap)
{
    fflush(stdout);
    if (prefix)
        fprintf(stderr, "%s (%s): ", prefix, caller);
    else
        fprintf(stderr, "%-18s: ", caller);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

} // namespace

extern "C" {

void Message_(const char *caller, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(nullptr, caller, fmt, ap);
    va_end(ap);
}

void Warning_(const char *caller, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report("Warning", caller, fmt, ap);
    va_end(ap);
}

// Errors return: every caller has a continuation of its own.
void Error_(const char *caller, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report("Error", caller, fmt, ap);
    va_end(ap);
}

void SysError_(const char *caller, const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    report("Error", caller, fmt, ap);
    va_end(ap);
    if (saved)
        fprintf(stderr, "System error message : %s\n", strerror(saved));
    exit(EXIT_FAILURE);
}

void gprintf(const char *caller, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(nullptr, caller, fmt, ap);
    va_end(ap);
}

} // extern "C"
