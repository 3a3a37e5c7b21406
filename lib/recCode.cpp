// One record in, its packed form out, and back: the choice of coder per
// record for the packed GRIB1 form, the code-128 form on request, and the
// GRIB2 conversion between simple packing and CCSDS packing.
//
// The coder is chosen on a sample of the values (slices spread over the
// field), so that trying several costs a fraction of coding the record
// once; the chosen one then codes the whole, and the result is restored
// and checked before it is kept.
#include "valmora.h"
#include "ccsds.h"
#include "crc32c.h"
#include "grib2Ccsds.h"
#include "recCode.h"
#include "grib1.h"
#include "recform.h"
#include "szip.h"
#include "support.h"

#include <zstd.h>

#include <climits>
#include <initializer_list>
#include <cstring>

namespace {

using namespace g1;

// Fewer data bits than this are not worth a packed form (as for code 128).
constexpr size_t kMinDataBits = 2048;
// A packed form is kept only when its data section is at least 5 % smaller.
constexpr double kGainFactor = 0.95;
// zstd's level: 3 codes at several hundred MB/s; higher levels gained
// little on the fields zstd wins (categories, long runs) for far more time.
constexpr int kZstdLevel = 3;
// The candidates are tried on up to this many values, in kSlices slices.
constexpr size_t kSampleValues = 8192;
constexpr size_t kSlices = 4;
// zstd's whole result is taken without coding CCSDS in full too when it is
// below this share of what CCSDS promised on the sample: the sample's error
// on real fields stays well inside it.
constexpr double kZstdMargin = 0.9;
// zstd is tried on this many data octets.
constexpr size_t kZstdSample = 16384;
// Reference sample intervals: block sizes are compared on the sample with
// 128 blocks, the interval ecCodes writes, whose references fall where the
// sample's slices meet; the record is then coded with one interval for the
// whole field (at most 4096 blocks): a reference costs its full width
// where a coded difference costs a few bits, and this decoder holds no
// more for a longer interval.
constexpr int kRsiShort = 128;

// One zstd context per thread, kept: making one costs more than coding a
// small record.
struct ZstdContext {
    ZSTD_CCtx *cctx = nullptr;
    ~ZstdContext() { ZSTD_freeCCtx(cctx); }
    ZSTD_CCtx *get()
    {
        if (!cctx) cctx = ZSTD_createCCtx();
        return cctx;
    }
};
thread_local ZstdContext zstdContext;

struct Coder {
    unsigned code = 0;
    int blockSize = 0, rsi = 0;
};

bool overlap(const void *a, size_t na, const void *b, size_t nb)
{
    const uintptr_t pa = (uintptr_t)a, pb = (uintptr_t)b;
    return na && nb && pa < pb + nb && pb < pa + na;
}

// Codes n octets at src (samples as `c` wants them) into dst of *len octets.
bool encodeWith(const Coder &c, unsigned bits, const unsigned char *src, size_t n, unsigned char *dst, size_t *len,
                unsigned char *scratch)
{
    if (c.code == kFormCcsds || c.code == kFormCcsdsPlanes) {
        const int b = c.code == kFormCcsds ? (int)bits : 8;
        const int flags = c.code == kFormCcsds ? formAecFlags(bits) : formAecFlags(8);
        return ccsdsEncode(dst, len, src, n, b, flags, c.blockSize, c.rsi) == kCcsdsOk;
    }
    if (c.code == kFormZstdPlanes) {
        const size_t s = formSampleOctets(bits);
        samplePlanesSplit(scratch, src, n / s, s);
        src = scratch;
    }
    ZSTD_CCtx *cctx = zstdContext.get();
    if (!cctx) return false;
    const size_t got = ZSTD_compressCCtx(cctx, dst, *len, src, n, kZstdLevel);
    if (ZSTD_isError(got)) return false;
    *len = got;
    return true;
}

// Samples for coder `code`, from k values of `bits` bits packed at data:
// CCSDS takes 1-4 octet samples, the plane coder 24-bit values as they
// stand (split later).
void toSamples(unsigned char *out, const unsigned char *data, size_t k, unsigned bits)
{
    if (bits % 8 == 0)
        memcpy(out, data, k * bits / 8);
    else
        bitsToSamples(out, data, k, bits);
}

struct Plan {
    bool ok = false;
    unsigned bits = 0, plainFlag = 0;
    size_t X = 0, D = 0, bdsOffset = 0, bdslen = 0;
    const unsigned char *bds = nullptr;
};

// Whether the framed edition 1 record can take the packed form.
Plan planRecord(const unsigned char *rec, size_t recsize, const unsigned char *bds)
{
    Plan p;
    if (rec[7] != 1) return p;
    p.bdsOffset = (size_t)(bds - rec);
    p.bdslen = recsize - p.bdsOffset - 4;
    p.bds = bds;
    p.plainFlag = bds[3];
    p.bits = bds[10];
    if (p.plainFlag & kBdsSzip || p.bits == 0 || p.bits > 32 || recsize > UINT32_MAX) return p;
    const bool secondOrder = (p.plainFlag & kBdsComplex) && !(p.plainFlag & kBdsSpectral);
    const bool complex = (p.plainFlag & kBdsComplex) && (p.plainFlag & kBdsSpectral);
    if (secondOrder) {
        p.X = 0; // its data are no n-bit values: coded as octets
    } else {
        if (complex && p.bdslen < kBdsFixed + 5) return p;
        p.X = bdsHeaderLength(p.plainFlag, complex ? bds[kBdsFixed + 4] : 0) - kBdsFixed;
    }
    if (p.bdslen < kBdsFixed + p.X) return p;
    p.D = p.bdslen - kBdsFixed - p.X;
    p.ok = p.D * 8 >= kMinDataBits;
    return p;
}

// zstd's ratio on the D data octets of k values of `bits` bits, from
// kSlices slices of kZstdSample octets together (the whole when shorter):
// as they stand, or (planes) as samples split into byte planes. zstd needs
// context, so its sample is counted in octets and is larger than CCSDS's.
// 0 when it fails.
double zstdRatio(const unsigned char *data, size_t D, size_t k, unsigned bits, bool planes)
{
    const size_t s = formSampleOctets(bits);
    // Slices of whole octets and whole values: multiples of 8 values.
    const size_t octetsPerValue8 = planes ? 8 * s : bits; // octets of 8 values
    size_t per = kZstdSample / kSlices / octetsPerValue8 * 8, slices = kSlices;
    if (per == 0 || per * slices >= k) {
        per = k;
        slices = 1;
    }
    const size_t octets = planes ? per * s : slices > 1 ? per * bits / 8 : D;
    const size_t room = ZSTD_compressBound(octets);
    unsigned char *work = (unsigned char *)memAlloc(room + (planes ? 2 * octets : 0));
    ZSTD_CCtx *cctx = zstdContext.get();
    if (!work || !cctx) {
        if (work) memRelease(work);
        return 0;
    }
    unsigned char *samples = work + room, *split = samples + octets;
    size_t coded = 0, in = 0;
    for (size_t i = 0; i < slices && coded != SIZE_MAX; ++i) {
        const size_t first = slices > 1 ? (k - per) / (slices - 1) * i / 8 * 8 : 0;
        const unsigned char *at = data + first * bits / 8;
        if (planes) {
            toSamples(samples, at, per, bits);
            samplePlanesSplit(split, samples, per, s);
            at = split;
        }
        const size_t got = ZSTD_compressCCtx(cctx, work, room, at, octets, kZstdLevel);
        coded = ZSTD_isError(got) ? SIZE_MAX : coded + got;
        in += slices > 1 ? per * bits / 8 : D;
    }
    memRelease(work);
    return coded == SIZE_MAX ? 0 : (double)coded / (double)in;
}

// What the sample said: the smallest coder, the smallest CCSDS coder, and
// their coded sizes on the sample of `taken` values.
struct Choice {
    Coder best, ccsds;
    size_t bestLen = SIZE_MAX, ccsdsLen = SIZE_MAX, taken = 0;
};

// The coder for the record's values, chosen on a sample. zstd's gain on a
// sample says less about the whole field than CCSDS's (a slice of a flat
// area flatters it), so packForm may code a record whose sample zstd wins
// both ways.
Choice chooseCoder(const Plan &p, const unsigned char *data, unsigned char *scratch, size_t scratchLen)
{
    Choice ch;
    const unsigned bits = p.bits;
    const size_t s = formSampleOctets(bits), k = formValues(p.D, bits);
    // The sample: kSlices slices, each starting on a whole octet (a multiple
    // of 8 values); a field no longer than the sample is its own sample,
    // whole, so its choice is exact.
    const size_t want = k < kSampleValues ? k : kSampleValues;
    size_t per = want / kSlices / 8 * 8, slices = kSlices;
    if (per == 0 || k <= kSampleValues) {
        per = k;
        slices = 1;
    }
    const size_t n = per * slices * s;
    unsigned char *sample = scratch, *coded = sample + n, *planes = coded + 2 * n + 1024;
    if ((size_t)(planes - scratch) + n > scratchLen) return ch;
    size_t taken = 0;
    for (size_t i = 0; i < slices; ++i) {
        const size_t first = slices > 1 ? (k - per) / (slices - 1) * i / 8 * 8 : 0;
        toSamples(sample + taken * s, data + first * bits / 8, per, bits);
        taken += per;
    }
    ch.taken = taken;

    auto tryCoder = [&](const Coder &c, const unsigned char *in) {
        size_t len = 2 * n + 1024;
        if (encodeWith(c, bits, in, n, coded, &len, nullptr) && len < ch.bestLen) {
            ch.bestLen = len;
            ch.best = c;
        }
    };
    // On 8192 values the block sizes rank as on the whole field wherever
    // they differ by more than a fraction of a percent (the benchmark's
    // real fields; coding the runner-up in full too gained nothing there).
    for (int b : {8, 16, 32, 64}) tryCoder({kFormCcsds, b, kRsiShort}, sample);
    if (bits == 24 || bits == 32) {
        // The plane coder codes the planes of the sample, not its
        // interleaved octets.
        samplePlanesSplit(planes, sample, taken, s);
        for (int b : {8, 16, 32}) tryCoder({kFormCcsdsPlanes, b, kRsiShort}, planes);
    }
    // The whole field's interval for the whole field.
    if (ch.best.code == kFormCcsds) ch.best.rsi = ccsdsWholeRsi(k, ch.best.blockSize);
    ch.ccsds = ch.best;
    ch.ccsdsLen = ch.bestLen;
    // zstd on the byte planes of the samples, and on the packed octets as
    // they stand (at a few bits per value they hold the pattern of a mask
    // or a category whole), compared by ratio.
    const double octets = (double)(taken * bits) / 8;
    for (const Coder z : {Coder{kFormZstdPlanes, 0, 0}, Coder{kFormZstd, 0, 0}}) {
        const double ratio = zstdRatio(data, p.D, k, bits, z.code == kFormZstdPlanes);
        if (ratio > 0 && ratio * octets < (double)ch.bestLen) {
            ch.best = z;
            ch.bestLen = (size_t)(ratio * octets);
        }
    }
    return ch;
}

// The packed record of a planned record into dst (dstsize octets); its
// length, or 0 when not worth it or it would not come back.
size_t packForm(const unsigned char *rec, size_t recsize, const Plan &p, unsigned char *dst, size_t dstsize)
{
    const unsigned char *data = p.bds + kBdsFixed + p.X;
    const bool values = !((p.plainFlag & kBdsComplex) && !(p.plainFlag & kBdsSpectral));
    const size_t k = values ? formValues(p.D, p.bits) : 0, s = formSampleOctets(p.bits);
    const size_t sampled = values ? k * s : 0;
    // The samples of every value and their planes; the sample, its coded
    // form and its planes while choosing.
    const size_t sampleRoom = (k < kSampleValues ? k : kSampleValues) * s;
    const size_t whole = 3 * sampled + 1024, choosing = 4 * sampleRoom + 1024;
    const size_t scratchLen = whole > choosing ? whole : choosing;
    unsigned char *scratch = (unsigned char *)memAlloc(scratchLen);
    if (!scratch) return 0;

    Choice ch;
    if (values)
        ch = chooseCoder(p, data, scratch, scratchLen);
    else
        ch.best = {kFormZstd, 0, 0};
    Coder c = ch.best;
    size_t result = 0;
    const size_t codedAt = p.bdsOffset + kFormHeader + p.X;
    const double limit = kGainFactor * (double)p.bdslen - (double)(kFormHeader + p.X);
    if (c.code != 0 && limit > 0 && dstsize > codedAt + 4) {
        size_t len = (size_t)limit;
        if (len > dstsize - codedAt - 4) len = dstsize - codedAt - 4;
        // Whole samples of every value, made when a sample coder needs
        // them; planes for the plane coders.
        unsigned char *samples = scratch, *aux = scratch + sampled, *other = aux + sampled;
        bool made = false;
        auto code = [&](Coder &with, unsigned char *out, size_t *n) {
            if (with.code == kFormZstd) return encodeWith(with, 8, data, p.D, out, n, nullptr);
            if (!made) toSamples(samples, data, k, p.bits);
            made = true;
            if (with.code == kFormCcsds) with.rsi = formRsi(with.rsi, k, with.blockSize);
            if (with.code != kFormCcsdsPlanes) return encodeWith(with, p.bits, samples, sampled, out, n, aux);
            with.rsi = formRsi(with.rsi, s * k, with.blockSize);
            samplePlanesSplit(aux, samples, k, s);
            return encodeWith(with, p.bits, aux, sampled, out, n, nullptr);
        };
        bool ok = code(c, dst + codedAt, &len);
        // A sample may flatter zstd: unless its whole result keeps a clear
        // margin below what the sample promised for CCSDS, CCSDS is coded
        // in full as well and the smaller kept.
        const bool zstd = c.code == kFormZstd || c.code == kFormZstdPlanes;
        if (values && zstd && ch.ccsds.code != 0) {
            const double promised = (double)ch.ccsdsLen * (double)k / (double)(ch.taken ? ch.taken : 1);
            if (!ok || (double)len > kZstdMargin * promised) {
                size_t clen = ok ? len : (size_t)limit;
                if (clen > sampled + 1024) clen = sampled + 1024;
                Coder fallback = ch.ccsds;
                if (code(fallback, other, &clen) && (!ok || clen < len)) {
                    memcpy(dst + codedAt, other, clen);
                    len = clen;
                    c = fallback;
                    ok = true;
                }
            }
        }
        const size_t body = kFormHeader + p.X + len;
        const size_t bdslen = formBdsLength(p.bdsOffset, body);
        const size_t total = p.bdsOffset + bdslen + 4;
        if (ok && (double)bdslen <= kGainFactor * (double)p.bdslen && total <= dstsize) {
            FormHeader h;
            h.bits = p.bits;
            h.plainFlag = p.plainFlag;
            h.code = c.code;
            if (c.code == kFormCcsds || c.code == kFormCcsdsPlanes) {
                h.aecFlags = (unsigned)formAecFlags(c.code == kFormCcsds ? p.bits : 8);
                h.blockSize = (unsigned)c.blockSize;
                h.rsi = (unsigned)c.rsi;
            }
            h.indicator = get3(rec + 4);
            h.bdsField = get3(p.bds);
            h.recordLength = (uint32_t)recsize;
            h.dataLength = (uint32_t)p.D;
            h.codedLength = (uint32_t)len;
            h.crc = crc32c(0, rec, recsize);
            h.codedCrc = crc32c(0, dst + codedAt, len);
            if (c.code != kFormZstd) { // zstd on the octets holds the tail itself
                h.tailLength = (unsigned)formTail(p.D, p.bits);
                memcpy(h.tail, data + p.D - h.tailLength, h.tailLength);
            }
            memcpy(dst, rec, p.bdsOffset + kBdsFixed);
            unsigned char *bds = dst + p.bdsOffset;
            bds[3] = (unsigned char)formFlag(p.plainFlag);
            bds[kBdsFixed - 1] = (unsigned char)kFormMarkWidth;
            formHeaderWrite(bds, h);
            memcpy(bds + kFormHeader, p.bds + kBdsFixed, p.X);
            memset(bds + body, 0, bdslen - body);
            memcpy(bds + bdslen, "7777", 4);
            const FormLengths lengths = formLengths(total, bdslen);
            put3(dst + 4, lengths.indicator);
            put3(bds, lengths.bdsField);
            result = total;
        }
    }
    memRelease(scratch);
    if (result == 0) return 0;

    // Kept only when it comes back: restored into scratch and checked.
    unsigned char *back = (unsigned char *)memAlloc(recsize);
    int status = back ? formRestore(dst, result, p.bdsOffset, back, recsize, nullptr) : FORM_NO_MEMORY;
    if (back) memRelease(back);
    return status == 0 ? result : 0;
}

// Zero octets after `length` up to its padded length, where they fit.
size_t padded(unsigned char *dst, size_t length, size_t dstsize)
{
    const size_t n = paddedLength(length);
    if (n > dstsize) return length;
    memset(dst + length, 0, n - length);
    return n;
}

int asInt(size_t n) { return n > (size_t)INT_MAX ? INT_MAX : (int)n; }

// The record copied as read, padded.
int copyAsRead(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize)
{
    const size_t n = srcsize < dstsize ? srcsize : dstsize;
    memcpy(dst, src, n);
    return asInt(padded(dst, n, dstsize));
}

// Frames an edition 1 record; its length and BDS, or false.
bool frame1(const unsigned char *rec, size_t size, const unsigned char **bds, size_t *recsize)
{
    unsigned char *pds, *gds, *bms, *b;
    long length;
    if (size < 8 || rec[7] != 1) return false;
    if (grib1Sections(const_cast<unsigned char *>(rec), size > (size_t)LONG_MAX ? LONG_MAX : (long)size, &pds, &gds,
                      &bms, &b, &length) != 0)
        return false;
    *bds = b;
    *recsize = (size_t)length;
    return true;
}

} // namespace

