// grib2Sections over arbitrary octets in a buffer of their exact size: the
// walk must end inside the buffer whatever the section lengths say.
#include "valmora.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    std::vector<unsigned char> b(data, data + size);
    unsigned char *p[7];
    int rc = grib2Sections(b.data(), (long)b.size(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    if (rc < -2 || rc > 0) abort();
    for (unsigned char *q : p)
        if (q && (q < b.data() || q >= b.data() + b.size())) abort();
    return 0;
}
