// The szip interface of libaec copies the whole input into a buffer padded
// to whole scanlines before coding it: for a record of several megabytes a
// fresh allocation, its page faults and a copy, a twentieth of the coding
// time. Here whole scanlines are coded where they lie, and only the last,
// partial one goes through a scanline of padding, filled as that interface
// fills it, so the coded octets are the same.
#include "szip.h"

#include <libaec.h>

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

} // namespace g1
