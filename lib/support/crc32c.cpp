// CRC-32C: the crc32 instruction of SSE4.2 where the processor has it
// (chosen once, at the first call), eight table lookups per eight octets
// elsewhere.
#include "crc32c.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define VALMORA_CRC32C_X86 1
#include <immintrin.h>
#endif

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

#ifdef VALMORA_CRC32C_X86

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const void *data, size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    uint64_t c = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        c = _mm_crc32_u64(c, w);
    }
    uint32_t c32 = (uint32_t)c;
    for (; n > 0; --n, ++p) c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}

bool crc32cHaveHardware()
{
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}

#else

uint32_t crc32cHardware(uint32_t crc, const void *data, size_t n) { return crc32cTable(crc, data, n); }

bool crc32cHaveHardware() { return false; }

#endif

uint32_t crc32c(uint32_t crc, const void *data, size_t n)
{
    return crc32cHaveHardware() ? crc32cHardware(crc, data, n) : crc32cTable(crc, data, n);
}

uint32_t szipSectionCheck(const unsigned char *section, size_t n)
{
    const uint32_t c = crc32c(0, section, n) & 0xFFFF;
    return c ? c : 0xFFFF;
}
