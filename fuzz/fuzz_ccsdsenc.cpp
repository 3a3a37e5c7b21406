// The project's CCSDS coder on arbitrary samples and parameters, decoded by
// libaec: what comes back must be the samples coded (at their width), and
// an output too small must be refused without a write past it.
//
// Input: octet 0 the width (1 to 32), octet 1 the block size (low two
// bits) and the layout (MSB, preprocessor, 3-octet samples), octets 2-3 the
// interval (1 to 4096), octets 4-5 a short output room; the rest samples.
#include "ccsds.h"

#include "check.h"

#include <libaec.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kGuard = 0xC3;
constexpr size_t kGuardOctets = 8;
constexpr size_t kHeader = 6;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeader) return 0;
    const int bits = 1 + data[0] % 32;
    const int blockSize = 8 << (data[1] & 3);
    const int flags = (data[1] & 4 ? AEC_DATA_MSB : 0) | (data[1] & 8 ? AEC_DATA_PREPROCESS : 0) |
                      (data[1] & 16 ? AEC_DATA_3BYTE : 0);
    const int rsi = 1 + (data[2] << 8 | data[3]) % 4096;
    const size_t room = (size_t)(data[4] << 8 | data[5]);
    const size_t sample = ccsdsSampleSize(bits, flags);
    const size_t count = (size - kHeader) / sample, n = count * sample;
    const uint8_t *in = data + kHeader;

    // Each block at most its ID, a reference, a zero run's count or its
    // samples as they are; the last block whole.
    const size_t blocks = (count + (size_t)blockSize - 1) / (size_t)blockSize;
    const size_t bound = blocks * (size_t)(5 + 32 + 65 + blockSize * bits) / 8 + 16;
    std::vector<unsigned char> coded(bound + kGuardOctets, kGuard);
    size_t len = bound;
    int status = ccsdsEncodeOwn(coded.data(), &len, in, n, bits, flags, blockSize, rsi);
    FUZZ_CHECK(status == kCcsdsOk, "status %d, %d bits, flags %d, block %d, rsi %d, %zu samples", status, bits, flags,
               blockSize, rsi, count);
    for (size_t i = bound; i < coded.size(); ++i)
        FUZZ_CHECK(coded[i] == kGuard, "octet %zu past the room of %zu written", i, bound);

    if (count > 0) {
        std::vector<unsigned char> back(n);
        aec_stream s{};
        s.bits_per_sample = (unsigned)bits;
        s.block_size = (unsigned)blockSize;
        s.rsi = (unsigned)rsi;
        s.flags = (unsigned)flags;
        s.next_in = coded.data();
        s.avail_in = len;
        s.next_out = back.data();
        s.avail_out = back.size();
        const int aec = aec_buffer_decode(&s);
        FUZZ_CHECK(aec == AEC_OK && s.total_out == n, "libaec: %d, %zu of %zu octets, %d bits, flags %d, block %d, rsi %d",
                   aec, (size_t)s.total_out, n, bits, flags, blockSize, rsi);
        // The bits above the width are not coded.
        const bool msb = flags & AEC_DATA_MSB;
        for (size_t i = 0; i < count; ++i) {
            uint32_t want = 0, got = 0;
            for (size_t k = 0; k < sample; ++k) {
                const size_t at = i * sample + (msb ? k : sample - 1 - k);
                want = want << 8 | in[at];
                got = got << 8 | back[at];
            }
            if (bits < 32) want &= (1u << bits) - 1;
            FUZZ_CHECK(want == got, "sample %zu: %u came back as %u, %d bits, flags %d, block %d, rsi %d", i, want,
                       got, bits, flags, blockSize, rsi);
        }
    }

    // A room short of the stream is refused, and nothing past it written.
    if (room < len) {
        std::vector<unsigned char> small(room + kGuardOctets, kGuard);
        size_t got = room;
        status = ccsdsEncodeOwn(small.data(), &got, in, n, bits, flags, blockSize, rsi);
        FUZZ_CHECK(status == kCcsdsFull && got == room, "status %d, length %zu for a room of %zu short of %zu", status,
                   got, room, len);
        for (size_t i = room; i < small.size(); ++i)
            FUZZ_CHECK(small[i] == kGuard, "octet %zu past the room of %zu written", i, room);
    }
    return 0;
}
