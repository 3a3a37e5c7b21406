// Reporting: the library's one way to write a message or a fixed text, and
// its one way to end the process. Messages name the reporting function and
// go to standard error, so that they never mix with a listing on standard
// output. Every text is written with one call (a message is put together
// first), so that the lines of two threads never interleave within a line.
#include "support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A text being put together: on the stack while it is short, in traced
// memory when it is not.
class Text {
  public:
    Text() = default;
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    ~Text()
    {
        if (data != local) memRelease(data);
    }

    VALMORA_PRINTF(2, 0) void vappend(const char *fmt, va_list ap)
    {
        va_list again;
        va_copy(again, ap);
        int n = vsnprintf(data + len, cap - len, fmt, ap);
        if (n > 0 && len + (size_t)n >= cap && grow(len + (size_t)n + 1))
            vsnprintf(data + len, cap - len, fmt, again);
        va_end(again);
        if (n > 0) len = len + (size_t)n < cap ? len + (size_t)n : cap - 1;
    }

    VALMORA_PRINTF(2, 3) void append(const char *fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        vappend(fmt, ap);
        va_end(ap);
    }

    void write(FILE *stream) const
    {
        if (stream && len) fwrite(data, 1, len, stream);
    }

    const char *text() const { return data; }
    size_t length() const { return len; }

  private:
    bool grow(size_t need)
    {
        char *bigger = (char *)memAlloc(need);
        if (!bigger) return false; // the text is cut short, not lost
        memcpy(bigger, data, len);
        if (data != local) memRelease(data);
        data = bigger;
        cap = need;
        return true;
    }

    static constexpr size_t localSize = 1024; // every fixed text of the library fits
    char local[localSize];
    char *data = local;
    size_t cap = localSize;
    size_t len = 0;
};

// The calling thread's capture: per thread, so that one thread's capture
// never takes another's texts.
thread_local MessageSink_ capture = {nullptr, nullptr};

bool captured(const Text &text, FILE *stream)
{
    if (!capture.write || (stream != stderr && stream != stdout)) return false;
    if (text.length()) capture.write(capture.context, text.text(), text.length());
    return true;
}

VALMORA_PRINTF(3, 0) void report(const char *prefix, const char *caller, const char *fmt, va_list ap)
{
    Text text;
    if (prefix)
        text.append("%s (%s): ", prefix, caller);
    else
        text.append("%-18s: ", caller);
    text.vappend(fmt, ap);
    text.append("\n");
    if (captured(text, stderr)) return;
    fflush(stdout); // what a listing printed so far comes first
    text.write(stderr);
}

[[noreturn]] void endProcess(const Text &text, FILE *stream)
{
    fflush(stdout);
    text.write(stream);
    fflush(stream);
    exit(EXIT_FAILURE);
}

} // namespace

extern "C" {

MessageSink_ MessageCapture_(MessageSink_ sink)
{
    const MessageSink_ before = capture;
    capture = sink;
    return before;
}

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
    Text text;
    text.append("Error (%s): ", caller);
    va_list ap;
    va_start(ap, fmt);
    text.vappend(fmt, ap);
    va_end(ap);
    text.append("\n");
    if (saved) text.append("System error message : %s\n", strerror(saved));
    endProcess(text, stderr);
}

// A buffered stream takes the text in one locked call as it is; standard
// error, unbuffered, gets it whole so that it reaches the file in one write.
void Print_(FILE *stream, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (capture.write && stream == stdout) {
        Text text;
        text.vappend(fmt, ap);
        captured(text, stream);
    } else if (stream != stderr) {
        vfprintf(stream, fmt, ap);
    } else {
        Text text;
        text.vappend(fmt, ap);
        if (!captured(text, stream)) text.write(stream);
    }
    va_end(ap);
}

void Perror_(const char *label)
{
    int saved = errno;
    Text text;
    text.append("%s: %s\n", label, strerror(saved));
    if (!captured(text, stderr)) text.write(stderr);
    errno = saved;
}

void Fatal_(FILE *stream, const char *fmt, ...)
{
    Text text;
    va_list ap;
    va_start(ap, fmt);
    text.vappend(fmt, ap);
    va_end(ap);
    endProcess(text, stream);
}

} // extern "C"
