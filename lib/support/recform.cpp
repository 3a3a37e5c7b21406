// The packed form's octets and its restoration. The check covers the whole
// plain record, so a restored record is either the one that was packed or
// reported; the lengths are checked first, so no coder ever reads or
// writes outside the buffers.
#include "recform.h"

#include "ccsds.h"
#include "crc32c.h"
#include "grib1.h"
#include "support.h"
#include "unpack.h"

#include <libaec.h>
#include <zstd.h>

#include <cstring>

namespace g1 {

namespace {

// Whether the remaining header octets describe a plain data section this
// form can hold: a known code, the width and flags in range.
bool plausible(const FormHeader &h)
{
    if (!formCode(h.code) || h.bits > 32 || h.tailLength > kFormTailMax) return false;
    const bool values = h.code != kFormZstd;
    if (values && (h.bits == 0 || formTail(h.dataLength, h.bits) != h.tailLength)) return false;
    if (h.code == kFormCcsdsPlanes && h.bits != 24 && h.bits != 32) return false;
    // What a coder does not use is zero, and so is the tail past its length.
    const bool ccsds = h.code == kFormCcsds || h.code == kFormCcsdsPlanes;
    if (!ccsds && (h.aecFlags || h.blockSize || h.rsi)) return false;
    // Only one set of flags is ever written: any other is damage, even one
    // that would decode alike.
    if (ccsds && (int)h.aecFlags != formAecFlags(h.code == kFormCcsds ? h.bits : 8)) return false;
    if (ccsds) {
        const size_t samples =
            formValues(h.dataLength, h.bits) * (h.code == kFormCcsds ? 1 : formSampleOctets(h.bits));
        if (!ccsdsValidBlocking((int)h.blockSize, (int)h.rsi) ||
            formRsi((int)h.rsi, samples, (int)h.blockSize) != (int)h.rsi)
            return false;
    }
    if (!values && h.tailLength) return false;
    for (size_t i = h.tailLength; i < kFormTailMax; ++i)
        if (h.tail[i]) return false;
    return true;
}

size_t headerOctets(unsigned plainFlag, const unsigned char *moved, size_t available)
{
    // J of complex packing is octet 16 of the plain section, the fifth
    // moved octet here.
    const bool complex = (plainFlag & kBdsSpectral) && (plainFlag & kBdsComplex);
    if (complex && available < 5) return SIZE_MAX;
    return bdsHeaderLength(plainFlag, complex ? moved[4] : 0) - kBdsFixed;
}

// Decodes the coded stream into the D data octets at out.
int decodeData(const FormHeader &h, const unsigned char *coded, unsigned char *out)
{
    const size_t D = h.dataLength;
    if (h.code == kFormZstd) {
        const size_t got = ZSTD_decompress(out, D, coded, h.codedLength);
        return !ZSTD_isError(got) && got == D ? 0 : FORM_DECODE_FAILED;
    }
    const size_t k = formValues(D, h.bits), s = formSampleOctets(h.bits), head = D - h.tailLength;
    // Values that fill whole octets are their own samples: decoded in place.
    const bool direct = h.bits % 8 == 0 && h.code != kFormZstdPlanes && h.code != kFormCcsdsPlanes;
    unsigned char *scratch = nullptr;
    if (!direct) {
        const size_t n = k * s * (h.code == kFormZstdPlanes ? 2 : 1);
        scratch = (unsigned char *)memAlloc(n ? n : 1);
        if (!scratch) return FORM_NO_MEMORY;
    }
    unsigned char *samples = direct ? out : scratch;
    int status = 0;
    if (h.code == kFormCcsds) {
        const int flags = (int)h.aecFlags;
        if (ccsdsSampleSize((int)h.bits, flags) != s)
            status = FORM_DAMAGED;
        else if (ccsdsDecode(samples, k * s, coded, h.codedLength, k, (int)h.bits, flags, (int)h.blockSize,
                             (int)h.rsi) != kCcsdsOk)
            status = FORM_DECODE_FAILED;
    } else if (h.code == kFormCcsdsPlanes) {
        // Three or four planes of 8-bit samples, as the szip form codes them.
        if (ccsdsDecode(samples, k * s, coded, h.codedLength, k * s, 8, (int)h.aecFlags, (int)h.blockSize,
                        (int)h.rsi) != kCcsdsOk)
            status = FORM_DECODE_FAILED;
        else
            samplePlanesJoin(out, samples, k, s);
    } else { // kFormZstdPlanes
        unsigned char *planes = scratch + k * s;
        const size_t got = ZSTD_decompress(planes, k * s, coded, h.codedLength);
        if (ZSTD_isError(got) || got != k * s)
            status = FORM_DECODE_FAILED;
        else
            samplePlanesJoin(samples, planes, k, s);
    }
    if (status == 0 && !direct && h.code != kFormCcsdsPlanes) samplesToBits(out, samples, k, h.bits);
    if (status == 0 && h.tailLength) memcpy(out + head, h.tail, h.tailLength);
    if (scratch) memRelease(scratch);
    return status;
}

} // namespace

bool formCode(unsigned code)
{
    return code == kFormCcsds || code == kFormCcsdsPlanes || code == kFormZstdPlanes || code == kFormZstd;
}

FormHeader formHeaderRead(const unsigned char *bds)
{
    FormHeader h;
    h.bits = bds[kFormBitsAt];
    h.plainFlag = bds[kFormFlagAt];
    h.code = bds[kFormCodeAt];
    h.aecFlags = bds[kFormAecFlagsAt];
    h.blockSize = bds[kFormBlockAt];
    h.rsi = get2(bds + kFormRsiAt);
    h.indicator = get3(bds + kFormIndicatorAt);
    h.bdsField = get3(bds + kFormBdsFieldAt);
    h.recordLength = get4(bds + kFormRecordAt);
    h.dataLength = get4(bds + kFormDataAt);
    h.codedLength = get4(bds + kFormCodedAt);
    h.crc = get4(bds + kFormCrcAt);
    h.codedCrc = get4(bds + kFormCodedCrcAt);
    h.tailLength = bds[kFormTailLengthAt];
    memcpy(h.tail, bds + kFormTailAt, kFormTailMax);
    return h;
}

void formHeaderWrite(unsigned char *bds, const FormHeader &h)
{
    bds[kFormBitsAt] = (unsigned char)h.bits;
    bds[kFormFlagAt] = (unsigned char)h.plainFlag;
    bds[kFormCodeAt] = (unsigned char)h.code;
    bds[kFormAecFlagsAt] = (unsigned char)h.aecFlags;
    bds[kFormBlockAt] = (unsigned char)h.blockSize;
    put2(bds + kFormRsiAt, h.rsi);
    put3(bds + kFormIndicatorAt, h.indicator);
    put3(bds + kFormBdsFieldAt, h.bdsField);
    put4(bds + kFormRecordAt, h.recordLength);
    put4(bds + kFormDataAt, h.dataLength);
    put4(bds + kFormCodedAt, h.codedLength);
    put4(bds + kFormCrcAt, h.crc);
    put4(bds + kFormCodedCrcAt, h.codedCrc);
    bds[kFormTailLengthAt] = (unsigned char)h.tailLength;
    memcpy(bds + kFormTailAt, h.tail, kFormTailMax);
}

unsigned formFlag(unsigned plainFlag)
{
    unsigned f = plainFlag & kBdsHighBits;
    if (!(f & kBdsSpectral)) f &= ~kBdsComplex;
    return f | kBdsSzip;
}

int formAecFlags(unsigned bits) { return AEC_DATA_MSB | AEC_DATA_PREPROCESS | (bits > 16 && bits <= 24 ? AEC_DATA_3BYTE : 0); }

size_t formBdsLength(size_t bdsOffset, size_t body)
{
    size_t len = body + body % 2;
    const size_t T = bdsOffset + len + 4;
    if ((int64_t)(T - 4) >= kLargeFromBeforeEnd) {
        const size_t R = roundUp(T, kLargeUnit), most = kLargeCorrectionMax - 4;
        if (R - T > most) len += R - T - most;
    }
    return len;
}

int formRsi(int rsi, size_t samples, int blockSize)
{
    const size_t blocks = (samples + (size_t)blockSize - 1) / (size_t)blockSize;
    return blocks < (size_t)rsi ? (blocks ? (int)blocks : 1) : rsi;
}

FormLengths formLengths(size_t total, size_t bdslen)
{
    if ((int64_t)(total - 4) < kLargeFromBeforeEnd) return {(uint32_t)total, (uint32_t)bdslen};
    const size_t R = roundUp(total, kLargeUnit);
    return {largeIndicator((int64_t)R), (uint32_t)(R - total + 4)};
}

namespace {

// Values are widened a chunk at a time through the unpack loops.
constexpr size_t kChunk = 1024;

// Packs the k values get(i) MSB first at out, the bits after the last zero:
// whole 32-bit words while values come (one store per word, not per
// octet), then the last octets.
template <class Get> void packEach(unsigned char *out, size_t k, unsigned bits, Get get)
{
    uint64_t acc = 0;
    unsigned have = 0; // bits in acc not yet stored: under 32 between values
    for (size_t i = 0; i < k; ++i) {
        acc = acc << bits | get(i);
        have += bits;
        if (have >= 32) {
            have -= 32;
            const uint32_t w = __builtin_bswap32((uint32_t)(acc >> have));
            memcpy(out, &w, 4);
            out += 4;
        }
    }
    while (have >= 8) {
        have -= 8;
        *out++ = (unsigned char)(acc >> have);
    }
    if (have) *out = (unsigned char)(acc << (8 - have));
}

// A big-endian sample of S octets.
template <size_t S> uint32_t loadSample(const unsigned char *p)
{
    uint32_t v = 0;
    for (size_t b = 0; b < S; ++b) v = v << 8 | p[b];
    return v;
}

template <size_t S> void storeSamples(unsigned char *out, const uint32_t *v, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        for (size_t b = 0; b < S; ++b) out[i * S + b] = (unsigned char)(v[i] >> (8 * (S - 1 - b)));
}

template <size_t S> void samplesToBitsOf(unsigned char *out, const unsigned char *in, size_t k, unsigned bits)
{
    packEach(out, k, bits, [&](size_t i) { return (uint64_t)loadSample<S>(in + i * S); });
}

// Values of B bits (1, 2 or 4) fill whole octets, 8 / B each: one sample
// octet per value, and back, an octet at a time with the loop unrolled.
template <unsigned B> void spreadOctets(unsigned char *out, const unsigned char *in, size_t k)
{
    constexpr unsigned per = 8 / B, mask = (1u << B) - 1;
    const size_t whole = k / per;
    for (size_t i = 0; i < whole; ++i)
        for (unsigned j = 0; j < per; ++j) out[i * per + j] = (unsigned char)(in[i] >> (8 - B * (j + 1)) & mask);
    for (size_t j = whole * per; j < k; ++j) out[j] = (unsigned char)(in[whole] >> (8 - B * (j - whole * per + 1)) & mask);
}

template <unsigned B> void gatherOctets(unsigned char *out, const unsigned char *in, size_t k)
{
    constexpr unsigned per = 8 / B;
    const size_t whole = k / per;
    for (size_t i = 0; i < whole; ++i) {
        unsigned v = 0;
        for (unsigned j = 0; j < per; ++j) v = v << B | in[i * per + j];
        out[i] = (unsigned char)v;
    }
    if (whole * per < k) {
        unsigned v = 0;
        for (size_t j = whole * per; j < k; ++j) v = v << B | in[j];
        out[whole] = (unsigned char)(v << (B * (per - (k - whole * per))));
    }
}

} // namespace

void bitsToSamples(unsigned char *out, const unsigned char *in, size_t k, unsigned bits)
{
    const size_t s = formSampleOctets(bits);
    if (k == 0) return;
    if (bits == 8 * s) {
        memcpy(out, in, k * s);
        return;
    }
    switch (bits) { // octets of whole values: spread octet by octet
    case 1: return spreadOctets<1>(out, in, k);
    case 2: return spreadOctets<2>(out, in, k);
    case 4: return spreadOctets<4>(out, in, k);
    default: break;
    }
    const size_t octets = (k * bits + 7) / 8;
    uint32_t codes[kChunk];
    for (size_t first = 0; first < k; first += kChunk) {
        const size_t n = k - first < kChunk ? k - first : kChunk;
        unpackCodes(in, octets, (uint64_t)first * bits, (int)bits, n, codes);
        valuesToSamples(out + first * s, codes, n, bits);
    }
}

void valuesToSamples(unsigned char *out, const uint32_t *in, size_t k, unsigned bits)
{
    switch (formSampleOctets(bits)) {
    case 1: return storeSamples<1>(out, in, k);
    case 2: return storeSamples<2>(out, in, k);
    case 3: return storeSamples<3>(out, in, k);
    default: return storeSamples<4>(out, in, k);
    }
}

void samplesToBits(unsigned char *out, const unsigned char *in, size_t k, unsigned bits)
{
    switch (bits) {
    case 1: return gatherOctets<1>(out, in, k);
    case 2: return gatherOctets<2>(out, in, k);
    case 4: return gatherOctets<4>(out, in, k);
    default: break;
    }
    switch (formSampleOctets(bits)) {
    case 1: return samplesToBitsOf<1>(out, in, k, bits);
    case 2: return samplesToBitsOf<2>(out, in, k, bits);
    case 3: return samplesToBitsOf<3>(out, in, k, bits);
    default: return samplesToBitsOf<4>(out, in, k, bits);
    }
}

void bitsToValues(uint32_t *out, const unsigned char *in, size_t k, unsigned bits)
{
    unpackCodes(in, (k * bits + 7) / 8, 0, (int)bits, k, out);
}

void valuesToBits(unsigned char *out, const uint32_t *in, size_t k, unsigned bits)
{
    packEach(out, k, bits, [&](size_t i) { return (uint64_t)in[i]; });
}

void samplePlanesSplit(unsigned char *out, const unsigned char *in, size_t k, size_t n)
{
    if (n == 3) return planeSplit(out, in, k);
    for (size_t i = 0; i < k; ++i)
        for (size_t p = 0; p < n; ++p) out[p * k + i] = in[i * n + p];
}

void samplePlanesJoin(unsigned char *out, const unsigned char *in, size_t k, size_t n)
{
    if (n == 3) return planeJoin(out, in, k);
    for (size_t i = 0; i < k; ++i)
        for (size_t p = 0; p < n; ++p) out[i * n + p] = in[p * k + i];
}

int formSection(const unsigned char *bds, size_t bdslen)
{
    if (bdslen < kFormHeader) return FORM_NOT_PACKED;
    const bool marked = bds[kBdsFixed - 1] == kFormMarkWidth && formCode(bds[kFormCodeAt]);
    const bool flagged = bds[3] & kBdsSzip;
    if (!marked) {
        // The flag with a new code but without the width mark: damaged.
        return flagged && formCode(bds[kFormCodeAt]) ? FORM_DAMAGED : FORM_NOT_PACKED;
    }
    // The marks without the flag, or a flag that does not match the plain
    // section's: never written so.
    if (!flagged || bds[3] != formFlag(bds[kFormFlagAt])) return FORM_DAMAGED;
    return 0;
}

int formRestore(const unsigned char *rec, size_t recLength, size_t bdsOffset, unsigned char *out, size_t capacity,
                size_t *restoredLength)
{
    if (restoredLength) *restoredLength = 0;
    if (bdsOffset + 4 > recLength) return FORM_DAMAGED;
    const unsigned char *bds = rec + bdsOffset;
    const size_t bdslen = recLength - bdsOffset - 4;
    int status = formSection(bds, bdslen);
    if (status) return status;
    const FormHeader h = formHeaderRead(bds);
    if (!plausible(h)) return FORM_DAMAGED;
    const size_t X = headerOctets(h.plainFlag, bds + kFormHeader, bdslen - kFormHeader);
    if (X == SIZE_MAX || X > bdslen - kFormHeader || h.codedLength > bdslen - kFormHeader - X)
        return FORM_DAMAGED;
    const size_t body = kFormHeader + X + h.codedLength;
    // The lengths as written: the locator's framing does not read them all.
    const FormLengths lengths = formLengths(recLength, bdslen);
    if (formBdsLength(bdsOffset, body) != bdslen || get3(rec + 4) != lengths.indicator ||
        get3(bds) != lengths.bdsField)
        return FORM_DAMAGED;
    for (size_t i = body; i < bdslen; ++i)
        if (bds[i]) return FORM_DAMAGED;
    const size_t plainBds = kBdsFixed + X + (size_t)h.dataLength;
    if ((uint64_t)bdsOffset + plainBds + 4 != h.recordLength) return FORM_DAMAGED;
    if (restoredLength) *restoredLength = h.recordLength;
    if (h.recordLength > capacity) return FORM_NO_ROOM;
    if (crc32c(0, bds + kFormHeader + X, h.codedLength) != h.codedCrc) return FORM_CHECK_MISMATCH;

    memcpy(out, rec, bdsOffset);
    put3(out + 4, h.indicator);
    unsigned char *pbds = out + bdsOffset;
    put3(pbds, h.bdsField);
    pbds[3] = (unsigned char)h.plainFlag;
    memcpy(pbds + 4, bds + 4, kBdsFixed - 5);
    pbds[kBdsFixed - 1] = (unsigned char)h.bits;
    memcpy(pbds + kBdsFixed, bds + kFormHeader, X);
    status = decodeData(h, bds + kFormHeader + X, pbds + kBdsFixed + X);
    if (status) return status;
    memcpy(pbds + plainBds, "7777", 4);
    if (crc32c(0, out, h.recordLength) != h.crc) return FORM_CHECK_MISMATCH;
    return 0;
}

} // namespace g1
