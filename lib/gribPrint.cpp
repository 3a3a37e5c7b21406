// Record structure: the large-record length rule and the section locators
// of GRIB editions 0, 1 and 2 held in memory.
//
// The locators never read outside the caller's buffer or past the record's
// stated length: a section header that would lie outside ends the walk with
// the damaged-record result.
#include "valmora.h"
#include "grib1.h"
#include "gribLocate.h"
#include "support.h"
#include "szip.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

using g1::get3;
using g1::get4;

// The sections of an edition 0 or 1 record, as the locators use them.
struct Grib1Frame {
    unsigned char *pds = nullptr, *gds = nullptr, *bms = nullptr, *bds = nullptr;
    unsigned bdsoffset = 0; // octets before the BDS
    unsigned bdsfield = 0;  // the BDS length field f
};

// The section walk of the record at rec, bounded by `limit` octets (rec
// holds at least 8): 0 done; -2 when a header lies beyond the limit, -3
// when a section is shorter than its own header, with the name and record
// offset of that header in `what` and `at`.
int walkGrib1(unsigned char *rec, unsigned long limit, Grib1Frame &fr, const char *&what, unsigned long &at)
{
    g1::Frame f;
    size_t need;
    const int walk = g1::frameSections(rec, limit, f, &need);
    at = g1::lastHeader(f, what);
    if (walk == g1::kFrameNone) return -3;
    if (walk != g1::kFrameDone || f.bds + g1::kBdsFixed > limit) return -2;
    fr.pds = rec + f.pds;
    fr.gds = f.gds ? rec + f.gds : nullptr;
    fr.bms = f.bms ? rec + f.bms : nullptr;
    fr.bds = rec + f.bds;
    fr.bdsoffset = (unsigned)f.bds;
    fr.bdsfield = f.f;
    return 0;
}

// The walk's failures for the listings' locators.
void walkDamaged(int walk, const char *what, unsigned long at, unsigned long limit)
{
    g1::Located l;
    l.why = walk == -3 ? g1::Located::kShortSection : g1::Located::kOutside;
    l.what = what;
    l.at = at;
    l.limit = limit;
    g1::reportLocated(l);
}

} // namespace

