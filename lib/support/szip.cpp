// The szip form: its octets, the coder, the restoration and the check.
//
// The szip interface of libaec copies the whole input into a buffer padded
// to whole scanlines before coding it: for a record of several megabytes a
// fresh allocation, its page faults and a copy, a twentieth of the coding
// time. Here whole scanlines are coded where they lie, and only the last,
// partial one goes through a scanline of padding, filled as that interface
// fills it, so the coded octets are the same.
#include "szip.h"

#include "crc32c.h"
#include "grib1.h"
#include "support.h"

#include <libaec.h>

#include <cassert>
#include <cstring>

namespace g1 {

// Scanlines hold whole blocks, so padding only ever completes the last
// scanline (the interface would otherwise pad every scanline).
static_assert(kSzipPixelsPerScanline % kSzipPixelsPerBlock == 0, "a scanline of whole blocks");

namespace {

constexpr size_t kMaxSample = 2;                                        // octets of the samples coded here
constexpr size_t kMaxLine = (size_t)kSzipPixelsPerScanline * kMaxSample; // octets of the widest scanline

// Octets per sample as the szip interface stores them.
size_t sampleSize(int bits) { return bits > 16 ? 4 : bits > 8 ? 2 : 1; }

} // namespace

int szipCompress(void *dst, size_t *dstLen, const void *src, size_t n, int nbits)
{
    SZ_com_t p = szipParams(nbits);
    const size_t size = sampleSize(p.bits_per_pixel);
    // Wider samples are coded by that interface as interleaved octet planes:
    // left to it, as are inputs it would reject or pad otherwise.
    if (size > kMaxSample || n == 0 || n % size != 0) return SZ_BufftoBuffCompress(dst, dstLen, src, n, &p);

    aec_stream s{};
    s.bits_per_sample = (unsigned)p.bits_per_pixel;
    s.block_size = (unsigned)p.pixels_per_block;
    s.rsi = (unsigned)(p.pixels_per_scanline / p.pixels_per_block);
    s.flags = (p.options_mask & SZ_MSB_OPTION_MASK ? AEC_DATA_MSB : 0) |
              (p.options_mask & SZ_NN_OPTION_MASK ? AEC_DATA_PREPROCESS : 0);
    s.next_out = static_cast<unsigned char *>(dst);
    s.avail_out = *dstLen;
    int status = aec_encode_init(&s);
    if (status != AEC_OK) return status; // the SZ codes share these values

    const auto *in = static_cast<const unsigned char *>(src);
    const size_t line = (size_t)p.pixels_per_scanline * size, whole = n / line * line;
    s.next_in = in;
    s.avail_in = whole;
    status = aec_encode(&s, AEC_NO_FLUSH);
    unsigned char tail[kMaxLine];
    if (status == AEC_OK && s.avail_in == 0 && whole < n) {
        // The last scanline, completed as the interface completes it: with
        // its last sample when the data are preprocessed, else with zeros.
        const bool repeat = p.options_mask & SZ_NN_OPTION_MASK;
        memcpy(tail, in + whole, n - whole);
        if (repeat)
            for (size_t k = n - whole; k < line; k += size) memcpy(tail + k, in + n - size, size);
        else
            memset(tail + (n - whole), 0, line - (n - whole));
        s.next_in = tail;
        s.avail_in = line;
    }
    if (status == AEC_OK) status = aec_encode(&s, AEC_FLUSH);
    // The coder stops without a word when the output is full. Input left
    // says so; a full output with none left may still hold the whole
    // stream, which only the interface can tell: rare enough to code again.
    bool ask = false;
    if (status == AEC_OK && s.avail_out == 0) {
        if (s.avail_in > 0)
            status = SZ_OUTBUFF_FULL;
        else
            ask = true;
    }
    *dstLen = s.total_out;
    aec_encode_end(&s);
    return ask ? SZ_BufftoBuffCompress(dst, dstLen, src, n, &p) : status;
}

SzipHeader szipHeaderRead(const unsigned char *bds)
{
    SzipHeader h;
    h.check = get2(bds + kSzipCheckAt);
    h.code = bds[kSzipCodeAt];
    h.recordLength = get3(bds + kSzipRecordLengthAt);
    h.dataLength = get3(bds + kSzipDataLengthAt);
    h.packedLength = get3(bds + kSzipPackedLengthAt);
    return h;
}

void szipHeaderWrite(unsigned char *bds, const SzipHeader &h)
{
    put2(bds + kSzipCheckAt, h.check);
    bds[kSzipCodeAt] = (unsigned char)h.code;
    put3(bds + kSzipRecordLengthAt, h.recordLength);
    put3(bds + kSzipDataLengthAt, h.dataLength);
    put3(bds + kSzipPackedLengthAt, h.packedLength);
}

unsigned szipCode(const unsigned char *bds, size_t bdslen)
{
    // A section too short for the szip header holds no code: its lengths
    // would lie past its end.
    if (bdslen < kSzipHeader || !(bds[3] & kBdsSzip)) return 0;
    return bds[kSzipCodeAt];
}

int szipCompressData(const unsigned char *data, size_t D, int nbits, void *work, size_t *clen)
{
    // libaec writes past its own buffers when given part of a sample.
    assert(D % szipSampleOctets(nbits) == 0);
    const unsigned char *src = data;
    unsigned char *planes = nullptr;
    if (nbits == 24) {
        planes = (unsigned char *)memAlloc(D);
        if (!planes) return SZ_MEM_ERROR;
        planeSplit(planes, data, D / 3);
        src = planes;
    }
    int result = szipCompress(work, clen, src, D, nbits);
    if (planes) memRelease(planes);
    return result;
}

} // namespace g1

