// Section arrays for encoder tests: a plain 2 x 2 lat/lon description that
// each test adjusts, and one call of either entry point into a fresh buffer.
#ifndef VALMORA_ENCODE_UTIL_H
#define VALMORA_ENCODE_UTIL_H

#include "testutil.h"
#include "valmora.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace encodeutil {

using testutil::Bytes;

template <typename T> struct Fields {
    std::vector<int> isec0 = std::vector<int>(2, -1);
    std::vector<int> isec1 = std::vector<int>(64, 0);
    std::vector<int> isec2 = std::vector<int>(5000, 0);
    std::vector<T> fsec2 = std::vector<T>(512, 0);
    std::vector<int> isec3 = std::vector<int>(2, 0);
    std::vector<T> fsec3 = std::vector<T>(2, 0);
    std::vector<int> isec4 = std::vector<int>(64, 0);
    std::vector<T> fsec4;
    bool withGds = true; // pass isec2 at all

    Fields()
    {
        isec1[0] = 128;  // table version
        isec1[1] = 98;   // centre
        isec1[2] = 145;  // model
        isec1[3] = 255;  // grid
        isec1[4] = 128;  // GDS, no BMS
        isec1[5] = 130;  // temperature
        isec1[6] = 100;  // isobaric
        isec1[7] = 500;
        isec1[9] = 24;   // 2024-05-17 12:30
        isec1[10] = 5;
        isec1[11] = 17;
        isec1[12] = 12;
        isec1[13] = 30;
        isec1[14] = 1;   // hours
        isec1[20] = 21;  // century
        isec2[0] = 0;    // lat/lon 2 x 2
        isec2[1] = 2;
        isec2[2] = 2;
        isec2[3] = 10000;
        isec2[4] = 0;
        isec2[5] = 128;
        isec2[6] = 9000;
        isec2[7] = 1000;
        isec2[8] = 1000;
        isec2[9] = 1000;
        fsec4 = {0, 1, 2, 3};
        isec4[0] = 4;
        isec4[1] = 8;
    }
};

struct Result {
    Bytes rec;       // the whole buffer (kleng words)
    int status = -1;
    int used = -1;
    int length() const { return (int)rec.size(); }
};

template <typename T>
inline void callEncoder(Fields<T> &f, int *kgrib, int kleng, int *used, int *status);

template <>
inline void callEncoder<double>(Fields<double> &f, int *kgrib, int kleng, int *used, int *status)
{
    grib_encode_double(f.isec0.data(), f.isec1.data(), f.withGds ? f.isec2.data() : nullptr, f.fsec2.data(),
                       f.isec3.data(), f.fsec3.data(), f.isec4.data(), f.fsec4.data(), 0, kgrib, kleng, used, 0,
                       status);
}

template <>
inline void callEncoder<float>(Fields<float> &f, int *kgrib, int kleng, int *used, int *status)
{
    grib_encode_float(f.isec0.data(), f.isec1.data(), f.withGds ? f.isec2.data() : nullptr, f.fsec2.data(),
                      f.isec3.data(), f.fsec3.data(), f.isec4.data(), f.fsec4.data(), 0, kgrib, kleng, used, 0,
                      status);
}

// Encodes into a buffer of exactly kleng words (heap, so that a sanitizer
// sees any write past it) and returns the record trimmed to isec0[0].
constexpr int kAmple = -0x7fffffff; // a buffer with room to spare

template <typename T> inline Result encode(Fields<T> &f, int kleng = kAmple)
{
    if (kleng == kAmple) kleng = (int)(f.fsec4.size() + 4096);
    std::vector<int> kgrib((size_t)(kleng > 0 ? kleng : 1), 0x5a5a5a5a);
    Result r;
    callEncoder<T>(f, kgrib.data(), kleng, &r.used, &r.status);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(kgrib.data());
    const size_t cap = kleng > 0 ? 4 * (size_t)kleng : 0;
    size_t n = r.status == 0 && f.isec0[0] > 0 ? (size_t)f.isec0[0] : cap;
    if (n > cap) n = cap;
    r.rec.assign(p, p + n);
    return r;
}

inline unsigned get2(const Bytes &b, size_t at) { return (unsigned)b[at] << 8 | b[at + 1]; }

// Offsets (from 0) of the sections of an encoded plain record.
struct Layout {
    size_t pds = 8, gds = 0, bms = 0, bds = 0;
};

inline Layout layout(const Bytes &rec)
{
    Layout l;
    size_t pos = 8 + testutil::get3(rec, 8);
    const unsigned char flag = rec[8 + 7];
    if (flag & 128) {
        l.gds = pos;
        pos += testutil::get3(rec, pos);
    }
    if (flag & 64) {
        l.bms = pos;
        pos += testutil::get3(rec, pos);
    }
    l.bds = pos;
    return l;
}

// IBM single precision from four octets, decoded independently of the library.
inline double ibm(const Bytes &b, size_t at)
{
    const int e = b[at] & 127;
    const double m = (double)testutil::get3(b, at + 1);
    const double v = m * std::ldexp(1.0, 4 * (e - 64) - 24);
    return b[at] & 128 ? -v : v;
}

} // namespace encodeutil

#endif
