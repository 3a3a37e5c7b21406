// Packed records that damage hides from recunpack: their data would stay
// packed in a run that ends with status 0 unless they are looked for.
#include "packFile.h"
#include "grib1.h"
#include "recform.h"
#include "szip.h"

namespace pack __attribute__((visibility("hidden"))) {

using g1::get3;


namespace {

// A data section of bdslen octets in either packed form: its marks in
// place, whether or not they agree with each other.
bool packedSection(const unsigned char *bds, size_t bdslen)
{
    return g1::szipForm(bds, bdslen) || g1::formSection(bds, bdslen) != g1::FORM_NOT_PACKED;
}

} // namespace

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
    return off < n && packedSection(p + off, n - off);
}

bool clearedSzipFlag(const unsigned char *rec, size_t n)
{
    if (gribVersion(rec, n) != 1) return false;
    const g1::Located l = g1::locate1(rec, (long)n);
    if (l.status != 0) return false;
    const unsigned char *bds = rec + l.bds;
    const size_t bdslen = l.length - l.bds - 4;
    // The packed form with a whole-record check: its own marks without the
    // flag contradict each other.
    if (!(bds[3] & g1::kBdsSzip) && g1::formSection(bds, bdslen) == g1::FORM_DAMAGED) return true;
    if ((bds[3] & g1::kBdsSzip) || bdslen < g1::kSzipHeader || bds[g1::kSzipCodeAt] != VALMORA_ZIP_SZIP) return false;
    // Octets 15-23: the record length before compression, the packed and the
    // compressed data lengths, which must fill the section as the form lays it out.
    const uint32_t before = get3(bds + g1::kSzipRecordLengthAt), D = get3(bds + g1::kSzipDataLengthAt),
                   C = get3(bds + g1::kSzipPackedLengthAt);
    const unsigned J = bdslen > g1::kSzipJAt ? bds[g1::kSzipJAt] : 0;
    const size_t X = g1::bdsHeaderLength(bds[3], J) - g1::kBdsFixed;
    const size_t laid = g1::kSzipHeader + X + C;
    return before > 0 && D > 0 && (laid == bdslen || laid + 1 == bdslen);
}

} // namespace pack