size_t recPlainLength(const unsigned char *rec, size_t size, int options)
{
    const int edition = gribVersion(rec, size);
    if (edition == 2) {
        if (!(options & VALMORA_PACK_GRIB2) || size < 16 || get8(rec + 8) > size) return 0;
        return grib2SimpleLength(rec, (size_t)get8(rec + 8));
    }
    const unsigned char *bds;
    size_t recsize;
    if (!frame1(rec, size, &bds, &recsize)) return 0;
    const size_t bdslen = recsize - (size_t)(bds - rec) - 4;
    const int form = formSection(bds, bdslen);
    // A damaged one is handed to the restore, which reports it.
    if (form == FORM_DAMAGED) return recsize;
    return form == 0 ? formHeaderRead(bds).recordLength : 0;
}

int recFormPlain(const unsigned char *rec, size_t size, unsigned char **plain, size_t *plainLen)
{
    *plain = nullptr;
    *plainLen = 0;
    const unsigned char *bds;
    size_t recsize;
    if (gribVersion(rec, size) != 1 || !frame1(rec, size, &bds, &recsize)) return 0;
    const size_t bdsOffset = (size_t)(bds - rec);
    const int form = formSection(bds, recsize - bdsOffset - 4);
    if (form == FORM_NOT_PACKED) return 0;
    if (form != 0) return form;
    const size_t need = formHeaderRead(bds).recordLength;
    unsigned char *out = (unsigned char *)memAlloc(need ? need : 1);
    if (!out) return FORM_NO_MEMORY;
    size_t got = 0;
    const int status = formRestore(rec, recsize, bdsOffset, out, need, &got);
    if (status != 0) {
        memRelease(out);
        return status;
    }
    *plain = out;
    *plainLen = got;
    return 0;
}

