// szip coding of the binary data section (BDS) of GRIB edition 1 records,
// in place in the caller's record buffer.
//
// The compressed record stays a well-formed GRIB1 record: the BDS keeps its
// first 11 octets, flag bit 0x10 and compression code 128 mark the szip form,
// and 12 inserted octets (15-23) keep what is needed to undo it: the record
// length before compression and the data lengths before and after.
#include "valmora.h"
#include "grib1.h"
#include "support.h"

#include <atomic>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>

// szlib.h declares C functions without a C++ guard.
extern "C" {
#include <szlib.h>
}

namespace {

// Raw coding, nearest-neighbour preprocessing, most significant byte first.
constexpr int szOptions = SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK;
constexpr int szPixelsPerBlock = 8;
constexpr int szPixelsPerScanline = 1024;

constexpr int szipCode = g1::kSzipCode;
constexpr unsigned szipHeader = g1::kSzipHeader; // BDS octets up to the compressed length
constexpr unsigned maxLen24 = g1::kMax24;

// Set once the message on unsupported bit counts was printed; atomic, so
// that it is printed once even when several threads pack at once.
std::atomic<bool> linfo{false};

using g1::get3;
using g1::put3;

SZ_com_t szParams(int nbits)
{
    // Packed 3-octet values are coded as three planes of 8-bit samples.
    return SZ_com_t{szOptions, nbits == 24 ? 8 : nbits, szPixelsPerBlock, szPixelsPerScanline};
}

bool szipWidth(int nbits) { return nbits == 8 || nbits == 16 || nbits == 24 || nbits == 32; }

// Octets between the BDS header (11 octets) and the packed data, from the
// flag octet and, for complex packing, the subset truncation J.
size_t headerExtra(unsigned flag, unsigned J) { return g1::bdsHeaderLength(flag, J) - g1::kBdsFixed; }

// The locator, with the coder's two messages on standard output.
int locate(unsigned char *rec, long size, unsigned char **pds, unsigned char **bds, long *recsize)
{
    unsigned char *gds, *bms;
    int status = grib1Sections(rec, size, pds, &gds, &bms, bds, recsize);
    if (status < 0) Print_(stdout, "GRIB message error\n");
    if (status > 0) Print_(stdout, "GRIB data corrupted!\n");
    return status;
}

long asLong(size_t n) { return n > (size_t)LONG_MAX ? LONG_MAX : (long)n; }

// Zero octets after `length` up to the next multiple of 8, where they fit.
size_t padTo8(unsigned char *rec, size_t length, size_t capacity)
{
    size_t padded = (length + 7) / 8 * 8;
    if (padded > capacity) return length;
    memset(rec + length, 0, padded - length);
    return padded;
}

void szWarning(const char *caller, int result, int code, int level, bool decompress)
{
    if (result == SZ_MEM_ERROR)
        Warning_(caller, "SZ_MEM_ERROR code %3d level %3d", code, level);
    else if (result == SZ_NO_ENCODER_ERROR)
        Warning_(caller, "SZ_NO_ENCODER_ERROR code %3d level %3d", code, level);
    else if (result == SZ_OUTBUFF_FULL && decompress)
        Warning_(caller, "SZ_OUTBUFF_FULL code %3d level %3d", code, level);
    else if (result != SZ_OK && result != SZ_OUTBUFF_FULL)
        Warning_(caller, "SZ ERROR: %d code %3d level %3d", result, code, level);
}

// Compresses the D data octets at `data` into `work`; 0 and the compressed
// length on success. 24-bit values go through a plane buffer.
int compressData(const unsigned char *data, size_t D, int nbits, void *work, size_t *clen)
{
    // libaec writes past its own buffers when given part of a sample.
    assert(D % (size_t)(nbits == 24 ? 1 : nbits / 8) == 0);
    SZ_com_t params = szParams(nbits);
    const unsigned char *src = data;
    unsigned char *planes = nullptr;
    if (nbits == 24) {
        planes = (unsigned char *)memAlloc(D);
        if (!planes) return SZ_MEM_ERROR;
        g1::planeSplit(planes, data, D / 3);
        src = planes;
    }
    int result = SZ_BufftoBuffCompress(work, clen, src, D, &params);
    if (planes) memRelease(planes);
    return result;
}

} // namespace

