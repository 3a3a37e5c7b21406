// The locator of GRIB edition 0 and 1 records in memory, quiet, over
// read-only octets: the listings' locator prints what it finds, and the
// decoder, the coder and the byte-plane test report alike through
// reportLocated.
#include "grib1.h"
#include "support.h"

#include <cstring>

namespace g1 {

namespace {

// The most octets that an edition 1 record may claim from its indicator.
unsigned long statedLimit(const unsigned char *rec, int edition, long bufsize)
{
    unsigned long limit = bufsize > 0 ? (unsigned long)bufsize : 0;
    if (edition == 1) {
        unsigned L = get3(rec + 4);
        unsigned long claim = (unsigned long)paddedFromIndicator(L);
        if (claim < L) claim = L;
        if (claim < limit) limit = claim;
    }
    return limit;
}

Located failed(Located l, Located::Why why, int status)
{
    l.why = why;
    l.status = status;
    return l;
}

} // namespace

Located locate1(const unsigned char *rec, long size)
{
    Located l;
    if (size < 8) {
        l.limit = size < 0 ? 0 : (unsigned long)size;
        l.what = "indicator section";
        return failed(l, Located::kShortIndicator, -1);
    }
    memcpy(l.found, rec, 4);
    if (memcmp(rec, "GRIB", 4) != 0) return failed(l, Located::kNoMarker, -1);
    l.edition = edition(rec);
    if (l.edition >= 2) return failed(l, Located::kEdition, -1);

    l.limit = statedLimit(rec, l.edition, size);
    Frame f;
    size_t need;
    const int walk = frameSections(rec, l.limit, f, &need);
    l.at = lastHeader(f, l.what);
    if (walk == kFrameNone) return failed(l, Located::kShortSection, -2);
    if (walk != kFrameDone || f.bds + kBdsFixed > l.limit) return failed(l, Located::kOutside, -2);

    const uint32_t L = get3(rec + 4);
    unsigned long stated = L; // what edition 1 claims
    const int64_t R = paddedFromIndicator(L);
    const BdsLength bds = bdsLength(f.f, R, (int64_t)f.bds);
    const unsigned bdslen = (unsigned)bds.length;
    if (bds.large) stated = (unsigned long)R;
    // 32 bits, as the fields: a length that wraps is caught below.
    const unsigned recsize = (unsigned)f.bds + bdslen + 4;

    l.pds = f.pds;
    l.gds = f.gds;
    l.bms = f.bms;
    l.bds = f.bds;
    l.length = recsize;
    if ((long)recsize > size) {
        l.limit = (unsigned long)size;
        return failed(l, Located::kLonger, 1);
    }
    // An end section beyond the stated length is not looked for there.
    if (l.edition == 1 && recsize >= f.bds + 4 && recsize > stated) {
        l.what = "end section";
        l.at = recsize - 4;
        l.limit = stated;
        return failed(l, Located::kEndOutside, -2);
    }
    // A length that wrapped leaves nothing to show past the BDS.
    const unsigned char *es = recsize < f.bds + 4 ? rec + f.bds : rec + f.bds + bdslen;
    memcpy(l.found, es, 4);
    if (recsize < f.bds + 4 || memcmp(es, "7777", 4) != 0) return failed(l, Located::kNoEnd, -2);
    l.status = 0;
    return l;
}

void reportOutside(const char *what, unsigned long at, unsigned long limit)
{
    Print_(stderr, "GRIB record damaged: %s header at octet %lu lies outside the record (%lu octets)!\n", what, at + 1,
           limit);
}

void reportLocated(const Located &l)
{
    const unsigned char *c = l.found;
    switch (l.why) {
    case Located::kNone:
        break;
    case Located::kShortIndicator:
        reportOutside(l.what, 0, l.limit);
        break;
    case Located::kNoMarker:
        Print_(stderr, "Wrong GRIB indicator section: found >%c%c%c%c<\n", c[0], c[1], c[2], c[3]);
        break;
    case Located::kEdition:
        Print_(stderr, "Error while decoding GRIB1 sections: GRIB edition %d records not supported!\n", l.edition);
        break;
    case Located::kOutside:
    case Located::kEndOutside:
        reportOutside(l.what, l.at, l.limit);
        break;
    case Located::kShortSection:
        Print_(stderr, "GRIB record damaged: %s at octet %lu is shorter than its own header!\n", l.what, l.at + 1);
        break;
    case Located::kLonger:
        Print_(stderr, "Inconsistent length of GRIB message (grib_buffer_size=%ld < grib_record_size=%zu)!\n",
               (long)l.limit, l.length);
        break;
    case Located::kNoEnd:
        Print_(stderr, "Missing GRIB end section: found >%c%c%c%c<\n", c[0], c[1], c[2], c[3]);
        break;
    }
}

} // namespace g1
