// Encoder test helpers: section arrays for a small lat/lon field that each
// test adjusts, one call of either entry point into a buffer of exactly
// kleng words, and an independent reading of the sections written.
#ifndef VALMORA_ENCODE_UTIL_H
#define VALMORA_ENCODE_UTIL_H

#include "testutil.h"
#include "valmora.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace encodeutil {

using testutil::Bytes;
using testutil::get3;

template <typename T> struct Fields {
    std::vector<int> isec0 = std::vector<int>(2, -1), isec1 = std::vector<int>(64, 0);
    std::vector<int> isec2 = std::vector<int>(5000, 0), isec3 = std::vector<int>(2, 0);
    std::vector<int> isec4 = std::vector<int>(64, 0);
    std::vector<T> fsec2 = std::vector<T>(512, 0), fsec3 = std::vector<T>(2, 0), fsec4{0, 1, 2, 3};
    bool withGds = true; // pass isec2 at all

    Fields()
    {
        const int pds[] = {128, 98, 145, 255, 128, 130, 100, 500, 0, 24, 5, 17, 12, 30, 1};
        std::copy(pds, pds + 15, isec1.begin()); // 500 hPa temperature, 2024-05-17 12:30
        isec1[20] = 21;
        const int gds[] = {0, 2, 2, 10000, 0, 128, 9000, 1000, 1000, 1000};
        std::copy(gds, gds + 10, isec2.begin());
        isec4[0] = 4;
        isec4[1] = 8;
    }
    void values(const std::vector<double> &v)
    {
        fsec4.assign(v.begin(), v.end());
        isec4[0] = (int)v.size();
    }
};

struct Result {
    Bytes rec; // the record (or the whole buffer when none was made)
    int status = -1, used = -1;
};

inline void call(Fields<double> &f, int *kgrib, int kleng, Result &r)
{
    grib_encode_double(f.isec0.data(), f.isec1.data(), f.withGds ? f.isec2.data() : nullptr, f.fsec2.data(),
                       f.isec3.data(), f.fsec3.data(), f.isec4.data(), f.fsec4.data(), 0, kgrib, kleng, &r.used, 0,
                       &r.status);
}

inline void call(Fields<float> &f, int *kgrib, int kleng, Result &r)
{
    grib_encode_float(f.isec0.data(), f.isec1.data(), f.withGds ? f.isec2.data() : nullptr, f.fsec2.data(),
                      f.isec3.data(), f.fsec3.data(), f.isec4.data(), f.fsec4.data(), 0, kgrib, kleng, &r.used, 0,
                      &r.status);
}

constexpr int kAmple = -0x7fffffff; // a buffer with room to spare

// The buffer is on the heap and exactly kleng words long, so that a
// sanitizer build traps any write past it; it starts filled with 0x5a.
template <typename T> inline Result encode(Fields<T> &f, int kleng = kAmple)
{
    if (kleng == kAmple) kleng = (int)(f.fsec4.size() + 4096);
    std::vector<int> kgrib((size_t)(kleng > 0 ? kleng : 1), 0x5a5a5a5a);
    Result r;
    call(f, kgrib.data(), kleng, r);
    const auto *p = reinterpret_cast<const unsigned char *>(kgrib.data());
    const size_t cap = kleng > 0 ? 4 * (size_t)kleng : 0;
    size_t n = r.status == 0 && f.isec0[0] > 0 ? (size_t)f.isec0[0] : cap;
    r.rec.assign(p, p + (n < cap ? n : cap));
    return r;
}

inline unsigned get2(const Bytes &b, size_t at) { return (unsigned)b[at] << 8 | b[at + 1]; }

// Section offsets (from 0) of a plain record, found from their lengths.
struct Layout {
    size_t pds = 8, gds = 0, bms = 0, bds = 0;
};

inline Layout layout(const Bytes &rec)
{
    Layout l;
    size_t pos = 8 + get3(rec, 8);
    if (rec[15] & 128) pos += get3(rec, l.gds = pos);
    if (rec[15] & 64) pos += get3(rec, l.bms = pos);
    l.bds = pos;
    return l;
}

inline double ibm(const Bytes &b, size_t at)
{
    const double v = (double)get3(b, at + 1) * std::ldexp(1.0, 4 * ((b[at] & 127) - 64) - 24);
    return b[at] & 128 ? -v : v;
}

// The data section header as a decoder reads it.
struct Bds {
    size_t at;
    unsigned length, flags, unused, bits;
    int e;
    double ref;
};

inline Bds bds(const Bytes &rec)
{
    Bds b;
    b.at = layout(rec).bds;
    b.length = get3(rec, b.at);
    b.flags = rec[b.at + 3] & 0xF0;
    b.unused = rec[b.at + 3] & 0x0F;
    const unsigned e = get2(rec, b.at + 4);
    b.e = e & 0x8000 ? -(int)(e & 0x7FFF) : (int)e;
    b.ref = ibm(rec, b.at + 6);
    b.bits = rec[b.at + 10];
    return b;
}

// `count` values of `bits` bits each from octet `from` on.
inline std::vector<uint64_t> unpack(const Bytes &rec, size_t from, size_t count, unsigned bits)
{
    std::vector<uint64_t> out(count, 0);
    size_t bit = from * 8;
    for (size_t i = 0; i < count; ++i)
        for (unsigned k = 0; k < bits; ++k, ++bit) out[i] = out[i] << 1 | (rec[bit / 8] >> (7 - bit % 8) & 1);
    return out;
}

} // namespace encodeutil

#endif
