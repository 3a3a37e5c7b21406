// Record structure: the large-record length rule and the section locators
// of GRIB editions 0, 1 and 2 held in memory.
//
// The locators never read outside the caller's buffer or past the record's
// stated length: a section header that would lie outside ends the walk with
// the damaged-record result.
#include "valmora.h"
#include "support.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

inline unsigned get3(const unsigned char *p) { return (unsigned)p[0] << 16 | (unsigned)p[1] << 8 | p[2]; }

inline unsigned get4(const unsigned char *p) { return (unsigned)p[0] << 24 | get3(p + 1); }

inline int signMag16(const unsigned char *p)
{
    int v = (p[0] & 0x7F) << 8 | p[1];
    return (p[0] & 0x80) ? -v : v;
}

// The walk over the sections of an edition 0 or 1 record.
struct Grib1Frame {
    unsigned char *pds = nullptr, *gds = nullptr, *bms = nullptr, *bds = nullptr;
    unsigned bdsoffset = 0; // octets before the BDS
    unsigned bdsfield = 0;  // the BDS length field f
};

// 0 done; -2 when a header lies beyond `limit` octets, with the name and
// record offset of that header in `what` and `at`.
int walkGrib1(unsigned char *rec, unsigned long limit, Grib1Frame &fr, const char *&what, unsigned long &at)
{
    unsigned off = rec[7] == 1 ? 8 : 4;
    what = "product definition section";
    at = off;
    if (off + 8 > limit) return -2;
    fr.pds = rec + off;
    unsigned P = get3(fr.pds);
    unsigned flag = fr.pds[7];
    off += P;
    if (flag & 0x80) {
        what = "grid description section", at = off;
        if ((unsigned long)off + 3 > limit) return -2;
        fr.gds = rec + off;
        off += get3(fr.gds);
    }
    if (flag & 0x40) {
        what = "bit-map section", at = off;
        if ((unsigned long)off + 3 > limit) return -2;
        fr.bms = rec + off;
        off += get3(fr.bms);
    }
    what = "binary data section", at = off;
    if ((unsigned long)off + 11 > limit) return -2;
    fr.bds = rec + off;
    fr.bdsoffset = off;
    fr.bdsfield = get3(fr.bds);
    return 0;
}

// The most octets that an edition 1 record may claim from its indicator.
unsigned long statedLimit(const unsigned char *rec, long bufsize)
{
    unsigned long limit = bufsize > 0 ? (unsigned long)bufsize : 0;
    if (rec[7] == 1) {
        unsigned L = get3(rec + 4);
        unsigned long claim = (L & 0x800000) ? (unsigned long)(L & 0x7FFFFF) * 120 : L;
        if (claim < L) claim = L;
        if (claim < limit) limit = claim;
    }
    return limit;
}

// `at` counts octets before the header, as the offsets of the walk do.
void damaged(const char *what, unsigned long at, unsigned long limit)
{
    fprintf(stderr, "GRIB record damaged: %s header at octet %lu lies outside the record (%lu octets)!\n", what,
            at + 1, limit);
}

} // namespace

