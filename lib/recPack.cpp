// szip coding of the binary data section (BDS) of GRIB edition 1 records,
// in place in the caller's record buffer: when a record is worth the szip
// form (szip.h) and what the record around its data section becomes.
#include "valmora.h"
#include "grib1.h"
#include "support.h"
#include "szip.h"
#include "recform.h"

#include <atomic>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

using g1::get3;
using g1::complexPacking;
using g1::put3;

// Fewer data bits than this are not worth a compressed form.
constexpr long minDataBits = 2048;
// A compressed form is kept only when it saves more than 5 % of the data.
constexpr double gainFactor = 0.95;

// Set once the message on unsupported bit counts was printed; atomic, so
// that it is printed once even when several threads pack at once.
std::atomic<bool> linfo{false};

// The locator, with the coder's two messages on standard output.
int locate(const unsigned char *rec, long size, const unsigned char **pds, const unsigned char **bds, long *recsize)
{
    const g1::Located l = g1::locate1(rec, size);
    g1::reportLocated(l);
    *pds = l.bds ? rec + l.pds : nullptr;
    *bds = l.bds ? rec + l.bds : nullptr;
    *recsize = (long)l.length;
    if (l.status < 0) Print_(stdout, "GRIB message error\n");
    if (l.status > 0) Print_(stdout, "GRIB data corrupted!\n");
    return l.status;
}

long asLong(size_t n) { return n > (size_t)LONG_MAX ? LONG_MAX : (long)n; }

// A length to return: never more than the buffer holds (nor than an int holds).
int within(size_t length, size_t capacity)
{
    if (length > capacity) length = capacity;
    return length > (size_t)INT_MAX ? INT_MAX : (int)length;
}