extern "C" {

int correct_bdslen(int bdslen, int64_t recsize, int offset)
{
    return (int)g1::bdsLength((uint32_t)bdslen, recsize, offset).length;
}

int grib1Locate(unsigned char *gribbuffer, long gribbufsize, unsigned char **pdsp, unsigned char **gdsp,
                unsigned char **bmsp, unsigned char **bdsp, long *gribrecsize, bool say)
{
    const g1::Located l = g1::locate1(gribbuffer, gribbufsize);
    if (say) g1::reportLocated(l);
    const bool framed = l.bds != 0;
    *pdsp = framed ? gribbuffer + l.pds : nullptr;
    *gdsp = framed && l.gds ? gribbuffer + l.gds : nullptr;
    *bmsp = framed && l.bms ? gribbuffer + l.bms : nullptr;
    *bdsp = framed ? gribbuffer + l.bds : nullptr;
    *gribrecsize = (long)l.length;
    return l.status;
}

int grib1Sections(unsigned char *gribbuffer, long gribbufsize, unsigned char **pdsp, unsigned char **gdsp,
                  unsigned char **bmsp, unsigned char **bdsp, long *gribrecsize)
{
    return grib1Locate(gribbuffer, gribbufsize, pdsp, gdsp, bmsp, bdsp, gribrecsize, true);
}

namespace {

// The GRIB2 walk; noteFields names each further field on standard error, as
// grib2Sections does (the listing shows fields lines of its own instead).
int grib2Locate(unsigned char *gribbuffer, long gribbufsize, unsigned char **idsp, unsigned char **lusp,
                unsigned char **gdsp, unsigned char **pdsp, unsigned char **drsp, unsigned char **bmsp,
                unsigned char **bdsp, bool noteFields)
{
    *idsp = *lusp = *gdsp = *pdsp = *drsp = *bmsp = *bdsp = nullptr;
    unsigned char *rec = gribbuffer;
    // Callers may pass 0 for an unknown size; a known one bounds the walk.
    if (gribbufsize > 0 && gribbufsize < 16) {
        g1::reportOutside("indicator section", 0, (unsigned long)gribbufsize);
        return -1;
    }
    if (memcmp(rec, "GRIB", 4) != 0) {
        Print_(stderr, "wrong indicator section >%c%c%c%c<\n", rec[0], rec[1], rec[2], rec[3]);
        return -1;
    }
    if (rec[7] != 2) {
        Print_(stderr, "wrong GRIB version %d\n", rec[7]);
        return -1;
    }
    // Bound every read by the stated length (and the buffer, when given).
    uint64_t total = g1::get8(rec + 8);
    uint64_t limit = total;
    if (gribbufsize > 0 && (uint64_t)gribbufsize < limit) limit = (uint64_t)gribbufsize;

    unsigned char **slot[7] = {idsp, lusp, gdsp, pdsp, drsp, bmsp, bdsp};
    uint64_t off = 16;
    unsigned running = 16;
    for (int want = 1; want <= 7; ++want) {
        if (off + 5 > limit) {
            g1::reportOutside("section", (unsigned long)off, (unsigned long)limit);
            return -2;
        }
        unsigned char *sec = rec + off;
        int num = sec[4];
        if (want == 2) {
            if (num != 2 && num != 3) {
                Print_(stderr, "Unexpected section3 number %d\n", num);
                return -1;
            }
            if (num == 3) { // no local use section: this one is section 3
                *gdsp = sec;
                want = 3;
                goto next;
            }
        } else if (want == 3 && *lusp) {
            // after a local use section the next one is taken as section 3
        } else if (num != want) {
            Print_(stderr, "Unexpected section%d number %d\n", want, num);
            return -1;
        }
        *slot[want - 1] = sec;
    next:
        unsigned len = get4(sec);
        if (len < 5) {
            g1::reportOutside("section", (unsigned long)off, (unsigned long)limit);
            return -2;
        }
        if (want < 7) {
            off += len;
            running += len;
        }
    }

    {
        unsigned lowTotal = (unsigned)(total & 0xFFFFFFFFu);
        int fields = 1;
        unsigned char *cur = *bdsp;
        for (;;) {
            uint64_t curoff = (uint64_t)(cur - rec);
            unsigned len = get4(cur);
            uint64_t nextoff = curoff + len;
            running += len;
            if (nextoff + 4 > limit) {
                g1::reportOutside("end section", (unsigned long)nextoff, (unsigned long)limit);
                return -2;
            }
            unsigned char *sec = rec + nextoff;
            if (memcmp(sec, "7777", 4) == 0) return 0;
            if (nextoff + 5 > limit || sec[4] < 1 || sec[4] > 7 || len < 5 ||
                (uint64_t)running + get4(sec) > lowTotal) {
                Print_(stderr, "Missing end section >%2x %2x %2x %2x<\n", sec[0], sec[1], sec[2], sec[3]);
                return -2;
            }
            if (sec[4] == 7 && noteFields) Print_(stderr, "Skipped unsupported multi GRIB section %d!\n", ++fields);
            cur = sec;
        }
    }
}

} // namespace

int grib2Sections(unsigned char *gribbuffer, long gribbufsize, unsigned char **idsp, unsigned char **lusp,
                  unsigned char **gdsp, unsigned char **pdsp, unsigned char **drsp, unsigned char **bmsp,
                  unsigned char **bdsp)
{
    return grib2Locate(gribbuffer, gribbufsize, idsp, lusp, gdsp, pdsp, drsp, bmsp, bdsp, true);
}

int grib_info_for_grads(int64_t recpos, long recsize, unsigned char *gribbuffer, int *intnum, float *fltnum,
                        int64_t *bignum)
{
    unsigned char *rec = gribbuffer;
    unsigned long limit = recsize > 0 ? (unsigned long)recsize : 0;
    if (limit < 8) {
        g1::reportOutside("indicator section", 0, limit);
        return 1;
    }
    if (memcmp(rec, "GRIB", 4) != 0) {
        Print_(stderr, "wrong indicator section >%c%c%c%c<\n", rec[0], rec[1], rec[2], rec[3]);
        return -1;
    }
    Grib1Frame fr;
    const char *what;
    unsigned long at;
    int walk = walkGrib1(rec, limit, fr, what, at);
    if (walk == 0 && fr.pds + 28 > rec + limit) walk = -2, what = "product definition section", at = (unsigned long)(fr.pds - rec);
    if (walk != 0) {
        walkDamaged(walk, what, at, limit);
        return 1;
    }
    // The caller's record size stands for the padded length.
    unsigned bdslen = (unsigned)g1::bdsLength(fr.bdsfield, recsize, fr.bdsoffset).length;
    long need = (long)fr.bdsoffset + (long)bdslen + 4;
    if (need > recsize) {
        Print_(stderr, "GRIB buffer size %ld too small! Min size = %ld\n", recsize, need);
        return 1;
    }
    const unsigned char *es = fr.bds + bdslen;
    if (memcmp(es, "7777", 4) != 0)
        Print_(stderr, "Missing end section >%2x %2x %2x %2x<\n", es[0], es[1], es[2], es[3]);

    int D = g1::getSigned2(fr.pds + 26);
    int E = g1::getSigned2(fr.bds + 4);
    intnum[0] = fr.bds[10];
    fltnum[0] = (float)pow(10.0, D);
    fltnum[1] = (float)ldexp(1.0, E);
    fltnum[2] = (float)decfp2(fr.bds[6], (int)get3(fr.bds + 7));
    bignum[0] = recpos + fr.bdsoffset + 11;
    bignum[1] = fr.bms ? recpos + (fr.bms - rec) + 6 : -999;
    return 0;
}

} // extern "C"

