// Shared pieces of the record access, locator and settings tests: captured
// standard error, scoped debug level, and builders for records of a given
// length, large-form headers and edition 2 records.
#ifndef VALMORA_RECORD_UTIL_H
#define VALMORA_RECORD_UTIL_H

#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>

#include "valmora.h"

namespace recutil {

using testutil::Bytes;

template <class F> std::string stderrOf(F fn)
{
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

template <class F> std::string stdoutOf(F fn)
{
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

struct DebugLevel {
    explicit DebugLevel(int level) { VALMORA_Debug = level; }
    ~DebugLevel() { VALMORA_Debug = 0; }
};

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A plain edition 1 record of exactly n octets (n >= 56), without GDS and BMS,
// whose data octets are `fill`.
inline Bytes recordOfLength(size_t n, unsigned char fill = 0x5A)
{
    Bytes pds(28, 0);
    pds[8] = 11;
    Bytes bds(n - 8 - 28 - 4, fill);
    bds[3] = 0;
    bds[10] = 8;
    return testutil::grib1(pds, {}, {}, bds);
}

// The headers of a large-form edition 1 record: indicator with the 23-bit
// count n120, a PDS of `pdsLen` octets, an optional GDS and BMS of the given
// lengths, and the BDS length field f; `tail` octets follow the field.
inline Bytes largeHeaders(uint32_t n120, uint32_t f, uint32_t pdsLen = 28, uint32_t gdsLen = 0,
                          uint32_t bmsLen = 0, size_t tail = 16)
{
    Bytes b = {'G', 'R', 'I', 'B', 0, 0, 0, 1};
    testutil::put3(b, 4, 0x800000u | n120);
    size_t at = b.size();
    b.resize(at + pdsLen, 0);
    testutil::put3(b, at, pdsLen);
    b[at + 7] = (unsigned char)((gdsLen ? 0x80 : 0) | (bmsLen ? 0x40 : 0));
    for (uint32_t len : {gdsLen, bmsLen}) {
        if (!len) continue;
        at = b.size();
        b.resize(at + len, 0);
        testutil::put3(b, at, len);
    }
    at = b.size();
    b.resize(at + 3 + tail, 0);
    testutil::put3(b, at, f);
    return b;
}

inline void put4(Bytes &b, size_t at, uint32_t v)
{
    b[at] = (unsigned char)(v >> 24);
    testutil::put3(b, at + 1, v & 0xFFFFFF);
}

// An edition 2 record from (section number, section length) pairs; the
// indicator and "7777" are added and the total length filled in.
inline Bytes grib2(std::initializer_list<std::pair<int, uint32_t>> sections)
{
    Bytes b = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    for (auto s : sections) {
        size_t at = b.size();
        b.resize(at + s.second, (unsigned char)(0x10 + s.first));
        put4(b, at, s.second);
        b[at + 4] = (unsigned char)s.first;
    }
    b.insert(b.end(), {'7', '7', '7', '7'});
    uint64_t total = b.size();
    for (int i = 0; i < 8; ++i) b[8 + i] = (unsigned char)(total >> (56 - 8 * i));
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace recutil

#endif