extern "C" {

size_t gribPaddedLength(size_t length) { return g1::paddedLength(length); }

int gribGetZip(long recsize, unsigned char *gribbuffer, size_t *urecsize)
{
    if (recsize < 0) recsize = 0;
    if (gribVersion(gribbuffer, (size_t)recsize) == 2) return 0;

    unsigned char *pds, *bds;
    long length;
    if (locate(gribbuffer, recsize, &pds, &bds, &length) != 0) return 0;

    unsigned bdslen = (unsigned)(length - (bds - gribbuffer) - 4);
    if (!(bds[3] & 0x10) || bdslen < 17) {
        // A section too short to hold the compression octets holds no code.
        if (!(bds[3] & 0x10)) *urecsize = 0;
        return 0;
    }
    int code = bds[13];
    *urecsize = code == szipCode ? get3(bds + 14) : 0;
    return code;
}

int recPack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize)
{
    unsigned char *rec = (unsigned char *)gribbuffer;
    unsigned char *pds, *bds;
    long recsize;
    if (locate(rec, asLong(gribbuffersize), &pds, &bds, &recsize) != 0) return (int)recsize;

    // Edition 0 has no record length in its indicator to rewrite.
    if (rec[7] != 1) return (int)recsize;

    unsigned L = get3(rec + 4);
    const int64_t R = g1::paddedFromIndicator(L);
    if (g1::bdsLength(get3(bds), R, bds - rec).large) return (int)R;

    int nbits = bds[10];
    if (!szipWidth(nbits)) {
        if (nbits != 0 && !linfo.exchange(true)) {
            Print_(stderr, "GRIB szip supports only 8, 16, 24 and 32 bit data!\n");
        }
        return (int)L;
    }

    unsigned flag = bds[3];
    size_t bdsoffset = (size_t)(bds - rec);
    size_t bdslen = (size_t)recsize - bdsoffset - 4;
    if (flag & 0x10) return (int)L; // already in the szip form (or other further flags)
    if ((flag & 0xC0) == 0xC0 && bdslen < 16) return (int)L;
    size_t X = headerExtra(flag, (flag & 0xC0) == 0xC0 ? bds[15] : 0);
    if (bdslen < 11 + X) return (int)L;

    unsigned U = flag & 0x0F;
    long bits = (long)(bdslen - 11 - X) * 8 - (long)U;
    if (bits < 0) return (int)L;
    bits -= bits % nbits;
    if (bits <= 2047) return (int)L;
    size_t D = (size_t)bits / 8;

    // recUnpack rebuilds the section from D and X alone and restores the
    // indicator length kept in the section: compress only records that this
    // rebuilds exactly, so nothing after the values is lost.
    size_t rebuilt = 11 + X + D;
    rebuilt += rebuilt % 2;
    if (rebuilt != bdslen || (size_t)recsize != L || D > maxLen24) return (int)L;

    size_t clen = zipbuffersize;
    int result = compressData(bds + 11 + X, D, nbits, zipbuffer, &clen);
    if (result != SZ_OK) szWarning("recPack", result, pds[8], pds[11], false);

    size_t newlen = szipHeader + X + clen;
    bool accept = result == SZ_OK && 0.95 * (double)D > (double)clen && newlen + 1 <= bdslen;
    if (!accept) return (int)padTo8(rec, (size_t)L, gribbuffersize);

    memmove(bds + szipHeader, bds + 11, X);
    memcpy(bds + szipHeader + X, zipbuffer, clen);
    flag &= 0xF0;
    bds[11] = bds[12] = 0;
    bds[13] = (unsigned char)szipCode;
    put3(bds + 14, L);
    put3(bds + 17, (unsigned)D);
    put3(bds + 20, (unsigned)clen);
    flag |= 0x10;
    if (newlen % 2) {
        flag += 8;
        bds[newlen++] = 0;
    }
    bds[3] = (unsigned char)flag;
    put3(bds, (unsigned)newlen);
    memcpy(bds + newlen, "7777", 4);
    size_t total = bdsoffset + newlen + 4;
    put3(rec + 4, (unsigned)total);
    return (int)padTo8(rec, total, gribbuffersize);
}