// ---- Record listings, check and repair ---------------------------------
//
// The listings read the record's octets directly. Every field goes through
// RecView, bounded by the record size the caller gave: a field whose octets
// would lie beyond it reads as 0, so a damaged or truncated record still
// gets its line and nothing outside the buffer is touched.

namespace {

struct RecView {
    const unsigned char *rec;
    unsigned long size;

    RecView(const unsigned char *r, long recsize) : rec(r), size(recsize > 0 ? (unsigned long)recsize : 0) {}

    // n-octet big-endian number at octet `at` (from 1) of the section at sec.
    unsigned num(const unsigned char *sec, unsigned at, unsigned n) const
    {
        unsigned long off = (unsigned long)(sec - rec) + at - 1;
        if (off + n > size) return 0;
        return g1::getN(rec + off, n);
    }
    int o1(const unsigned char *sec, unsigned at) const { return (int)num(sec, at, 1); }
    int o2(const unsigned char *sec, unsigned at) const { return (int)num(sec, at, 2); }
    int o3(const unsigned char *sec, unsigned at) const { return (int)num(sec, at, 3); }
    unsigned o4(const unsigned char *sec, unsigned at) const { return num(sec, at, 4); }

    // Sign and magnitude over `octets` octets: the top bit is the sign.
    int signMag(const unsigned char *sec, unsigned at, unsigned octets) const
    {
        return g1::signMagnitude(num(sec, at, octets), octets);
    }
};

// The sections of an edition 0/1 record as the locator found them.
struct Located1 {
    unsigned char *pds = nullptr, *gds = nullptr, *bms = nullptr, *bds = nullptr;
    long recsize = 0;
    int status = -1;
};

Located1 locate1(unsigned char *gribbuffer, long recsize)
{
    Located1 s;
    s.status = grib1Sections(gribbuffer, recsize, &s.pds, &s.gds, &s.bms, &s.bds, &s.recsize);
    return s;
}

int editionOf(const unsigned char *gribbuffer, long recsize)
{
    return gribVersion(gribbuffer, recsize > 0 ? (size_t)recsize : 0);
}

// Level from the type of level: two octets for 99 and 109, hPa to Pa for
// isobaric levels, the first octet for every other type.
int level1(const RecView &v, const unsigned char *pds)
{
    int type = v.o1(pds, 10);
    if (type == 99 || type == 109) return v.o2(pds, 11);
    if (type == 100) return v.o2(pds, 11) * 100;
    return v.o1(pds, 11);
}

double ratio(unsigned before, unsigned after)
{
    // No ratio can be made from an empty length; show none rather than inf.
    return after ? (double)before / (double)after : 1.0;
}

// Octet numbers (from 1) of the szip form's fields in the BDS.
constexpr unsigned kFlagOctet = 4;
constexpr unsigned kRecordLengthOctet = g1::kSzipRecordLengthAt + 1;
constexpr unsigned kDataLengthOctet = g1::kSzipDataLengthAt + 1;
constexpr unsigned kPackedLengthOctet = g1::kSzipPackedLengthAt + 1;

// Octets of the data section: up to the end section where the locator found
// one, else up to the end of the octets given.
size_t bdsOctets(const RecView &v, const Located1 &s)
{
    const unsigned long at = (unsigned long)(s.bds - v.rec);
    const unsigned long held = v.size > at ? v.size - at : 0;
    const unsigned long end = s.status == 0 && s.recsize > 0 ? (unsigned long)s.recsize : 0;
    if (end >= at + 4 && end - at - 4 < held) return end - at - 4;
    return held;
}

// The szip form keeps the record length before compression at BDS 15-17.
// The record ratio takes both codes of that layout; the data ratio the szip
// form only.
double recordRatio(const RecView &v, const Located1 &s)
{
    const unsigned code = g1::szipCode(s.bds, bdsOctets(v, s));
    if (code != VALMORA_ZIP_SZIP && code != VALMORA_ZIP_RESERVED) return 1.0;
    return ratio(v.num(s.bds, kRecordLengthOctet, 3), v.num(v.rec, 5, 3));
}

double dataRatio(const RecView &v, const Located1 &s)
{
    if (!g1::szipForm(s.bds, bdsOctets(v, s))) return 1.0;
    return ratio(v.num(s.bds, kDataLengthOctet, 3), v.num(s.bds, kPackedLengthOctet, 3));
}

void unsupported(int nrec, long offset, long recpos, long recsize, int edition)
{
    Print_(stdout, "%5d :%4ld%9ld%7ld : GRIB version %d unsupported\n", nrec, offset, recpos, recsize, edition);
}

void endLine(const Located1 &s)
{
    if (s.status > 0) Print_(stdout, " <-- GRIB data corrupted!");
    Print_(stdout, "\n");
}

void grib1PrintALL(int nrec, long offset, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    if (!header) {
        Print_(stdout, "  Rec : Off Position   Size : V PDS  GDS    BMS    BDS : Code Level :  LType GType: CR LL\n");
        header = 1;
    }
    Located1 s = locate1(gribbuffer, recsize);
    if (s.status < 0) {
        Print_(stdout, "%5d :%4ld %8ld %6ld : GRIB message error\n", nrec, offset, recpos, recsize);
        return;
    }
    RecView v(gribbuffer, recsize);
    // The padded length comes from the record's own indicator, so the column
    // does not depend on whether the caller passes the true or padded size.
    const uint32_t bdsstored = (uint32_t)v.o3(s.bds, 1);
    const int64_t R = g1::paddedFromIndicator(get3(gribbuffer + 4));
    const int bdslen = (int)g1::bdsLength(bdsstored, R, s.bds - gribbuffer).length;
    // LL: the large flag with a small field, whatever the 23-bit count says.
    char ll = ((get3(gribbuffer + 4) & g1::kLargeFlag) && bdsstored <= g1::kLargeCorrectionMax) ? 'T' : 'F';
    Print_(stdout, "%5d :%4ld %8ld %6ld :%2d%4d%5d %6d %6d : %3d %6d : %5d %5d %6.4g  %c", nrec, offset, recpos, recsize,
           gribbuffer[7], v.o3(s.pds, 1), s.gds ? v.o3(s.gds, 1) : 0, s.bms ? v.o3(s.bms, 1) : 0, bdslen,
           v.o1(s.pds, 9), level1(v, s.pds), v.o1(s.pds, 10), s.gds ? v.o1(s.gds, 6) : -1, recordRatio(v, s),
           ll);
    endLine(s);
}

void grib2PrintALL(int nrec, long offset, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    if (!header) {
        Print_(stdout, "  Rec : Off Position   Size : V IDS LUS GDS PDS  DRS    BMS    BDS : Parameter   Level :  LType GType: "
                       "CR\n");
        header = 1;
    }
    unsigned char *sec[7];
    // The size bounds the locator's walk to the octets that are there; a
    // buffer without the whole indicator cannot be walked at all.
    int status = recsize < 16 ? -1 : grib2Locate(gribbuffer, recsize, &sec[0], &sec[1], &sec[2], &sec[3], &sec[4], &sec[5], &sec[6], false);
    if (status != 0) {
        Print_(stdout, "%5d :%4ld %8ld %6ld : error\n", nrec, offset, recpos, recsize);
        return;
    }
    RecView v(gribbuffer, recsize);
    long len[7];
    for (int i = 0; i < 7; ++i) len[i] = sec[i] ? (long)v.o4(sec[i], 1) : 0;
    const unsigned char *pds = sec[3];
    char param[16];
    snprintf(param, sizeof param, "%d.%d.%d", v.o1(pds, 11), v.o1(pds, 10), v.o1(gribbuffer, 7));
    Print_(stdout, "%5d :%4ld %8ld %6ld :%2d %3ld %3ld %3ld %3ld %4ld %6ld %6ld : %-9s %7d : %5d %5d %6.4g\n", nrec, offset,
           recpos, recsize, gribbuffer[7], len[0], len[1], len[2], len[3], len[4], len[5], len[6], param,
           (int)v.o4(pds, 25), v.o1(pds, 23), v.o2(sec[2], 13), 1.0);
}

// The frame of the four section listings: edition, header, locator. Returns
// false when the call ends here.
bool sectionFrame(char &header, const char *headline, int nrec, long recpos, long recsize,
                  unsigned char *gribbuffer, Located1 &s)
{
    int edition = editionOf(gribbuffer, recsize);
    if (edition != 0 && edition != 1) {
        unsupported(nrec, 0, recpos, recsize, edition);
        return false;
    }
    if (!header) {
        Print_(stdout, "%s", headline);
        header = 1;
    }
    s = locate1(gribbuffer, recsize);
    if (s.status < 0) {
        Print_(stdout, "%5d : GRIB message error\n", nrec);
        return false;
    }
    Print_(stdout, "%5d :", nrec);
    return true;
}

void grib1PrintPDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    Located1 s;
    if (!sectionFrame(header,
                      "  Rec : PDS Tab Cen Sub Ver Grid Code LTyp Level1 Level2    Date  Time P1 P2 TU TR NAVE Scale "
                      "FCnum CT\n",
                      nrec, recpos, recsize, gribbuffer, s))
        return;
    RecView v(gribbuffer, recsize);
    const unsigned char *pds = s.pds;
    bool ed1 = gribbuffer[7] == 1;
    int pdslen = v.o3(pds, 1);
    int year = ed1 ? v.signMag(pds, 13, 1) : v.o1(pds, 13);
    int century = ed1 ? v.o1(pds, 25) : 1;
    if (year < 0) {
        year = -year;
        century = -century;
    }
    int fcnum = 0;
    if (pdslen >= 29 && (v.o1(pds, 5) == 98 || v.o1(pds, 26) == 98) && v.o1(pds, 41) == 1) fcnum = v.o1(pds, 50);
    Print_(stdout, "%4d%4d%4d%4d%4d %4d %4d%4d%7d%7d %8d%6d%3d%3d%3d%3d%5d%6d%5d%4d", pdslen, v.o1(pds, 4), v.o1(pds, 5),
           ed1 ? v.o1(pds, 26) : 0, v.o1(pds, 6), v.o1(pds, 7), v.o1(pds, 9), v.o1(pds, 10), v.o1(pds, 11),
           v.o1(pds, 12), 10000 * year + 100 * v.o1(pds, 14) + v.o1(pds, 15), 100 * v.o1(pds, 16) + v.o1(pds, 17),
           v.o1(pds, 19), v.o1(pds, 20), v.o1(pds, 18), v.o1(pds, 21), v.o2(pds, 22),
           ed1 ? v.signMag(pds, 27, 2) : 0, fcnum, century);
    endLine(s);
}

