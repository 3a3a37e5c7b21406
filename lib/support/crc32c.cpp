// CRC-32C: the crc32 instruction of SSE4.2 where the processor has it
// (chosen once, at the first call), eight table lookups per eight octets
// elsewhere.
#include "crc32c.h"

#include "cpu.h"

#include <cstring>

namespace {

// The Castagnoli polynomial, bits reversed.
constexpr uint32_t kPoly = 0x82F63B78;

// table[0] is the byte-wise table; table[k] advances a byte k octets further,
// so that eight octets take eight independent lookups.
struct Tables {
    uint32_t t[8][256];
    constexpr Tables() : t()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (kPoly & (0u - (c & 1)));
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

constexpr Tables kTables;

inline uint32_t load32le(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

} // namespace

uint32_t crc32cTable(uint32_t crc, const void *data, size_t n)
{
    const auto &t = kTables.t;
    const unsigned char *p = (const unsigned char *)data;
    uint32_t c = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t lo = load32le(p) ^ c, hi = load32le(p + 4);
        c = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
            t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
    return ~c;
}

#ifdef VALMORA_VECTOR_X86

namespace {

// The crc32 instruction gives its result three cycles after it starts but
// can start every cycle: three streams over three thirds of a stretch keep
// it busy, three times as fast as one on a large section. Their registers
// are joined by carrying the first two over the octets that follow them.
constexpr size_t kStream = 4096; // octets of each stream in a stretch

// Carries a CRC register over a fixed count of zero octets: a linear map of
// its 32 bits, by table, four lookups.
struct Carry {
    uint32_t t[4][256];

    template <typename Step> explicit Carry(Step step)
    {
        uint32_t basis[32];
        for (int i = 0; i < 32; ++i) basis[i] = step(1u << i);
        for (int k = 0; k < 4; ++k)
            for (uint32_t b = 0; b < 256; ++b) {
                uint32_t v = 0;
                for (int i = 0; i < 8; ++i)
                    if (b >> i & 1) v ^= basis[8 * k + i];
                t[k][b] = v;
            }
    }

    uint32_t operator()(uint32_t c) const
    {
        return t[0][c & 0xFF] ^ t[1][c >> 8 & 0xFF] ^ t[2][c >> 16 & 0xFF] ^ t[3][c >> 24];
    }
};

// Over one stream's octets, and over two.
const Carry &carryOne()
{
    static const Carry one([](uint32_t c) {
        for (size_t k = 0; k < kStream; ++k) c = (c >> 8) ^ kTables.t[0][c & 0xFF];
        return c;
    });
    return one;
}

const Carry &carryTwo()
{
    static const Carry two([](uint32_t c) { return carryOne()(carryOne()(c)); });
    return two;
}

inline uint64_t load64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

} // namespace

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const void *data, size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    uint64_t c = ~crc;
    if (n >= 3 * kStream) {
        const Carry &one = carryOne(), &two = carryTwo();
        for (; n >= 3 * kStream; n -= 3 * kStream, p += 3 * kStream) {
            uint64_t a = c, b = 0, d = 0;
            for (size_t i = 0; i < kStream; i += 8) {
                a = _mm_crc32_u64(a, load64(p + i));
                b = _mm_crc32_u64(b, load64(p + kStream + i));
                d = _mm_crc32_u64(d, load64(p + 2 * kStream + i));
            }
            c = two((uint32_t)a) ^ one((uint32_t)b) ^ (uint32_t)d;
        }
    }
    for (; n >= 8; n -= 8, p += 8) c = _mm_crc32_u64(c, load64(p));
    uint32_t c32 = (uint32_t)c;
    for (; n > 0; --n, ++p) c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}

bool crc32cHaveHardware() { return cpu::haveSse42(); }

#else

uint32_t crc32cHardware(uint32_t crc, const void *data, size_t n) { return crc32cTable(crc, data, n); }

bool crc32cHaveHardware() { return false; }

#endif

uint32_t crc32c(uint32_t crc, const void *data, size_t n)
{
    return crc32cHaveHardware() ? crc32cHardware(crc, data, n) : crc32cTable(crc, data, n);
}
