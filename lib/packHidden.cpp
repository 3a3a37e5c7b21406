// Packed records that damage hides from recunpack: their data would stay
// packed in a run that ends with status 0 unless they are looked for.
#include "packFile.h"
#include "gribLocate.h"
#include "grib1.h"

namespace pack __attribute__((visibility("hidden"))) {

using g1::get3;

// The code of the szip form in BDS octet 14.
constexpr unsigned szipFormCode = 128;
// The octets of the szip form's header before its X header octets (1-23).
constexpr size_t szipFixed = g1::kSzipPackedLengthAt + 3;

bool hiddenPacked(const unsigned char *p, size_t n)
{
    constexpr size_t indicator = 8, pdsMin = 8, sectionMin = 3;
    if (n < indicator + pdsMin || p[7] != 1) return false;
    size_t off = indicator;
    const uint32_t P = get3(p + off);
    const unsigned flag = p[off + 7];
    if (P < pdsMin) return false;
    off += P;
    for (unsigned present : {flag & g1::kPdsGds, flag & g1::kPdsBms}) {
        if (!present) continue;
        if (off + sectionMin > n) return false;
        const uint32_t len = get3(p + off);
        if (len < sectionMin) return false;
        off += len;
    }
    if (off + szipFixed > n) return false;
    const unsigned char *bds = p + off;
    return (bds[3] & g1::kBdsSzip) && bds[g1::kSzipCodeAt] == szipFormCode;
}

bool clearedSzipFlag(const unsigned char *rec, size_t n)
{
    if (gribVersion(rec, n) != 1) return false;
    unsigned char *pds, *gds, *bms, *bds;
    long recsize;
    if (grib1Locate(const_cast<unsigned char *>(rec), (long)n, &pds, &gds, &bms, &bds, &recsize, false) != 0)
        return false;
    const size_t bdslen = (size_t)recsize - (size_t)(bds - rec) - 4;
    if ((bds[3] & g1::kBdsSzip) || bdslen < szipFixed || bds[g1::kSzipCodeAt] != szipFormCode) return false;
    // Octets 15-23: the record length before compression, the packed and the
    // compressed data lengths, which must fill the section as the form lays it out.
    const uint32_t before = get3(bds + g1::kSzipRecordLengthAt), D = get3(bds + g1::kSzipDataLengthAt),
                   C = get3(bds + g1::kSzipPackedLengthAt);
    const unsigned J = bdslen > 27 ? bds[27] : 0; // J of complex packing, octet 28 of the form
    const size_t X = g1::bdsHeaderLength(bds[3], J) - g1::kBdsFixed;
    const size_t laid = szipFixed + X + C;
    return before > 0 && D > 0 && (laid == bdslen || laid + 1 == bdslen);
}

} // namespace pack