void grib1PrintGDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    Located1 s;
    if (!sectionFrame(header, "  Rec : GDS  NV PVPL Typ : xsize ysize   Lat1   Lon1   Lat2   Lon2    dx    dy\n", nrec,
                      recpos, recsize, gribbuffer, s))
        return;
    if (s.gds) {
        RecView v(gribbuffer, recsize);
        const unsigned char *g = s.gds;
        Print_(stdout, "%4d%4d%4d %4d :%6d%6d%7d%7d%7d%7d%6d%6d", v.o3(g, 1), v.o1(g, 4), v.o1(g, 5), v.o1(g, 6), v.o2(g, 7),
               v.o2(g, 9), v.signMag(g, 11, 3), v.signMag(g, 14, 3), v.signMag(g, 18, 3), v.signMag(g, 21, 3),
               v.o2(g, 24), v.o2(g, 26));
    } else {
        Print_(stdout, " Grid Description Section not defined");
    }
    endLine(s);
}

void grib1PrintBMS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    Located1 s;
    if (!sectionFrame(header, "  Rec : Code Level     BMS    Size\n", nrec, recpos, recsize, gribbuffer, s)) return;
    RecView v(gribbuffer, recsize);
    int code = v.o1(s.pds, 9), level = level1(v, s.pds);
    if (s.bms) {
        int bmslen = v.o3(s.bms, 1);
        Print_(stdout, "%4d%7d %7d %7d", code, level, bmslen, 8 * bmslen - v.o1(s.bms, 4) - 48);
    } else {
        Print_(stdout, "%4d%7d Bit Map Section not defined", code, level);
    }
    endLine(s);
}

