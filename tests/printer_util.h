// Helpers for the section printer tests: capture of the printer stream and
// expected lines built from the line layouts, independently of the printers.
#ifndef VALMORA_PRINTER_UTIL_H
#define VALMORA_PRINTER_UTIL_H

#include "testutil.h"
#include "valmora.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>

namespace printutil {

// Runs `print` with grprsm pointed at a temporary file and returns the text.
inline std::string capture(const std::function<void()> &print)
{
    grsdef(); // settle the stream first, so that it is not reopened under us
    FILE *saved = grprsm, *tmp = tmpfile();
    grprsm = tmp;
    print();
    grprsm = saved;
    std::string text;
    rewind(tmp);
    for (int c; (c = fgetc(tmp)) != EOF;) text += (char)c;
    fclose(tmp);
    return text;
}

inline std::string rjust(const std::string &s, size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// A value line: a space, the label, blanks up to `column` characters, the
// value right-aligned in nine.
inline std::string valueLine(const std::string &label, long long value, size_t column)
{
    std::string line = " " + label;
    if (line.size() < column) line.append(column - line.size(), ' ');
    return line + rjust(std::to_string(value), 9) + "\n";
}
inline std::string v38(const std::string &label, long long v)
{
    return valueLine(label, v, 38);
}
inline std::string v46(const std::string &label, long long v)
{
    return valueLine(label, v, 46);
}

// The low eight bits as 0s and 1s, most significant first.
inline std::string bits8(unsigned value)
{
    std::string s;
    for (int i = 7; i >= 0; --i) s += (value >> i & 1) ? '1' : '0';
    return s;
}

inline constexpr auto &fmt = testutil::format;

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Everything from the first occurrence of `mark` on ("" when absent).
inline std::string from(const std::string &text, const std::string &mark)
{
    size_t p = text.find(mark);
    return p == std::string::npos ? "" : text.substr(p);
}

} // namespace printutil

#endif
