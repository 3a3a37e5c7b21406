// grib1Sections over arbitrary octets: it must stay inside the buffer it is
// given (held at its exact size, so the sanitizer sees any stray read) and
// return pointers into it.
#include "valmora.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool inside(const unsigned char *p, const std::vector<unsigned char> &b)
{
    return !p || (p >= b.data() && p < b.data() + b.size());
}

void locate(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> b(data, data + size);
    unsigned char *pds, *gds, *bms, *bds;
    long len;
    int rc = grib1Sections(b.data(), (long)b.size(), &pds, &gds, &bms, &bds, &len);
    if (rc < -2 || rc > 1) abort();
    if (!inside(pds, b) || !inside(gds, b) || !inside(bms, b) || !inside(bds, b)) abort();
    if (rc == 0 && len > (long)b.size()) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    locate(data, size);
    if (size > 1) locate(data, size / 2); // the same record in a short buffer
    return 0;
}