extern "C" {

int correct_bdslen(int bdslen, int64_t recsize, int offset)
{
    if ((unsigned)bdslen <= 120 && recsize >= 0x800000) return (int)(recsize - offset - bdslen);
    return bdslen;
}

int grib1Sections(unsigned char *gribbuffer, long gribbufsize, unsigned char **pdsp, unsigned char **gdsp,
                  unsigned char **bmsp, unsigned char **bdsp, long *gribrecsize)
{
    *pdsp = *gdsp = *bmsp = *bdsp = nullptr;
    *gribrecsize = 0;
    unsigned char *rec = gribbuffer;
    if (gribbufsize < 8) {
        damaged("indicator section", 0, gribbufsize < 0 ? 0 : (unsigned long)gribbufsize);
        return -1;
    }
    if (memcmp(rec, "GRIB", 4) != 0) {
        fprintf(stderr, "Wrong GRIB indicator section: found >%c%c%c%c<\n", rec[0], rec[1], rec[2], rec[3]);
        return -1;
    }
    int edition = rec[7];
    if (edition >= 2) {
        fprintf(stderr, "Error while decoding GRIB1 sections: GRIB edition %d records not supported!\n", edition);
        return -1;
    }

    unsigned long limit = statedLimit(rec, gribbufsize);
    Grib1Frame fr;
    const char *what;
    unsigned long at;
    if (walkGrib1(rec, limit, fr, what, at) != 0) {
        damaged(what, at, limit);
        return -2;
    }

    unsigned bdslen = fr.bdsfield;
    unsigned long stated = get3(rec + 4); // what edition 1 claims
    if ((rec[4] & 0x80) && fr.bdsfield <= 120) {
        unsigned N = (rec[4] & 0x7Fu) << 16 | (unsigned)rec[5] << 8 | rec[6];
        if (N >= 69906) {
            bdslen = N * 120 - fr.bdsoffset - fr.bdsfield;
            stated = (unsigned long)N * 120;
        }
    }
    unsigned recsize = fr.bdsoffset + bdslen + 4;

    *pdsp = fr.pds;
    *gdsp = fr.gds;
    *bmsp = fr.bms;
    *bdsp = fr.bds;
    *gribrecsize = (long)recsize;

    if ((long)recsize > gribbufsize) {
        fprintf(stderr, "Inconsistent length of GRIB message (grib_buffer_size=%ld < grib_record_size=%u)!\n",
                gribbufsize, recsize);
        return 1;
    }
    // An end section beyond the stated length is not looked for there.
    if (rec[7] == 1 && recsize >= fr.bdsoffset + 4 && recsize > stated) {
        damaged("end section", recsize - 4, stated);
        return -2;
    }
    const unsigned char *es = fr.bds + bdslen;
    if (recsize < fr.bdsoffset + 4 || memcmp(es, "7777", 4) != 0) {
        if (recsize < fr.bdsoffset + 4) es = fr.bds; // the length wrapped: nothing to show past the BDS
        fprintf(stderr, "Missing GRIB end section: found >%c%c%c%c<\n", es[0], es[1], es[2], es[3]);
        return -2;
    }
    return 0;
}

int grib2Sections(unsigned char *gribbuffer, long gribbufsize, unsigned char **idsp, unsigned char **lusp,
                  unsigned char **gdsp, unsigned char **pdsp, unsigned char **drsp, unsigned char **bmsp,
                  unsigned char **bdsp)
{
    *idsp = *lusp = *gdsp = *pdsp = *drsp = *bmsp = *bdsp = nullptr;
    unsigned char *rec = gribbuffer;
    // Callers may pass 0 for an unknown size; a known one bounds the walk.
    if (gribbufsize > 0 && gribbufsize < 16) {
        damaged("indicator section", 0, (unsigned long)gribbufsize);
        return -1;
    }
    if (memcmp(rec, "GRIB", 4) != 0) {
        fprintf(stderr, "wrong indicator section >%c%c%c%c<\n", rec[0], rec[1], rec[2], rec[3]);
        return -1;
    }
    if (rec[7] != 2) {
        fprintf(stderr, "wrong GRIB version %d\n", rec[7]);
        return -1;
    }
    // Bound every read by the stated length (and the buffer, when given).
    uint64_t total = 0;
    for (int i = 8; i < 16; ++i) total = total << 8 | rec[i];
    uint64_t limit = total;
    if (gribbufsize > 0 && (uint64_t)gribbufsize < limit) limit = (uint64_t)gribbufsize;

    unsigned char **slot[7] = {idsp, lusp, gdsp, pdsp, drsp, bmsp, bdsp};
    uint64_t off = 16;
    unsigned running = 16;
    for (int want = 1; want <= 7; ++want) {
        if (off + 5 > limit) {
            damaged("section", (unsigned long)off, (unsigned long)limit);
            return -2;
        }
        unsigned char *sec = rec + off;
        int num = sec[4];
        if (want == 2) {
            if (num != 2 && num != 3) {
                fprintf(stderr, "Unexpected section3 number %d\n", num);
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
            fprintf(stderr, "Unexpected section%d number %d\n", want, num);
            return -1;
        }
        *slot[want - 1] = sec;
    next:
        unsigned len = get4(sec);
        if (len < 5) {
            damaged("section", (unsigned long)off, (unsigned long)limit);
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
                damaged("end section", (unsigned long)nextoff, (unsigned long)limit);
                return -2;
            }
            unsigned char *sec = rec + nextoff;
            if (memcmp(sec, "7777", 4) == 0) return 0;
            if (nextoff + 5 > limit || sec[4] < 1 || sec[4] > 7 || len < 5 ||
                (uint64_t)running + get4(sec) > lowTotal) {
                fprintf(stderr, "Missing end section >%2x %2x %2x %2x<\n", sec[0], sec[1], sec[2], sec[3]);
                return -2;
            }
            if (sec[4] == 7) fprintf(stderr, "Skipped unsupported multi GRIB section %d!\n", ++fields);
            cur = sec;
        }
    }
}

int grib_info_for_grads(int64_t recpos, long recsize, unsigned char *gribbuffer, int *intnum, float *fltnum,
                        int64_t *bignum)
{
    unsigned char *rec = gribbuffer;
    unsigned long limit = recsize > 0 ? (unsigned long)recsize : 0;
    if (limit < 8) {
        damaged("indicator section", 0, limit);
        return 1;
    }
    if (memcmp(rec, "GRIB", 4) != 0) {
        fprintf(stderr, "wrong indicator section >%c%c%c%c<\n", rec[0], rec[1], rec[2], rec[3]);
        return -1;
    }
    Grib1Frame fr;
    const char *what;
    unsigned long at;
    int walk = walkGrib1(rec, limit, fr, what, at);
    if (walk == 0 && fr.pds + 28 > rec + limit) walk = -2, what = "product definition section", at = (unsigned long)(fr.pds - rec);
    if (walk != 0) {
        damaged(what, at, limit);
        return 1;
    }
    unsigned bdslen = fr.bdsfield;
    if (fr.bdsfield <= 120 && recsize >= 0x800000) bdslen = (unsigned)(recsize - fr.bdsoffset - fr.bdsfield);
    long need = (long)fr.bdsoffset + (long)bdslen + 4;
    if (need > recsize) {
        fprintf(stderr, "GRIB buffer size %ld too small! Min size = %ld\n", recsize, need);
        return 1;
    }
    const unsigned char *es = fr.bds + bdslen;
    if (memcmp(es, "7777", 4) != 0)
        fprintf(stderr, "Missing end section >%2x %2x %2x %2x<\n", es[0], es[1], es[2], es[3]);

    int D = signMag16(fr.pds + 26);
    int E = signMag16(fr.bds + 4);
    intnum[0] = fr.bds[10];
    fltnum[0] = (float)pow(10.0, D);
    fltnum[1] = (float)ldexp(1.0, E);
    fltnum[2] = (float)decfp2(fr.bds[6], (int)get3(fr.bds + 7));
    bignum[0] = recpos + fr.bdsoffset + 11;
    bignum[1] = fr.bms ? recpos + (fr.bms - rec) + 6 : -999;
    return 0;
}

} // extern "C"
