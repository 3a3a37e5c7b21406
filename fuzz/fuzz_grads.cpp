// grib_info_for_grads over arbitrary octets, told the exact record size.
#include "valmora.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> b(data, data + size);
    int ints[1] = {0};
    float flts[3] = {0, 0, 0};
    int64_t big[2] = {0, 0};
    int rc = grib_info_for_grads(1 << 20, (long)b.size(), b.data(), ints, flts, big);
    if (rc < -1 || rc > 1) abort();
    if (rc == 0 && (big[0] < (1 << 20) || big[0] > (1 << 20) + (int64_t)size)) abort();
    return 0;
}