void grib1PrintBDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    static char header = 0;
    Located1 s;
    if (!sectionFrame(header, "  Rec : Code Level     BDS Flag     Scale   RefValue Bits  CR\n", nrec, recpos, recsize,
                      gribbuffer, s))
        return;
    RecView v(gribbuffer, recsize);
    const unsigned char *bds = s.bds;
    int E = v.signMag(bds, 5, 2);
    double scale = E >= 0 ? pow(2.0, E) : 1.0 / pow(2.0, -E);
    double ref = decfp2(v.o1(bds, 7), v.o3(bds, 8));
    int D = v.signMag(s.pds, 27, 2);
    if (D != 0) {
        double dec = pow(10.0, -D);
        scale *= dec;
        ref *= dec;
    }
    Print_(stdout, "%4d%7d %7d %4d %8.5g %11.5g%4d %6.4g", v.o1(s.pds, 9), level1(v, s.pds), v.o3(bds, 1), v.o1(bds, 4), scale,
           ref, v.o1(bds, 11), dataRatio(v, s));
    endLine(s);
}

// 24-bit data not in the szip form. A szip mark whose two lengths are equal
// does not count as compressed.
bool repairCandidate(const RecView &v, const Located1 &s)
{
    const unsigned char *bds = s.bds;
    if (v.o1(bds, 11) != 24) return false;
    unsigned packed = v.num(bds, kDataLengthOctet, 3), zipped = v.num(bds, kPackedLengthOctet, 3);
    bool compressed = g1::szipForm(bds, bdsOctets(v, s)) && (zipped == 0 || (double)packed / (double)zipped != 1.0);
    return !compressed;
}

