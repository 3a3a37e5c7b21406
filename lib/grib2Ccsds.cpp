// GRIB2 fields between simple packing and CCSDS packing. Everything but
// sections 5 and 7 of a converted field is copied as it stands; the
// reference value, scale factors, width and type of values are copied as
// octets, so the integers and what they mean never change.
#include "grib2Ccsds.h"
#include "ccsds.h"
#include "grib1.h"
#include "recform.h"
#include "support.h"

#include <libaec.h>

#include <cstring>
#include <initializer_list>

namespace {

using g1::get2;
using g1::get4;
using g1::get8;
using g1::put2;
using g1::put4;

constexpr size_t kIndicator = 16;  // section 0
constexpr size_t kEnd = 4;         // "7777"
constexpr size_t kSimpleLen = 21;  // section 5 in template 5.0
constexpr size_t kCcsdsLen = 25;   // section 5 in template 5.42
constexpr size_t kDataHeader = 5;  // section 7 before its data
constexpr unsigned kSimple = 0, kCcsds = 42;
// A converted field must be at least 5 % smaller.
constexpr double kGainFactor = 0.95;
// ecCodes writes these: its readers find what they expect.
constexpr int kEcFlags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;
constexpr int kEcBlockSize = 32, kEcRsi = 128;
// Block sizes tried per field, each with ecCodes' interval; the best one
// codes the field with the whole field as one interval (at most 4096
// blocks).
constexpr int kBlockSizes[] = {8, 16, 32, 64};
// Block sizes are chosen on up to kSlices slices of this many values: on
// real fields they rank the block sizes as the whole does, but for ones
// within a percent, where the pick matters little. Slices of 2048 cost a
// fifth of the speed on fields of 10,000 values and gained 0.1 %.
constexpr size_t kSampleValues = 1024;
constexpr size_t kSlices = 4;


struct Section {
    size_t at, length;
    unsigned number;
};

// The sections of a GRIB2 message (after section 0, before "7777"), or
// false when they do not tile it exactly.
bool walk(const unsigned char *m, size_t size, Section *out, size_t cap, size_t *count)
{
    if (size < kIndicator + kEnd || memcmp(m, "GRIB", 4) != 0 || m[7] != 2) return false;
    const uint64_t total = get8(m + 8);
    if (total != size || memcmp(m + size - kEnd, "7777", 4) != 0) return false;
    size_t at = kIndicator, n = 0;
    while (at < size - kEnd) {
        if (size - kEnd - at < 5 || n == cap) return false;
        const size_t len = get4(m + at);
        if (len < 5 || len > size - kEnd - at) return false;
        out[n++] = {at, len, m[at + 4]};
        at += len;
    }
    *count = n;
    return at == size - kEnd;
}

// The most sections a message may have here: fields beyond are left as read.
constexpr size_t kMaxSections = 4096;

size_t packedOctets(size_t n, unsigned bits) { return (n * bits + 7) / 8; }

// Whether the section 7 of a 5.0 field holds exactly the packed bits of
// its n values with zero padding.
bool exactSimple(const unsigned char *data, size_t len, size_t n, unsigned bits)
{
    if (len != packedOctets(n, bits)) return false;
    const unsigned spare = (unsigned)(len * 8 - n * bits);
    return spare == 0 || (data[len - 1] & ((1u << spare) - 1)) == 0;
}


struct Coded {
    size_t length = 0;
    int blockSize = 0, rsi = 0;
};

// Codes the n samples (size octets each) into out (cap octets), block size
// chosen on a sample of the values and the field one interval; ecCodes'
// choice is coded in full as well where it ties on the sample.
Coded codeField(const unsigned char *samples, size_t n, size_t size, unsigned bits, unsigned char *out, size_t cap,
                unsigned char *spare)
{
    Coded best;
    // The sample: a slice of kSampleValues values per 4096 of the field, at
    // most kSlices, spread over it and each coded as a stream of its own
    // (so no jump between slices is coded), or the whole field when short.
    const size_t m = n < kSampleValues ? n : kSampleValues;
    size_t slices = n / (kSlices * kSampleValues);
    slices = slices < 1 ? 1 : slices > kSlices ? kSlices : slices;
    size_t smallest = SIZE_MAX, ecLen = SIZE_MAX;
    int block = kEcBlockSize;
    for (int b : kBlockSizes) {
        size_t len = 0;
        for (size_t i = 0; i < slices && len != SIZE_MAX; ++i) {
            const size_t first = slices > 1 ? (n - m) / (slices - 1) * i : 0;
            size_t got = cap;
            const int st = ccsdsEncode(out, &got, samples + first * size, m * size, (int)bits, kEcFlags, b, kEcRsi);
            len = st == kCcsdsOk ? len + got : SIZE_MAX;
        }
        if (len == SIZE_MAX) continue;
        if (b == kEcBlockSize) ecLen = len;
        if (len < smallest) {
            smallest = len;
            block = b;
        }
    }
    // One interval for the whole field: a reference costs its full width
    // where a coded difference costs a few bits, so fewer references make
    // a smaller stream, and libaec (ecCodes' decoder) takes up to 4096
    // blocks.
    const int rsi = ccsdsWholeRsi(n, block);
    size_t len = cap;
    if (ccsdsEncode(out, &len, samples, n * size, (int)bits, kEcFlags, block, rsi) == kCcsdsOk)
        best = {len, block, rsi};
    // ecCodes' block size (with its interval) in full too where it ties on
    // the sample; with its block size chosen, the longer interval already
    // makes it smaller on real fields. Coding it in full also where it was behind on the
    // sample by up to 1 % cost a tenth of the speed and left the benchmark's
    // real files as they were: no larger than ecCodes' conversion.
    if (block != kEcBlockSize && ecLen <= smallest) {
        size_t ec = best.length ? best.length : cap;
        if (ccsdsEncode(spare, &ec, samples, n * size, (int)bits, kEcFlags, kEcBlockSize, kEcRsi) == kCcsdsOk &&
            (best.length == 0 || ec < best.length)) {
            memcpy(out, spare, ec);
            best = {ec, kEcBlockSize, kEcRsi};
        }
    }
    return best;
}

// Writes section 5 in template 5.42 from a 5.0 one, and the reverse.
void ccsdsSection5(unsigned char *out, const unsigned char *simple, const Coded &c)
{
    memcpy(out, simple, kSimpleLen);
    put4(out, kCcsdsLen);
    put2(out + 9, kCcsds);
    out[21] = (unsigned char)kEcFlags;
    out[22] = (unsigned char)c.blockSize;
    put2(out + 23, (uint32_t)c.rsi);
}

void simpleSection5(unsigned char *out, const unsigned char *ccsds)
{
    memcpy(out, ccsds, kSimpleLen);
    put4(out, kSimpleLen);
    put2(out + 9, kSimple);
}

void setTotal(unsigned char *m, uint64_t total)
{
    put4(m + 8, (uint32_t)(total >> 32));
    put4(m + 12, (uint32_t)total);
}

size_t asRead(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize)
{
    const size_t n = srcsize < dstsize ? srcsize : dstsize;
    memcpy(dst, src, n);
    return n;
}

// The rest of the message after the last converted field, and its new
// total length; the message as read when no field was converted.
size_t finish(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, size_t out,
              size_t copiedTo, bool any, int *converted)
{
    if (!any) return asRead(src, srcsize, dst, dstsize);
    memcpy(dst + out, src + copiedTo, srcsize - copiedTo);
    out += srcsize - copiedTo;
    setTotal(dst, out);
    if (converted) *converted = 1;
    return out;
}

struct Field {
    unsigned template_ = 0, bits = 0;
    size_t values = 0;
};

Field fieldOf(const unsigned char *s5, size_t len)
{
    Field f;
    if (len < 11) return f;
    f.values = get4(s5 + 5);
    f.template_ = get2(s5 + 9);
    if (len >= kSimpleLen) f.bits = s5[19];
    return f;
}

// The 5.42 field's integers, or false when it is not one this restores.
bool decodeCcsds(const unsigned char *s5, size_t len5, const unsigned char *s7, size_t len7, uint32_t *values)
{
    const Field f = fieldOf(s5, len5);
    if (len5 != kCcsdsLen || f.template_ != kCcsds || f.bits == 0 || f.bits > 32) return false;
    const int flags = s5[21], block = s5[22], rsi = (int)get2(s5 + 23);
    if (flags & AEC_DATA_SIGNED) return false;
    return ccsdsDecodeValues(values, f.values, s7 + kDataHeader, len7 - kDataHeader, (int)f.bits, flags, block,
                             rsi) == kCcsdsOk;
}

// Whether a 5.42 field is one this turns into 5.0.
bool convertibleCcsds(const unsigned char *m, const Section &s5, const Section &s7)
{
    const Field f = fieldOf(m + s5.at, s5.length);
    // A constant field (0 bits) has no coded data and converts as it is.
    if (s5.length == kCcsdsLen && f.template_ == kCcsds && f.bits == 0) return s7.length == kDataHeader;
    return s5.length == kCcsdsLen && f.template_ == kCcsds && f.bits >= 1 && f.bits <= 32 &&
           !(m[s5.at + 21] & AEC_DATA_SIGNED) && ccsdsValidBlocking(m[s5.at + 22], (int)get2(m + s5.at + 23)) &&
           s7.length >= kDataHeader && f.values <= UINT32_MAX / 4 &&
           kDataHeader + packedOctets(f.values, f.bits) <= UINT32_MAX;
}

// The sections of a message into scratch of their own: released by the caller.
Section *sectionsOf(const unsigned char *m, size_t size, size_t *count)
{
    Section *s = (Section *)memAlloc(kMaxSections * sizeof(Section));
    if (s && !walk(m, size, s, kMaxSections, count)) {
        memRelease(s);
        return nullptr;
    }
    return s;
}

} // namespace

