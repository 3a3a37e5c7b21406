// grib1Sections over arbitrary octets: it must stay inside the buffer it is
// given (held at its exact size, so the sanitizer sees any stray read) and
// return pointers into it.
#include "valmora.h"

#include "check.h"

#include <cstdint>
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
    FUZZ_CHECK(rc >= -2 && rc <= 1, "result %d for a buffer of %zu octets", rc, b.size());
    FUZZ_CHECK(inside(pds, b) && inside(gds, b) && inside(bms, b) && inside(bds, b),
               "a section pointer outside the buffer of %zu octets (PDS %td GDS %td BMS %td BDS %td)", b.size(),
               pds ? pds - b.data() : -1, gds ? gds - b.data() : -1, bms ? bms - b.data() : -1,
               bds ? bds - b.data() : -1);
    if (rc == 0) FUZZ_CHECK(len <= (long)b.size(), "complete record of %ld octets in a buffer of %zu", len, b.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    locate(data, size);
    if (size > 1) locate(data, size / 2); // the same record in a short buffer
    return 0;
}
