// A fuzz target that fails on purpose, for the tests of the replay driver
// and of the failure report: an input that starts with "FAIL" breaks its
// invariant.
#include "check.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(size < 4 || memcmp(data, "FAIL", 4) != 0, "input of %zu octets", size);
    return 0;
}