size_t grib2SimpleLength(const unsigned char *src, size_t srcsize)
{
    size_t count = 0;
    Section *sections = sectionsOf(src, srcsize, &count);
    if (!sections) return 0;
    size_t total = srcsize;
    for (size_t i = 0; i + 1 < count; ++i) {
        if (sections[i].number != 5) continue;
        size_t j = i + 1;
        while (j < count && sections[j].number != 7 && sections[j].number == 6) ++j;
        if (j == count || sections[j].number != 7 || !convertibleCcsds(src, sections[i], sections[j])) continue;
        // A field whose 5.0 form would be shorter may stay as it is.
        const Field f = fieldOf(src + sections[i].at, sections[i].length);
        const size_t simple = kSimpleLen + kDataHeader + packedOctets(f.values, f.bits);
        const size_t ccsds = kCcsdsLen + sections[j].length;
        if (simple > ccsds) total += simple - ccsds;
    }
    memRelease(sections);
    return total;
}

size_t grib2ToCcsds(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, int *converted)
{
    if (converted) *converted = 0;
    size_t count = 0;
    Section *sections = dstsize < srcsize ? nullptr : sectionsOf(src, srcsize, &count);
    if (!sections) return asRead(src, srcsize, dst, dstsize);

    size_t out = 0, copiedTo = 0;
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
        const Section &s5 = sections[i];
        if (s5.number != 5 || i + 1 == count) continue;
        size_t j = i + 1;
        while (j < count && sections[j].number == 6) ++j;
        if (j == count || sections[j].number != 7) continue;
        const Section &s7 = sections[j];
        const Field f = fieldOf(src + s5.at, s5.length);
        const unsigned char *data = src + s7.at + kDataHeader;
        const size_t dataLen = s7.length - kDataHeader;
        if (s5.length != kSimpleLen || f.template_ != kSimple || f.bits == 0 || f.bits > 32 ||
            f.values > SIZE_MAX / 8 || !exactSimple(data, dataLen, f.values, f.bits))
            continue;

        // Unpacked, coded, and decoded again before it is kept.
        const size_t size = ccsdsSampleSize((int)f.bits, kEcFlags), n = f.values;
        const double room = kGainFactor * (double)(kSimpleLen + s7.length) - (double)(kCcsdsLen + kDataHeader);
        if (n == 0 || room < 1) continue;
        const size_t limit = (size_t)room;
        unsigned char *scratch = (unsigned char *)memAlloc(n * sizeof(uint32_t) * 2 + n * size + 2 * limit + 64);
        if (!scratch) continue;
        uint32_t *values = (uint32_t *)scratch, *back = values + n;
        unsigned char *samples = (unsigned char *)(back + n), *coded = samples + n * size;
        unsigned char *spare = coded + limit + 32;
        g1::bitsToValues(values, data, n, f.bits);
        g1::valuesToSamples(samples, values, n, f.bits); // ecCodes' layout is the packed form's
        const Coded c = codeField(samples, n, size, f.bits, coded, limit, spare);
        const bool ok = c.length && ccsdsDecodeValues(back, n, coded, c.length, (int)f.bits, kEcFlags, c.blockSize,
                                                      c.rsi) == kCcsdsOk &&
                        memcmp(back, values, n * sizeof(uint32_t)) == 0;
        if (ok) {
            // Everything since the last converted field, then sections 5 to 7.
            memcpy(dst + out, src + copiedTo, s5.at - copiedTo);
            out += s5.at - copiedTo;
            ccsdsSection5(dst + out, src + s5.at, c);
            out += kCcsdsLen;
            memcpy(dst + out, src + s5.at + s5.length, s7.at - s5.at - s5.length); // section 6
            out += s7.at - s5.at - s5.length;
            put4(dst + out, (uint32_t)(kDataHeader + c.length));
            dst[out + 4] = 7;
            memcpy(dst + out + kDataHeader, coded, c.length);
            out += kDataHeader + c.length;
            copiedTo = s7.at + s7.length;
            any = true;
        }
        memRelease(scratch);
    }
    memRelease(sections);
    return finish(src, srcsize, dst, dstsize, out, copiedTo, any, converted);
}