extern "C" {

int recPackRecord(const void *record, size_t recordsize, void *buffer, size_t buffersize, int options, int *coded)
{
    const unsigned char *src = (const unsigned char *)record;
    unsigned char *dst = (unsigned char *)buffer;
    if (coded) *coded = 0;
    if (!src || !dst || overlap(dst, buffersize, src, recordsize)) {
        Warning_("recPackRecord", "no buffer, or source and destination buffers overlap: record not compressed");
        return 0;
    }
    if (buffersize < recordsize) {
        Warning_("recPackRecord", "destination of %zu octets for a record of %zu: record not compressed", buffersize,
                 recordsize);
        return 0;
    }
    const int edition = gribVersion(src, recordsize);
    if (edition == 2) {
        // The total length (octets 9-16) must be there and within the record.
        const size_t length = recordsize >= 16 ? (size_t)g1::get8(src + 8) : recordsize + 1;
        if (!(options & VALMORA_PACK_GRIB2) || length > recordsize) return copyAsRead(src, recordsize, dst, buffersize);
        return asInt(padded(dst, grib2ToCcsds(src, length, dst, buffersize, coded), buffersize));
    }
    if (options & VALMORA_PACK_COMPAT) {
        const int n = recPackCopy(src, recordsize, dst, buffersize);
        // Coded when the copy is in the szip form and the record was not.
        const unsigned char *bds, *out;
        size_t recsize, outsize;
        if (coded && n > 0 && frame1(dst, (size_t)n, &out, &outsize) && frame1(src, recordsize, &bds, &recsize))
            *coded = szipForm(out, outsize - (size_t)(out - dst) - 4) && !szipForm(bds, recsize - (size_t)(bds - src) - 4);
        return n;
    }
    const unsigned char *bds;
    size_t recsize;
    if (!frame1(src, recordsize, &bds, &recsize)) return copyAsRead(src, recordsize, dst, buffersize);
    const Plan p = planRecord(src, recsize, bds);
    const size_t n = p.ok ? packForm(src, recsize, p, dst, buffersize) : 0;
    if (n == 0) return copyAsRead(src, recsize, dst, buffersize);
    if (coded) *coded = 1;
    return asInt(padded(dst, n, buffersize));
}

int recUnpackRecord(const void *record, size_t recordsize, void *buffer, size_t buffersize, int options,
                    int *restored)
{
    const unsigned char *src = (const unsigned char *)record;
    unsigned char *dst = (unsigned char *)buffer;
    if (restored) *restored = 0;
    if (!src || !dst || overlap(dst, buffersize, src, recordsize)) {
        Warning_("recUnpackRecord", "no buffer, or source and destination buffers overlap: record not restored");
        return 0;
    }
    const int edition = gribVersion(src, recordsize);
    if (edition == 2) {
        if (!(options & VALMORA_PACK_GRIB2)) return copyAsRead(src, recordsize, dst, buffersize);
        const size_t length = recordsize >= 16 ? (size_t)g1::get8(src + 8) : recordsize + 1;
        if (length > recordsize) return copyAsRead(src, recordsize, dst, buffersize);
        const size_t need = grib2SimpleLength(src, length);
        if (need > buffersize) {
            Warning_("recUnpackRecord", "message of %zu octets does not fit into %zu octets", need, buffersize);
            if (restored) *restored = -1;
            return copyAsRead(src, length, dst, buffersize);
        }
        const size_t n = grib2FromCcsds(src, length, dst, buffersize, restored);
        if (restored && *restored < 0) Warning_("recUnpackRecord", "damaged CCSDS field: message left as read");
        return asInt(padded(dst, n, buffersize));
    }
    const unsigned char *bds;
    size_t recsize;
    if (!frame1(src, recordsize, &bds, &recsize)) return copyAsRead(src, recordsize, dst, buffersize);
    const size_t bdsOffset = (size_t)(bds - src), bdslen = recsize - bdsOffset - 4;
    const unsigned char *pds = src + 8;
    const int code = pds[8], level = pds[11];
    if (szipForm(bds, bdslen)) {
        int done = 0;
        const int n = recUnpackCopyRestored(src, recsize, dst, buffersize, &done);
        if (restored) *restored = done ? 1 : -1;
        return n;
    }
    size_t plain = 0;
    int status = formRestore(src, recsize, bdsOffset, dst, buffersize, &plain);
    switch (status) {
    case 0:
        if (restored) *restored = 1;
        return asInt(padded(dst, plain, buffersize));
    case FORM_NOT_PACKED:
        return copyAsRead(src, recsize, dst, buffersize);
    case FORM_DAMAGED:
        Warning_("recUnpackRecord", "damaged packed data section: code %3d level %3d", code, level);
        break;
    case FORM_NO_ROOM:
        Warning_("recUnpackRecord", "record of %zu octets does not fit into %zu octets: code %3d level %3d", plain,
                 buffersize, code, level);
        break;
    case FORM_NO_MEMORY:
        Warning_("recUnpackRecord", "no memory to restore the record: code %3d level %3d", code, level);
        break;
    case FORM_DECODE_FAILED:
        Warning_("recUnpackRecord", "packed data cannot be decoded: code %3d level %3d", code, level);
        break;
    default:
        Warning_("recUnpackRecord", "record check differs: code %3d level %3d", code, level);
        break;
    }
    // Left in its packed form, as read, rather than written as garbage.
    if (restored) *restored = -1;
    return copyAsRead(src, recsize, dst, buffersize);
}

} // extern "C"
