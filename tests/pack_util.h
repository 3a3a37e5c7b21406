// Edition 1 records of smooth 8- to 32-bit fields that the szip coder
// compresses, for the tests of the file pipeline.
#ifndef VALMORA_PACK_UTIL_H
#define VALMORA_PACK_UTIL_H

#include "testutil.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace testutil {

inline Bytes pds28(int parameter = 130)
{
    Bytes p(28, 0);
    p[8] = (unsigned char)parameter;
    return p;
}

inline Bytes fieldRecord(size_t n, int bits, unsigned seed = 1)
{
    std::vector<uint32_t> v(n);
    uint32_t top = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    for (size_t i = 0; i < n; ++i) {
        double x = 0.5 + 0.45 * std::sin((double)i / (150.0 + seed)) * std::cos((double)i / 977.0);
        v[i] = (uint32_t)(x * top) ^ (uint32_t)(i * seed % 3);
    }
    return grib1(pds28(), {}, {}, simpleBds(v, bits));
}

} // namespace testutil

#endif
