// Fuzz target for CCSDS decoding: the library's decoders against libaec on
// any stream. The first seven octets choose the width, the flags, the block
// size, the interval and the count of samples; the rest is the stream.
// Whenever libaec decodes the full count, ccsdsDecode and ccsdsDecodeValues
// give its samples and the own decoder gives them or defers; when libaec
// gives fewer the public decoders refuse the stream. When the count ends a
// block, libaec goes on into the next one and may complain of what it finds
// there (its output is then not to be trusted): the library may take the
// samples, and those before the last must be the ones libaec gives for one
// sample fewer. Nothing is read or written outside.
#include "ccsds.h"

#include "check.h"

#include <libaec.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kHeader = 7;
constexpr size_t kMaxCount = 1u << 14; // keeps each run short

// How far libaec gets with a stream.
enum Outcome { kFewer, kAllThenError, kAll };

// libaec's samples of the stream.
Outcome aecDecode(const uint8_t *src, size_t n, size_t count, int bits, int flags, int blockSize, int rsi,
                  std::vector<unsigned char> &out)
{
    out.assign(count * ccsdsSampleSize(bits, flags), 0);
    aec_stream s{};
    s.bits_per_sample = (unsigned)bits;
    s.block_size = (unsigned)blockSize;
    s.rsi = (unsigned)rsi;
    s.flags = (unsigned)flags;
    s.next_in = src;
    s.avail_in = n;
    s.next_out = out.data();
    s.avail_out = out.size();
    const int status = aec_buffer_decode(&s);
    if (s.total_out != out.size()) return kFewer;
    return status == AEC_OK ? kAll : kAllThenError;
}

// Blocks handed on by the own decoder must come in order, once each.
struct Blocks {
    std::vector<uint32_t> values;
    size_t next = 0;
    static void take(void *context, size_t first, const uint32_t *samples, size_t k)
    {
        auto *self = static_cast<Blocks *>(context);
        FUZZ_CHECK(first == self->next && first + k <= self->values.size(), "block at %zu of %zu, expected %zu",
                   first, k, self->next);
        memcpy(self->values.data() + first, samples, k * sizeof *samples);
        self->next = first + k;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeader) return 0;
    const int bits = 1 + data[0] % 32, flags = data[1] & 0x7F, blockSize = 8 << (data[2] & 3);
    const int rsi = 1 + (data[3] << 8 | data[4]) % 4096;
    const size_t count = 1 + (size_t)(data[5] << 8 | data[6]) % kMaxCount;
    // The stream in a buffer of its own size, so that a read past it shows.
    const std::vector<uint8_t> stream(data + kHeader, data + size);
    const uint8_t *src = stream.empty() ? nullptr : stream.data();
    const size_t n = stream.size();

    // libaec loses memory on options it refuses; the library never hands
    // it those.
    const bool valid = ccsdsValidOptions(bits, flags);
    std::vector<unsigned char> want;
    const Outcome aec = src && valid ? aecDecode(src, n, count, bits, flags, blockSize, rsi, want) : kFewer;
    const size_t sampleSize = ccsdsSampleSize(bits, flags);
    std::vector<unsigned char> got(count * sampleSize);
    const int status = ccsdsDecode(got.data(), got.size(), src, n, count, bits, flags, blockSize, rsi);
    FUZZ_CHECK(status == kCcsdsOk ? aec != kFewer : aec != kAll,
               "ccsdsDecode gave %d, libaec %d (%d bits, flags %d, %zu samples)", status, (int)aec, bits, flags, count);
    // What libaec's samples say of ours: all of them, or when it complained
    // after the last, those before it as it gives them for one fewer.
    size_t sure = aec == kAll ? got.size() : 0;
    std::vector<unsigned char> before;
    if (aec == kAllThenError && count > 1 &&
        aecDecode(src, n, count - 1, bits, flags, blockSize, rsi, before) == kAll) {
        sure = before.size();
        want = before;
    }
    FUZZ_CHECK(status != kCcsdsOk || memcmp(got.data(), want.data(), sure) == 0,
               "samples differ from libaec's (%d bits, flags %d)", bits, flags);
    std::vector<unsigned char> own(count * sampleSize);
    const int mine = ccsdsDecodeOwn(own.data(), count, src, n, bits, flags, blockSize, rsi);
    FUZZ_CHECK(mine == kCcsdsDefer || (mine == kCcsdsOk && aec != kFewer && memcmp(own.data(), want.data(), sure) == 0),
               "own decoder gave %d (%d bits, flags %d), libaec %d", mine, bits, flags, (int)aec);

    // As native values: libaec's samples in native order, 4 octets wide
    // above 16 bits.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    const int native = (flags | AEC_DATA_MSB) & ~AEC_DATA_3BYTE;
#else
    const int native = flags & ~(AEC_DATA_MSB | AEC_DATA_3BYTE);
#endif
    std::vector<unsigned char> raw;
    const Outcome aecNative = src && valid ? aecDecode(src, n, count, bits, native, blockSize, rsi, raw) : kFewer;
    std::vector<uint32_t> values(count);
    const int vstatus = ccsdsDecodeValues(values.data(), count, src, n, bits, flags, blockSize, rsi);
    FUZZ_CHECK(vstatus == kCcsdsOk ? aecNative != kFewer : aecNative != kAll, "ccsdsDecodeValues gave %d, libaec %d",
               vstatus, (int)aecNative);
    if (vstatus == kCcsdsOk && aecNative == kAll) {
        const size_t width = ccsdsSampleSize(bits, native);
        for (size_t i = 0; i < count; ++i) {
            uint32_t v = 0;
            if (width == 1) {
                v = raw[i];
            } else if (width == 2) {
                uint16_t h;
                memcpy(&h, raw.data() + 2 * i, 2);
                v = h;
            } else {
                memcpy(&v, raw.data() + 4 * i, 4);
            }
            FUZZ_CHECK(values[i] == v, "value %zu is %u, libaec's %u (%d bits, flags %d)", i, values[i], v, bits,
                       flags);
        }
    }

    // The block interface gives the own decoder's 4-octet values.
    Blocks blocks;
    blocks.values.assign(count, 0);
    if (ccsdsDecodeOwnBlocks(Blocks::take, &blocks, count, src, n, bits, flags, blockSize, rsi) == kCcsdsOk) {
        std::vector<uint32_t> direct(count);
        FUZZ_CHECK(ccsdsDecodeOwnValues(direct.data(), count, src, n, bits, flags, blockSize, rsi, 4) == kCcsdsOk &&
                       direct == blocks.values && blocks.next == count,
                   "blocks and values differ (%d bits, flags %d)", bits, flags);
    }
    return 0;
}