// Located, sound and a candidate; otherwise reports (or not) and says no.
bool checkRecord(int nrec, long recsize, unsigned char *gribbuffer, const char *label, Located1 &s)
{
    s = locate1(gribbuffer, recsize);
    if (s.status < 0) {
        Print_(stdout, "%5d : GRIB message error\n", nrec);
        return false;
    }
    if (s.status > 0) {
        Print_(stdout, "%5d : <-- GRIB data corrupted!\n", nrec);
        return false;
    }
    RecView v(gribbuffer, recsize);
    if (!repairCandidate(v, s)) return false;
    Print_(stdout, "%sGRIB record %5d : code = %4d   level = %7d\n", label, nrec, v.o1(s.pds, 9), level1(v, s.pds));
    return true;
}

void repair1(int nrec, const RecView &v, unsigned char *bds, long bdslen)
{
    // The stored length is used as it stands; bounded by the located data
    // section so that a short-form length never reaches past it.
    long L = v.o3(bds, 1);
    if (L > bdslen) L = bdslen;
    // J is BDS octet 16, read only for complex packing.
    const unsigned flag = (unsigned)v.o1(bds, kFlagOctet);
    long H = (long)g1::bdsHeaderLength(flag, (unsigned)v.o1(bds, 16));
    if (L <= H) return;
    int64_t nbits = g1::packedBits((size_t)L, (size_t)H, flag);
    if (nbits <= 0) return;
    nbits -= nbits % 24;
    size_t octets = (size_t)nbits / 8;
    if (octets == 0) return;
    unsigned char *scratch = (unsigned char *)memAlloc(octets);
    if (!scratch) {
        Warning_("repair1", "No Memory! GRIB record %d left unchanged", nrec);
        return;
    }
    unsigned char *data = bds + H;
    g1::planeJoin(scratch, data, octets / 3);
    memcpy(data, scratch, octets);
    memRelease(scratch);
}

} // namespace

