// Byte-plane detection: tells whether the packed data of an uncompressed
// 24-bit grid-point record are stored as whole 3-octet values or were left
// as three byte planes (the order the szip coder compresses them in).
//
// The data are read both ways and each reading's three byte streams are
// szip-coded with the coder's own parameters. The right reading puts the
// high, middle and low octets of the values each in a stream of their own;
// those compress far better than streams that mix them.
#include "valmora.h"
#include "grib1.h"
#include "support.h"
#include "szip.h"

#include <cstring>

namespace {

// Fewer values say too little about the statistics of a field.
constexpr size_t minValues = 64;
// Planes win only when they compress at least 5 % better than whole values.
constexpr unsigned long long splitPercent = 95;

// Data sections other than grid-point simple packing are not tested.
constexpr unsigned untestedFlags = g1::kBdsSpectral | g1::kBdsComplex | g1::kBdsSzip;

bool constantRun(const unsigned char *p, size_t len, size_t step)
{
    return len <= step || memcmp(p, p + step, len - step) == 0;
}

// All values equal, whichever way the data are read.
bool constantField(const unsigned char *data, size_t n)
{
    if (constantRun(data, 3 * n, 3)) return true;
    return constantRun(data, n, 1) && constantRun(data + n, n, 1) && constantRun(data + 2 * n, n, 1);
}

// Size of the szip-coded stream, or 0 when the coder fails.
size_t codedSize(const unsigned char *stream, size_t n, unsigned char *work, size_t capacity)
{
    // The coder's own parameters for 24-bit data: 8-bit samples.
    size_t len = capacity;
    if (g1::szipCompress(work, &len, stream, n, 24) != SZ_OK) return 0;
    return len;
}

} // namespace

extern "C" int gribPlanes1(const unsigned char *gribbuffer, long recsize, double *ratio)
{
    if (ratio) *ratio = 0.0;
    if (!gribbuffer || recsize <= 0) return GRIB_PLANES_DAMAGED;
    int edition = gribVersion(gribbuffer, (size_t)recsize);
    if (edition == 2) return GRIB_PLANES_NOT_TESTED;
    if (edition < 0) return GRIB_PLANES_DAMAGED;
    const g1::Located l = g1::locate1(gribbuffer, recsize);
    g1::reportLocated(l);
    if (l.status != 0) return GRIB_PLANES_DAMAGED;
    const unsigned char *bds = gribbuffer + l.bds;

    unsigned flag = bds[3];
    if (bds[10] != 24 || (flag & untestedFlags)) return GRIB_PLANES_NOT_TESTED;

    // The same data extent as the repair: the stored section length, bounded
    // by the located section, less the unused bits at the end.
    long located = (long)(l.length - l.bds - 4);
    long L = (long)g1::get3(bds);
    if (L > located) L = located;
    if (L <= (long)g1::kBdsFixed) return GRIB_PLANES_NOT_TESTED;
    const int64_t nbits = g1::packedBits((size_t)L, g1::kBdsFixed, flag);
    if (nbits <= 0) return GRIB_PLANES_NOT_TESTED;
    size_t n = (size_t)nbits / 24;
    const unsigned char *data = bds + g1::kBdsFixed;
    if (n < minValues || constantField(data, n)) return GRIB_PLANES_NOT_TESTED;

    // The three streams of the whole reading (the planes a split would
    // make), then room for one coded stream, which szip keeps within a few
    // percent of its input even for noise.
    size_t capacity = 2 * n + 1024;
    unsigned char *scratch = (unsigned char *)memAlloc(3 * n + capacity);
    if (!scratch) return GRIB_PLANES_FAILED;
    unsigned char *streams = scratch, *work = scratch + 3 * n;
    g1::planeSplit(streams, data, n);

    unsigned long long whole = 0, planes = 0;
    bool failed = false;
    for (size_t k = 0; k < 3 && !failed; ++k) {
        size_t w = codedSize(streams + k * n, n, work, capacity);
        size_t p = codedSize(data + k * n, n, work, capacity);
        failed = w == 0 || p == 0;
        whole += w;
        planes += p;
    }
    memRelease(scratch);
    if (failed) return GRIB_PLANES_FAILED;

    if (ratio) *ratio = (double)planes / (double)whole;
    if (100 * planes < splitPercent * whole) return GRIB_PLANES_SPLIT;
    if (planes >= whole) return GRIB_PLANES_WHOLE;
    return GRIB_PLANES_UNDECIDED;
}