// Zero octets after `length` up to the next multiple of 8, where they fit.
size_t padTo8(unsigned char *rec, size_t length, size_t capacity)
{
    size_t padded = g1::roundUp(length, g1::kPadUnit);
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

// ---- Compression -------------------------------------------------------------

// Why recPack leaves a record as it is.
enum class Refusal {
    none,          // it can be compressed
    edition0,      // no record length in the indicator to rewrite
    largeForm,     // the szip form keeps no large-form lengths
    width,         // szip takes 8, 16, 24 and 32-bit samples only
    furtherFlags,  // already in the szip form, or other further flags
    shortSection,  // the section ends within its own header
    fewBits,       // too few data bits to gain anything
    notRestorable, // recUnpack would not give it back octet for octet
};

struct PackPlan {
    Refusal refusal = Refusal::none;
    size_t keep = 0;   // when refused: the octets to return
    int nbits = 0;     // bits per value
    size_t X = 0;      // octets between BDS octet 11 and the packed data
    size_t D = 0;      // packed data octets (whole values only)
    size_t bdslen = 0; // the section's length
};

// Decides whether the located edition 0/1 record of recsize octets can be
// compressed, and if not why not.
PackPlan planPack(const unsigned char *rec, const unsigned char *bds, size_t recsize)
{
    PackPlan p;
    auto refuse = [&p](Refusal why, size_t keep) {
        p.refusal = why;
        p.keep = keep;
        return p;
    };
    if (rec[7] != 1) return refuse(Refusal::edition0, recsize);

    const uint32_t L = get3(rec + 4);
    const size_t bdsoffset = (size_t)(bds - rec);
    const int64_t R = g1::paddedFromIndicator(L);
    if (g1::bdsLength(get3(bds), R, (int64_t)bdsoffset).large) return refuse(Refusal::largeForm, (size_t)R);

    p.nbits = bds[10];
    if (!g1::szipWidth(p.nbits)) return refuse(Refusal::width, L);

    const unsigned flag = bds[3];
    p.bdslen = recsize - bdsoffset - 4;
    if (flag & g1::kBdsSzip) return refuse(Refusal::furtherFlags, L);
    if (complexPacking(flag) && p.bdslen <= g1::kPlainJAt) return refuse(Refusal::shortSection, L);
    p.X = g1::bdsHeaderLength(flag, complexPacking(flag) ? bds[g1::kPlainJAt] : 0) - g1::kBdsFixed;
    if (p.bdslen < g1::kBdsFixed + p.X) return refuse(Refusal::shortSection, L);

    const unsigned U = flag & g1::kBdsUnused;
    int64_t bits = g1::packedBits(p.bdslen, g1::kBdsFixed + p.X, flag);
    if (bits < 0) return refuse(Refusal::shortSection, L);
    bits -= bits % p.nbits;
    if (bits < minDataBits) return refuse(Refusal::fewBits, L);
    p.D = (size_t)bits / 8;

    // recUnpack rebuilds the section from D and X alone (unused bits 0, or
    // 8 with one zero octet to make it even) and restores the indicator
    // length kept in the section, and its check covers every octet: compress
    // only what this gives back exactly.
    size_t rebuilt = g1::kBdsFixed + p.X + p.D;
    const bool pad = rebuilt % 2 != 0;
    rebuilt += pad;
    const bool sameSection = rebuilt == p.bdslen && U == (pad ? g1::kBdsPadBits : 0) && (!pad || bds[p.bdslen - 1] == 0);
    if (!sameSection || recsize != L || p.D > g1::kMax24) return refuse(Refusal::notRestorable, L);
    return p;
}

bool overlap(const void *a, size_t na, const void *b, size_t nb)
{
    const uintptr_t pa = (uintptr_t)a, pb = (uintptr_t)b;
    return na && nb && pa < pb + nb && pb < pa + na;
}

// What recPack leaves in a buffer that held the record with zeros after it,
// for a copy: the first `result` octets of the record, zeros past its end.
int asRecord(unsigned char *dst, const unsigned char *src, size_t srcsize, int result)
{
    if (dst == src || result <= 0) return result;
    const size_t n = (size_t)result, copied = n < srcsize ? n : srcsize;
    memcpy(dst, src, copied);
    memset(dst + copied, 0, n - copied);
    return result;
}

// recPack and recPackCopy: compresses the data section of the record at src
// (srcsize octets) into dst (dstsize octets), which is src itself or a
// buffer apart. In place, szip codes into zip first; apart, it codes
// straight into the data's place in dst.
int packRecord(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, unsigned char *zip,
               size_t zipsize)
{
    const bool inPlace = src == dst;
    const unsigned char *rec = src;
    const unsigned char *pds, *bds;
    long recsize;
    if (locate(rec, asLong(srcsize), &pds, &bds, &recsize) != 0)
        return asRecord(dst, src, srcsize, within(recsize > 0 ? (size_t)recsize : 0, dstsize));
    if (!inPlace && dstsize < (size_t)recsize) {
        Warning_("recPackCopy", "destination of %zu octets for a record of %ld: record not compressed", dstsize,
                 recsize);
        return 0;
    }

    const PackPlan plan = planPack(rec, bds, (size_t)recsize);
    if (plan.refusal == Refusal::width && plan.nbits != 0 && !linfo.exchange(true))
        Print_(stderr, "%s", g1::kSzipWidthWarning);
    if (plan.refusal == Refusal::largeForm) {
        // The record is written padded to R: zeros after it, not whatever
        // the buffer held there, as far as the buffer reaches.
        const int n = asRecord(dst, src, srcsize, within(plan.keep, dstsize));
        if (n > recsize) memset(dst + recsize, 0, (size_t)(n - recsize));
        return n;
    }
    if (plan.refusal != Refusal::none) return asRecord(dst, src, srcsize, within(plan.keep, dstsize));

    const uint32_t L = get3(rec + 4);
    const size_t X = plan.X, D = plan.D;
    const size_t bdsoffset = (size_t)(bds - rec);
    const unsigned char *data = bds + g1::kBdsFixed + X;
    unsigned char *dbds = dst + bdsoffset;
    unsigned char *coded = inPlace ? zip : dbds + g1::kSzipHeader + X;
    const size_t codedAt = bdsoffset + g1::kSzipHeader + X;
    size_t clen = inPlace ? zipsize : dstsize > codedAt ? dstsize - codedAt : 0;
    int result = g1::szipCompressData(data, D, plan.nbits, coded, &clen);
    if (result != SZ_OK) szWarning("recPack", result, pds[8], pds[11], false);

    size_t newlen = g1::kSzipHeader + X + clen;
    bool accept = result == SZ_OK && gainFactor * (double)D > (double)clen && newlen + 1 <= plan.bdslen;
    if (!accept) {
        asRecord(dst, src, srcsize, (int)L);
        return within(padTo8(dst, L, dstsize), dstsize);
    }

    g1::SzipHeader h;
    h.check = szipSectionCheck(bds, plan.bdslen); // the section as it stands
    h.recordLength = L;
    h.dataLength = (uint32_t)D;
    h.packedLength = (uint32_t)clen;
    unsigned flag = (bds[3] & g1::kBdsHighBits) | g1::kBdsSzip;

    if (!inPlace) memcpy(dst, src, bdsoffset + g1::kBdsFixed);
    memmove(dbds + g1::kSzipHeader, bds + g1::kBdsFixed, X);
    if (inPlace) memcpy(dbds + g1::kSzipHeader + X, zip, clen);
    g1::szipHeaderWrite(dbds, h);
    if (newlen % 2) {
        flag += g1::kBdsPadBits;
        dbds[newlen++] = 0;
    }
    dbds[3] = (unsigned char)flag;
    put3(dbds, (uint32_t)newlen);
    memcpy(dbds + newlen, "7777", 4);
    size_t total = bdsoffset + newlen + 4;
    put3(dst + 4, (uint32_t)total);
    return within(padTo8(dst, total, dstsize), dstsize);
}

// recUnpack and recUnpackCopy: restores the record at src (zipbuffersize
// octets) into dst (gribbuffersize octets), a buffer apart; `copied` says
// whether dst holds a copy of the record already, which must then frame
// alike. Both speak as recUnpack, but of buffers given wrongly.
int unpackRecord(unsigned char *dst, size_t gribbuffersize, const unsigned char *zip, size_t zipbuffersize,
                 const char *caller, bool copied, int *restored = nullptr)
{
    if (restored) *restored = 0;
    const unsigned char *src = zip;
    // The record is rebuilt from the source: a shared buffer would be read
    // after being overwritten.
    if (overlap(dst, gribbuffersize, src, zipbuffersize)) {
        Warning_(caller, "source and destination buffers overlap: record not restored");
        return 0;
    }
    const unsigned char *spds, *sbds, *dpds, *dframed;
    long srecsize, drecsize;
    if (locate(src, asLong(zipbuffersize), &spds, &sbds, &srecsize) != 0) return 0;

    const int code = spds[8], level = spds[11];
    const size_t bdsoffset = (size_t)(sbds - src);
    const size_t sbdslen = (size_t)srecsize - bdsoffset - 4;
    if (src[7] != 1 || !g1::szipForm(sbds, sbdslen)) {
        Warning_("recUnpack", "no szip data section: code %3d level %3d", code, level);
        if (!copied) memcpy(dst, src, zipbuffersize < gribbuffersize ? zipbuffersize : gribbuffersize);
        return within(zipbuffersize, gribbuffersize);
    }

    // A destination that holds a copy of the record must frame alike.
    if (gribbuffersize < zipbuffersize) return 0;
    if (copied &&
        (locate(dst, asLong(zipbuffersize), &dpds, &dframed, &drecsize) != 0 || dframed - dst != sbds - src ||
         drecsize != srecsize))
        return 0;
    unsigned char *dbds = dst + (sbds - src);

    // Everything that the szip octets alone can tell is settled before
    // anything is written.
    SzipRestored r;
    int status = szipSizeRestored(sbds, sbdslen, r);
    const size_t total = bdsoffset + r.length + 4;
    const uint32_t kept = r.h.recordLength;
    const bool lengthDiffers = status == 0 && total <= gribbuffersize && kept != total;
    if (status == 0 && !lengthDiffers) status = szipRestore(sbds, dbds, gribbuffersize - bdsoffset - 4, r);
    if (lengthDiffers)
        Warning_("recUnpack", "stored record length %u differs from the restored %zu: code %3d level %3d", kept,
                 total, code, level);
    switch (status) {
    case SZIP_DAMAGED:
        Warning_("recUnpack", "damaged szip data section: code %3d level %3d", code, level);
        break;
    case SZIP_NO_ROOM:
        Warning_("recUnpack", "record of %zu octets does not fit into %zu octets: code %3d level %3d", total,
                 gribbuffersize, code, level);
        break;
    case SZIP_NO_MEMORY:
        Warning_("recUnpack", "SZ_MEM_ERROR code %3d level %3d", code, level);
        break;
    case SZIP_DECODE_FAILED:
        if (r.sz != SZ_OK)
            szWarning("recUnpack", r.sz, code, level, true);
        else
            Warning_("recUnpack", "unzip size differ: code %3d level %3d  ibuflen %ld ubuflen %ld", code, level,
                     (long)r.h.dataLength, (long)r.decoded);
        break;
    case SZIP_CHECK_MISMATCH:
        Warning_("recUnpack", "data section check differs (stored %04x, restored %04x): code %3d level %3d",
                 (unsigned)r.h.check, (unsigned)r.computed, code, level);
        break;
    default:
        break;
    }
    if (status != 0 || lengthDiffers) {
        // Left in its packed form, as read, rather than written as garbage.
        memcpy(dst, src, zipbuffersize);
        return within(zipbuffersize, gribbuffersize);
    }

    memcpy(dst, src, bdsoffset);
    memcpy(dbds + r.length, "7777", 4);
    put3(dst + 4, kept);
    if (restored) *restored = 1;
    return within(padTo8(dst, total, gribbuffersize), gribbuffersize);
}

} // namespace