extern "C" {

void gribPrintALL(int nrec, long offset, long recpos, long recsize, unsigned char *gribbuffer)
{
    int edition = editionOf(gribbuffer, recsize);
    if (edition == 0 || edition == 1)
        grib1PrintALL(nrec, offset, recpos, recsize, gribbuffer);
    else if (edition == 2)
        grib2PrintALL(nrec, offset, recpos, recsize, gribbuffer);
    else
        unsupported(nrec, offset, recpos, recsize, edition);
}

void gribPrintPDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    grib1PrintPDS(nrec, recpos, recsize, gribbuffer);
}

void gribPrintGDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    grib1PrintGDS(nrec, recpos, recsize, gribbuffer);
}

void gribPrintBMS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    grib1PrintBMS(nrec, recpos, recsize, gribbuffer);
}

void gribPrintBDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    grib1PrintBDS(nrec, recpos, recsize, gribbuffer);
}

void gribCheck1(int nrec, long recpos, long recsize, unsigned char *gribbuffer)
{
    (void)recpos; // the check names records by number only
    Located1 s;
    checkRecord(nrec, recsize, gribbuffer, "", s);
}

void gribRepair1(int nrec, long recsize, unsigned char *gribbuffer)
{
    Located1 s;
    if (!checkRecord(nrec, recsize, gribbuffer, "Repair ", s)) return;
    RecView v(gribbuffer, recsize);
    repair1(nrec, v, s.bds, s.recsize - 4 - (long)(s.bds - gribbuffer));
}

} // extern "C"