size_t grib2FromCcsds(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, int *converted)
{
    if (converted) *converted = 0;
    size_t count = 0;
    const size_t need = grib2SimpleLength(src, srcsize);
    Section *sections = need == 0 || dstsize < need ? nullptr : sectionsOf(src, srcsize, &count);
    if (!sections) return asRead(src, srcsize, dst, dstsize);

    size_t out = 0, copiedTo = 0;
    bool any = false, failed = false;
    for (size_t i = 0; i < count; ++i) {
        const Section &s5 = sections[i];
        if (s5.number != 5 || i + 1 == count) continue;
        size_t j = i + 1;
        while (j < count && sections[j].number == 6) ++j;
        if (j == count || sections[j].number != 7 || !convertibleCcsds(src, s5, sections[j])) continue;
        const Section &s7 = sections[j];
        const Field f = fieldOf(src + s5.at, s5.length);
        const size_t n = f.bits ? f.values : 0, packed = packedOctets(n, f.bits);
        uint32_t *values = (uint32_t *)memAlloc(n ? n * sizeof(uint32_t) : 1);
        if (!values) continue;
        const bool decoded = n == 0 || decodeCcsds(src + s5.at, s5.length, src + s7.at, s7.length, values);
        failed = failed || !decoded;
        if (decoded) {
            memcpy(dst + out, src + copiedTo, s5.at - copiedTo);
            out += s5.at - copiedTo;
            simpleSection5(dst + out, src + s5.at);
            out += kSimpleLen;
            memcpy(dst + out, src + s5.at + s5.length, s7.at - s5.at - s5.length);
            out += s7.at - s5.at - s5.length;
            put4(dst + out, (uint32_t)(kDataHeader + packed));
            dst[out + 4] = 7;
            g1::valuesToBits(dst + out + kDataHeader, values, n, f.bits);
            out += kDataHeader + packed;
            copiedTo = s7.at + s7.length;
            any = true;
        }
        memRelease(values);
    }
    memRelease(sections);
    // A field that does not decode is damaged: the message stays as read.
    if (failed) {
        if (converted) *converted = -1;
        return asRead(src, srcsize, dst, dstsize);
    }
    return finish(src, srcsize, dst, dstsize, out, copiedTo, any, converted);
}