extern "C" {

size_t gribPaddedLength(size_t length) { return g1::paddedLength(length); }

int gribGetZip(long recsize, unsigned char *gribbuffer, size_t *urecsize)
{
    if (recsize < 0) recsize = 0;
    if (gribVersion(gribbuffer, (size_t)recsize) == 2) return 0;

    const unsigned char *pds, *bds;
    long length;
    if (locate(gribbuffer, recsize, &pds, &bds, &length) != 0) return 0;

    const size_t bdslen = (size_t)(length - (bds - gribbuffer) - 4);
    const unsigned code = g1::szipCode(bds, bdslen);
    if (code == VALMORA_ZIP_SZIP)
        *urecsize = g1::szipHeaderRead(bds).recordLength;
    else if (g1::formCode(code) && g1::formSection(bds, bdslen) == 0)
        *urecsize = g1::formHeaderRead(bds).recordLength; // the packed form with a whole-record check
    else
        *urecsize = 0;
    return (int)code;
}

int recPack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize)
{
    unsigned char *rec = (unsigned char *)gribbuffer;
    return packRecord(rec, gribbuffersize, rec, gribbuffersize, (unsigned char *)zipbuffer, zipbuffersize);
}

int recPackCopy(const void *record, size_t recordsize, void *gribbuffer, size_t gribbuffersize)
{
    const unsigned char *src = (const unsigned char *)record;
    unsigned char *dst = (unsigned char *)gribbuffer;
    // The record is read while the copy is written: a shared buffer would be
    // read after being overwritten.
    if (overlap(dst, gribbuffersize, src, recordsize)) {
        Warning_("recPackCopy", "source and destination buffers overlap: record not compressed");
        return 0;
    }
    return packRecord(src, recordsize, dst, gribbuffersize, nullptr, 0);
}

int recUnpack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize)
{
    return unpackRecord((unsigned char *)gribbuffer, gribbuffersize, (const unsigned char *)zipbuffer, zipbuffersize,
                        "recUnpack", true);
}

int recUnpackCopy(const void *record, size_t recordsize, void *gribbuffer, size_t gribbuffersize)
{
    return unpackRecord((unsigned char *)gribbuffer, gribbuffersize, (const unsigned char *)record, recordsize,
                        "recUnpackCopy", false);
}

int recUnpackCopyRestored(const void *record, size_t recordsize, void *gribbuffer, size_t gribbuffersize,
                          int *restored)
{
    int dummy = 0;
    return unpackRecord((unsigned char *)gribbuffer, gribbuffersize, (const unsigned char *)record, recordsize,
                        "recUnpackCopy", false, restored ? restored : &dummy);
}

} // extern "C"
