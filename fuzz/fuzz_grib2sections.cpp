// grib2Sections over arbitrary octets in a buffer of their exact size: the
// walk must end inside the buffer whatever the section lengths say.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    std::vector<unsigned char> b(data, data + size);
    unsigned char *p[7];
    int rc = grib2Sections(b.data(), (long)b.size(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    FUZZ_CHECK(rc >= -2 && rc <= 0, "result %d for a buffer of %zu octets", rc, size);
    for (int i = 0; i < 7; ++i)
        FUZZ_CHECK(!p[i] || (p[i] >= b.data() && p[i] < b.data() + b.size()),
                   "section %d pointer at offset %td outside the buffer of %zu octets", i + 1, p[i] - b.data(), size);
    return 0;
}
