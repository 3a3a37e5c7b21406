// grib_info_for_grads over arbitrary octets, told the exact record size.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> b(data, data + size);
    int ints[1] = {0};
    float flts[3] = {0, 0, 0};
    int64_t big[2] = {0, 0};
    int rc = grib_info_for_grads(1 << 20, (long)b.size(), b.data(), ints, flts, big);
    FUZZ_CHECK(rc >= -1 && rc <= 1, "result %d for %zu octets", rc, size);
    if (rc == 0)
        FUZZ_CHECK(big[0] >= (1 << 20) && big[0] <= (1 << 20) + (int64_t)size,
                   "data offset %lld outside the record at %d of %zu octets", (long long)big[0], 1 << 20, size);
    return 0;
}
