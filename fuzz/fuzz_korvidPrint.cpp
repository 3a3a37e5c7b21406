// Section printers on arbitrary array contents. The printers read as far as
// the counts in the arrays lead, so the counts are kept within the arrays
// here; every other element takes any value, extremes included.
#include "valmora.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const int kLen = 4096;

struct Input {
    const uint8_t *data;
    size_t size, at = 0;
    // Four octets as an int; a clear top bit gives a small value, so that
    // codes and flags hit the values the printers branch on.
    int next()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | (at < size ? data[at++] : 0);
        if (!(v & 0x80000000u)) return (int)(v % 400) - 100;
        int out;
        memcpy(&out, &v, sizeof out);
        return out;
    }
};

int bounded(int v, int limit) { return v > limit ? limit : v; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = fopen("/dev/null", "w");
    grsdef();
    grprsm = sink;

    Input in{data, size};
    std::vector<int> isec0(2), isec1(kLen), isec2(kLen), isec3(2), isec4(kLen);
    std::vector<double> fsec2(kLen), fsec3(2), fsec4(21);
    for (int &v : isec0) v = in.next();
    for (int i = 0; i < 80; ++i) isec1[i] = in.next();
    for (int i = 0; i < 64; ++i) isec2[i] = in.next();
    for (int &v : isec3) v = in.next();
    for (int i = 0; i < 64; ++i) isec4[i] = in.next();
    for (int i = 0; i < 16; ++i) fsec2[i] = (double)in.next() / 7.0;
    for (int i = 0; i < 21; ++i) fsec4[i] = (double)in.next() * 1.0e-3;
    fsec3[1] = in.next();

    // Counts: lists of section 1 (definitions 2, 4, 10, 12, 13, 14, ice).
    for (int e : {45, 46, 48, 52, 57, 70, 71, 72, 73}) isec1[e] = bounded(isec1[e], 300);
    long post = 74;
    for (int e : {70, 71, 72, 73}) post += isec1[e] > 0 ? isec1[e] : 0;
    isec1[post] = bounded(isec1[post], 300);
    // Parallels, vertical coordinates, matrix coefficients.
    isec2[2] = bounded(isec2[2], 1000);
    isec2[11] = bounded(isec2[11], 1000);
    isec4[52] = bounded(isec4[52], 1000);
    isec4[54] = bounded(isec4[54], 1000);

    std::vector<float> f2(fsec2.begin(), fsec2.end()), f3(fsec3.begin(), fsec3.end()),
        f4(fsec4.begin(), fsec4.end());

    gribPrintSec0(isec0.data());
    gribPrintSec1(isec0.data(), isec1.data());
    gribPrintSec2DP(isec0.data(), isec2.data(), fsec2.data());
    gribPrintSec2SP(isec0.data(), isec2.data(), f2.data());
    gribPrintSec3DP(isec0.data(), isec3.data(), fsec3.data());
    gribPrintSec3SP(isec0.data(), isec3.data(), f3.data());
    gribPrintSec4DP(isec0.data(), isec4.data(), fsec4.data());
    gribPrintSec4SP(isec0.data(), isec4.data(), f4.data());
    gribPrintSec4Wave(isec4.data());
    int digits = 0, status = 0;
    prtbin(isec4[0], 8, &digits, &status);
    return 0;
}
