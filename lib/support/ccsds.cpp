// CCSDS coding through libaec's buffer interface. The coder keeps its
// state per stream, so two threads never share anything here.
#include "ccsds.h"

#include <libaec.h>

#include <cstring>

namespace {

// The block sizes every reader of template 5.42 accepts (libaec takes odd
// ones only with AEC_NOT_ENFORCE, which other software does not set).
constexpr int kBlockSizes[] = {8, 16, 32, 64};
// libaec's limit on blocks per reference sample interval.
constexpr int kMaxRsi = 4096;
// The restricted option set exists for narrow samples only.
constexpr int kMaxRestrictedBits = 4;

bool validWidth(int bits) { return bits >= 1 && bits <= 32; }

int result(int aec)
{
    switch (aec) {
    case AEC_OK: return kCcsdsOk;
    case AEC_MEM_ERROR: return kCcsdsMemory;
    case AEC_CONF_ERROR: return kCcsdsParam;
    default: return kCcsdsData;
    }
}

aec_stream stream(int bits, int flags, int blockSize, int rsi)
{
    aec_stream s{};
    s.bits_per_sample = (unsigned)bits;
    s.block_size = (unsigned)blockSize;
    s.rsi = (unsigned)rsi;
    s.flags = (unsigned)flags;
    return s;
}

} // namespace

size_t ccsdsSampleSize(int bits, int flags)
{
    if (!validWidth(bits)) return 0;
    if (bits <= 8) return 1;
    if (bits <= 16) return 2;
    if (bits <= 24 && (flags & AEC_DATA_3BYTE)) return 3;
    return 4;
}

bool ccsdsValidBlocking(int blockSize, int rsi)
{
    bool known = false;
    for (int b : kBlockSizes) known = known || b == blockSize;
    return known && rsi >= 1 && rsi <= kMaxRsi;
}

int ccsdsWholeRsi(size_t samples, int blockSize)
{
    const size_t blocks = blockSize > 0 ? (samples + (size_t)blockSize - 1) / (size_t)blockSize : 1;
    return blocks > (size_t)kMaxRsi ? kMaxRsi : blocks ? (int)blocks : 1;
}

int ccsdsEncode(void *dst, size_t *dstLen, const void *src, size_t n, int bits, int flags, int blockSize,
                int rsi)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    if (!dst || !dstLen || (!src && n) || size == 0 || n % size != 0 || !ccsdsValidBlocking(blockSize, rsi))
        return kCcsdsParam;
    if (n == 0) {
        *dstLen = 0;
        return kCcsdsOk;
    }
    if (ccsdsOwnFlags(flags)) return ccsdsEncodeOwn(dst, dstLen, src, n, bits, flags, blockSize, rsi);
    aec_stream s = stream(bits, flags, blockSize, rsi);
    s.next_in = static_cast<const unsigned char *>(src);
    s.avail_in = n;
    s.next_out = static_cast<unsigned char *>(dst);
    s.avail_out = *dstLen;
    const int status = aec_buffer_encode(&s);
    // Anything but a refused setting or memory means the output ran out.
    if (status != AEC_OK) return status == AEC_CONF_ERROR || status == AEC_MEM_ERROR ? result(status) : kCcsdsFull;
    // The coder stops without a word when the output is full.
    if (s.avail_in > 0 || s.avail_out == 0) return kCcsdsFull;
    *dstLen = s.total_out;
    return kCcsdsOk;
}

bool ccsdsValidOptions(int bits, int flags) { return !(flags & AEC_RESTRICTED) || bits <= kMaxRestrictedBits; }

int ccsdsDecode(void *dst, size_t dstLen, const void *src, size_t n, size_t count, int bits, int flags,
                int blockSize, int rsi)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    if (!dst || (!src && n) || size == 0 || dstLen / size < count || !ccsdsValidBlocking(blockSize, rsi) ||
        !ccsdsValidOptions(bits, flags))
        return kCcsdsParam;
    if (count == 0) return kCcsdsOk;
    if (n == 0) return kCcsdsData;
    // Our own decoder first; what it defers, libaec judges.
    if (ccsdsDecodeOwn(dst, count, src, n, bits, flags, blockSize, rsi) == kCcsdsOk) return kCcsdsOk;
    aec_stream s = stream(bits, flags, blockSize, rsi);
    s.next_in = static_cast<const unsigned char *>(src);
    s.avail_in = n;
    s.next_out = static_cast<unsigned char *>(dst);
    s.avail_out = count * size;
    const int status = aec_buffer_decode(&s);
    if (status != AEC_OK) return result(status);
    return s.total_out == count * size ? kCcsdsOk : kCcsdsData;
}

int ccsdsDecodeValues(uint32_t *values, size_t count, const void *src, size_t n, int bits, int flags,
                      int blockSize, int rsi)
{
    if (!values || !validWidth(bits)) return kCcsdsParam;
    // Native order, and no 3-octet samples: wide values land as they are,
    // narrow ones at the end of the array and are widened in place.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    flags |= AEC_DATA_MSB;
#else
    flags &= ~AEC_DATA_MSB;
#endif
    flags &= ~AEC_DATA_3BYTE;
    const size_t size = ccsdsSampleSize(bits, flags);
    if (count > SIZE_MAX / sizeof(uint32_t)) return kCcsdsParam;
    if (count > 0 && n > 0 && src &&
        ccsdsDecodeOwnValues(values, count, src, n, bits, flags, blockSize, rsi, size) == kCcsdsOk)
        return kCcsdsOk;
    const size_t offset = (sizeof(uint32_t) - size) * count;
    auto *base = reinterpret_cast<unsigned char *>(values);
    const int status = ccsdsDecode(base + offset, count * size, src, n, count, bits, flags, blockSize, rsi);
    if (status != kCcsdsOk || size == sizeof(uint32_t)) return status;
    // Sample i lies at offset + i*size, past every octet written before it
    // (offset >= (4 - size)*count), so widening from the front is safe.
    const unsigned char *in = base + offset;
    if (size == 1) {
        for (size_t i = 0; i < count; i++) values[i] = in[i];
    } else {
        for (size_t i = 0; i < count; i++) {
            uint16_t v;
            memcpy(&v, in + 2 * i, sizeof v);
            values[i] = v;
        }
    }
    return kCcsdsOk;
}