int recUnpack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize)
{
    unsigned char *dst = (unsigned char *)gribbuffer;
    unsigned char *src = (unsigned char *)zipbuffer;
    unsigned char *spds, *sbds, *dpds, *dbds;
    long srecsize, drecsize;
    if (locate(src, asLong(zipbuffersize), &spds, &sbds, &srecsize) != 0) return 0;

    int code = spds[8], level = spds[11];
    size_t bdsoffset = (size_t)(sbds - src);
    size_t sbdslen = (size_t)srecsize - bdsoffset - 4;
    unsigned flag = sbds[3];
    bool szip = (flag & 0x10) && sbdslen >= szipHeader && sbds[13] == szipCode && src[7] == 1;
    if (!szip || ((flag & 0xC0) == 0xC0 && sbdslen < 28)) {
        Warning_("recUnpack", "no szip data section: code %3d level %3d", code, level);
        return (int)zipbuffersize;
    }
    size_t X = headerExtra(flag, (flag & 0xC0) == 0xC0 ? sbds[27] : 0);
    int nbits = sbds[10];
    size_t clen = get3(sbds + 20);

    // The destination holds a copy of the record: it must frame alike.
    if (gribbuffersize < zipbuffersize || locate(dst, asLong(zipbuffersize), &dpds, &dbds, &drecsize) != 0 ||
        dbds - dst != sbds - src || drecsize != srecsize)
        return 0;

    size_t expected = get3(dbds + 17);
    unsigned kept = get3(dbds + 14);
    size_t restored = 11 + X + expected;
    restored += restored % 2;
    size_t total = bdsoffset + restored + 4;
    size_t sample = nbits == 24 ? 3 : (size_t)nbits / 8;
    if (!szipWidth(nbits) || szipHeader + X + clen > sbdslen || expected == 0 || expected % sample != 0) {
        Warning_("recUnpack", "damaged szip data section: code %3d level %3d", code, level);
        return (int)zipbuffersize;
    }
    if (total > gribbuffersize) {
        Warning_("recUnpack", "record of %zu octets does not fit into %zu octets: code %3d level %3d", total,
                 gribbuffersize, code, level);
        return (int)zipbuffersize;
    }

    memmove(dbds + 11, dbds + szipHeader, X);
    unsigned char *out = dbds + 11 + X;
    unsigned char *planes = nullptr;
    if (nbits == 24) {
        planes = (unsigned char *)memAlloc(expected);
        if (!planes) {
            memcpy(dst, src, zipbuffersize);
            Warning_("recUnpack", "SZ_MEM_ERROR code %3d level %3d", code, level);
            return (int)zipbuffersize;
        }
        out = planes;
    }
    SZ_com_t params = szParams(nbits);
    size_t dlen = expected;
    int result = SZ_BufftoBuffDecompress(out, &dlen, sbds + szipHeader + X, clen, &params);
    szWarning("recUnpack", result, code, level, true);
    if (result == SZ_OK && dlen != expected)
        Warning_("recUnpack", "unzip size differ: code %3d level %3d  ibuflen %ld ubuflen %ld", code, level,
                 (long)expected, (long)dlen);
    if (result != SZ_OK || dlen != expected) {
        // Keep the record in its compressed form rather than write garbage.
        if (planes) memRelease(planes);
        memcpy(dst, src, zipbuffersize);
        return (int)zipbuffersize;
    }
    if (planes) {
        g1::planeJoin(dbds + 11 + X, planes, expected / 3);
        memRelease(planes);
    }

    flag = (flag - 0x10) & 0xF0;
    size_t bdslen = 11 + X + expected;
    if (bdslen % 2) {
        flag += 8;
        dbds[bdslen++] = 0;
    }
    dbds[3] = (unsigned char)flag;
    put3(dbds, (unsigned)bdslen);
    memcpy(dbds + bdslen, "7777", 4);
    total = bdsoffset + bdslen + 4;
    if (kept != total) {
        // An indicator that disagrees with the sections makes a record no
        // reader can frame: give it the length it has.
        Warning_("recUnpack", "stored record length %u differs from the restored %zu: code %3d level %3d", kept,
                 total, code, level);
        kept = (unsigned)total;
    }
    put3(dst + 4, kept);
    return (int)padTo8(dst, total, gribbuffersize);
}

} // extern "C"