uint32_t szipSectionCheck(const unsigned char *section, size_t n)
{
    const uint32_t c = crc32c(0, section, n) & 0xFFFF;
    return c ? c : 0xFFFF;
}

int szipSizeRestored(const unsigned char *bds, size_t bdslen, SzipRestored &r)
{
    if (!g1::szipForm(bds, bdslen)) return SZIP_NOT_PACKED;
    const unsigned flag = bds[3];
    // Complex packing keeps J after the szip octets: a section that ends
    // before it cannot be sized.
    if (g1::complexPacking(flag) && bdslen <= g1::kSzipJAt) return SZIP_DAMAGED;
    r.X = g1::bdsHeaderLength(flag, g1::complexPacking(flag) ? bds[g1::kSzipJAt] : 0) - g1::kBdsFixed;
    r.h = g1::szipHeaderRead(bds);
    r.nbits = bds[10];
    // Whole samples only: libaec writes past its buffers when asked for part
    // of one.
    if (!g1::szipWidth(r.nbits) || g1::kSzipHeader + r.X + r.h.packedLength > bdslen || r.h.dataLength == 0 ||
        r.h.dataLength % g1::szipSampleOctets(r.nbits) != 0)
        return SZIP_DAMAGED;
    r.length = g1::kBdsFixed + r.X + r.h.dataLength;
    r.pad = r.length % 2 != 0;
    r.length += r.pad;
    if (r.length > g1::kMax24) return SZIP_DAMAGED;
    return 0;
}

int szipRestore(const unsigned char *bds, unsigned char *out, size_t capacity, SzipRestored &r)
{
    const g1::SzipHeader &h = r.h;
    const size_t X = r.X, length = r.length;
    const int nbits = r.nbits;
    if (length > capacity) return SZIP_NO_ROOM;

    memcpy(out, bds, g1::kBdsFixed);
    memcpy(out + g1::kBdsFixed, bds + g1::kSzipHeader, X);
    unsigned char *data = out + g1::kBdsFixed + X;
    unsigned char *planes = nullptr;
    if (nbits == 24) {
        planes = (unsigned char *)memAlloc(h.dataLength);
        if (!planes) return SZIP_NO_MEMORY;
    }

    int status = 0;
    SZ_com_t params = g1::szipParams(nbits);
    r.decoded = h.dataLength;
    r.sz = SZ_BufftoBuffDecompress(planes ? planes : data, &r.decoded, bds + g1::kSzipHeader + X, h.packedLength,
                                   &params);
    if (r.sz == SZ_MEM_ERROR) {
        status = SZIP_NO_MEMORY;
    } else if (r.sz != SZ_OK || r.decoded != h.dataLength) {
        status = SZIP_DECODE_FAILED;
    } else {
        if (planes) g1::planeJoin(data, planes, h.dataLength / 3);
        unsigned plainFlag = bds[3] & g1::kBdsHighBits & ~g1::kBdsSzip;
        if (r.pad) {
            plainFlag += g1::kBdsPadBits;
            out[length - 1] = 0;
        }
        out[3] = (unsigned char)plainFlag;
        g1::put3(out, (uint32_t)length);
        // 0: packed before the check was kept; such records restore as before.
        if (h.check != 0) {
            r.computed = szipSectionCheck(out, length);
            if (r.computed != h.check) status = SZIP_CHECK_MISMATCH;
        }
    }
    if (planes) memRelease(planes);
    return status;
}

int szipRestoreSection(const unsigned char *bds, size_t bdslen, unsigned char *out, size_t capacity,
                       size_t *restoredLength)
{
    SzipRestored r;
    int status = szipSizeRestored(bds, bdslen, r);
    if (status == 0) status = szipRestore(bds, out, capacity, r);
    if (restoredLength) *restoredLength = status == SZIP_NOT_PACKED || status == SZIP_DAMAGED ? 0 : r.length;
    return status;
}
