// Byte-plane detection: tells whether the packed data of an uncompressed
// 24-bit grid-point record are stored as whole 3-octet values or were left
// as three byte planes (the order the szip coder compresses them in).
//
// The data are read both ways and each reading's three byte streams are
// szip-coded with the coder's own parameters. The right reading puts the
// high, middle and low octets of the values each in a stream of their own;
// those compress far better than streams that mix them.
#include "valmora.h"
#include "support.h"

#include <cstring>

// szlib.h declares C functions without a C++ guard.
extern "C" {
#include <szlib.h>
}

namespace {

// The szip coder's parameters for 24-bit data: 8-bit samples, raw coding,
// nearest-neighbour preprocessing, most significant byte first.
constexpr int szOptions = SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK;
constexpr int szBitsPerSample = 8;
constexpr int szPixelsPerBlock = 8;
constexpr int szPixelsPerScanline = 1024;

// Fewer values say too little about the statistics of a field.
constexpr size_t minValues = 64;
// Planes win only when they compress at least 5 % better than whole values.
constexpr unsigned long long splitPercent = 95;

constexpr unsigned bdsHeader = 11;     // grid-point simple packing
constexpr int flagSpectral = 0x80;     // spherical harmonics
constexpr int flagComplex = 0x40;      // second-order (complex) packing
constexpr int flagMoreFlags = 0x10;    // szip form or other extra flags

inline unsigned get3(const unsigned char *p) { return (unsigned)p[0] << 16 | (unsigned)p[1] << 8 | p[2]; }

// Octet k of each 3-octet value, k = 0, 1, 2: one byte stream of the whole reading.
void gatherStream(const unsigned char *data, size_t n, size_t k, unsigned char *out)
{
    const unsigned char *p = data + k;
    for (size_t i = 0; i < n; ++i) out[i] = p[3 * i];
}

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
    SZ_com_t params = {szOptions, szBitsPerSample, szPixelsPerBlock, szPixelsPerScanline};
    size_t len = capacity;
    if (SZ_BufftoBuffCompress(work, &len, stream, n, &params) != SZ_OK) return 0;
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
    // The locator only reads; it takes a writable pointer for its results.
    unsigned char *rec = const_cast<unsigned char *>(gribbuffer);
    unsigned char *pds, *gds, *bms, *bds;
    long length = 0;
    if (grib1Sections(rec, recsize, &pds, &gds, &bms, &bds, &length) != 0) return GRIB_PLANES_DAMAGED;

    int flag = bds[3];
    if (bds[10] != 24 || (flag & (flagSpectral | flagComplex | flagMoreFlags))) return GRIB_PLANES_NOT_TESTED;

    // The same data extent as the repair: the stored section length, bounded
    // by the located section, less the unused bits at the end.
    long located = length - 4 - (long)(bds - rec);
    long L = get3(bds);
    if (L > located) L = located;
    if (L <= (long)bdsHeader) return GRIB_PLANES_NOT_TESTED;
    long nbits = (L - (long)bdsHeader) * 8 - (flag & 15);
    if (nbits <= 0) return GRIB_PLANES_NOT_TESTED;
    size_t n = (size_t)nbits / 24;
    const unsigned char *data = bds + bdsHeader;
    if (n < minValues || constantField(data, n)) return GRIB_PLANES_NOT_TESTED;

    // Room for one gathered stream and its coded form, which szip keeps
    // within a few percent of the input even for noise.
    size_t capacity = 2 * n + 1024;
    unsigned char *scratch = (unsigned char *)memMalloc(n + capacity, __FILE__, "gribPlanes1", __LINE__);
    if (!scratch) return GRIB_PLANES_FAILED;
    unsigned char *stream = scratch, *work = scratch + n;

    unsigned long long whole = 0, planes = 0;
    bool failed = false;
    for (size_t k = 0; k < 3 && !failed; ++k) {
        gatherStream(data, n, k, stream);
        size_t w = codedSize(stream, n, work, capacity);
        size_t p = codedSize(data + k * n, n, work, capacity);
        failed = w == 0 || p == 0;
        whole += w;
        planes += p;
    }
    memFree(scratch, __FILE__, "gribPlanes1", __LINE__);
    if (failed) return GRIB_PLANES_FAILED;

    if (ratio) *ratio = (double)planes / (double)whole;
    if (100 * planes < splitPercent * whole) return GRIB_PLANES_SPLIT;
    if (planes >= whole) return GRIB_PLANES_WHOLE;
    return GRIB_PLANES_UNDECIDED;
}
