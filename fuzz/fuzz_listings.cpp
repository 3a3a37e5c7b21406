// All five listings, the check and the repair on one buffer of any content.
// The buffer is a copy of exactly the input's size, so that any read or
// write past the record size shows under the address sanitizer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "valmora.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The listings write to standard output; keep the fuzzer's log readable.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    if (size == 0) return 0;
    std::vector<unsigned char> rec(data, data + size);
    long n = (long)size;
    gribPrintALL(1, 0, 0, n, rec.data());
    gribPrintPDS(1, 0, n, rec.data());
    gribPrintGDS(1, 0, n, rec.data());
    gribPrintBMS(1, 0, n, rec.data());
    gribPrintBDS(1, 0, n, rec.data());
    gribCheck1(1, 0, n, rec.data());
    gribRepair1(1, n, rec.data());
    // Whatever the repair did stays inside the record: list it again.
    gribPrintALL(2, 0, 0, n, rec.data());
    return 0;
}
