// Byte planes of 3-octet values, for szip's 8-bit samples. An octet at a
// time the split runs at about an octet per cycle, which shows when the
// values come straight from the page cache; sixteen values at a time, with
// three shuffles a plane, it keeps up with memory.
#include "cpu.h"
#include "grib1.h"

namespace g1 {

namespace {

void splitFrom(unsigned char *out, const unsigned char *in, size_t k, size_t i)
{
    unsigned char *p0 = out, *p1 = out + k, *p2 = out + 2 * k;
    for (; i < k; ++i) {
        p0[i] = in[3 * i];
        p1[i] = in[3 * i + 1];
        p2[i] = in[3 * i + 2];
    }
}

void joinFrom(unsigned char *out, const unsigned char *in, size_t k, size_t i)
{
    const unsigned char *p0 = in, *p1 = in + k, *p2 = in + 2 * k;
    for (; i < k; ++i) {
        out[3 * i] = p0[i];
        out[3 * i + 1] = p1[i];
        out[3 * i + 2] = p2[i];
    }
}

#ifdef VALMORA_VECTOR_X86

// Sixteen values are 48 octets, three registers. Split: octet j of plane p
// is octet 3j + p of the 48, in register (3j + p) / 16. Join: octet t of
// register r is octet 16r + t of the 48, from plane (16r + t) % 3.
struct Masks {
    alignas(16) signed char split[3][3][16]; // [plane][register]
    alignas(16) signed char join[3][3][16];  // [register][plane]
    constexpr Masks() : split(), join()
    {
        for (int p = 0; p < 3; ++p)
            for (int r = 0; r < 3; ++r)
                for (int j = 0; j < 16; ++j) {
                    const int at = 3 * j + p - 16 * r;
                    split[p][r][j] = at >= 0 && at < 16 ? (signed char)at : (signed char)-1;
                }
        for (int r = 0; r < 3; ++r)
            for (int p = 0; p < 3; ++p)
                for (int t = 0; t < 16; ++t) {
                    const int q = 16 * r + t;
                    join[r][p][t] = q % 3 == p ? (signed char)(q / 3) : (signed char)-1;
                }
    }
};

constexpr Masks kMasks;

__attribute__((target("ssse3"))) inline __m128i pick(__m128i a, __m128i b, __m128i c, const signed char (*m)[16])
{
    const __m128i x = _mm_shuffle_epi8(a, _mm_load_si128((const __m128i *)m[0]));
    const __m128i y = _mm_shuffle_epi8(b, _mm_load_si128((const __m128i *)m[1]));
    const __m128i z = _mm_shuffle_epi8(c, _mm_load_si128((const __m128i *)m[2]));
    return _mm_or_si128(_mm_or_si128(x, y), z);
}

__attribute__((target("ssse3"))) size_t split16(unsigned char *out, const unsigned char *in, size_t k)
{
    size_t i = 0;
    for (; i + 16 <= k; i += 16) {
        const __m128i a = _mm_loadu_si128((const __m128i *)(in + 3 * i));
        const __m128i b = _mm_loadu_si128((const __m128i *)(in + 3 * i + 16));
        const __m128i c = _mm_loadu_si128((const __m128i *)(in + 3 * i + 32));
        for (int p = 0; p < 3; ++p) _mm_storeu_si128((__m128i *)(out + p * k + i), pick(a, b, c, kMasks.split[p]));
    }
    return i;
}

__attribute__((target("ssse3"))) size_t join16(unsigned char *out, const unsigned char *in, size_t k)
{
    size_t i = 0;
    for (; i + 16 <= k; i += 16) {
        const __m128i a = _mm_loadu_si128((const __m128i *)(in + i));
        const __m128i b = _mm_loadu_si128((const __m128i *)(in + k + i));
        const __m128i c = _mm_loadu_si128((const __m128i *)(in + 2 * k + i));
        for (int r = 0; r < 3; ++r) _mm_storeu_si128((__m128i *)(out + 3 * i + 16 * r), pick(a, b, c, kMasks.join[r]));
    }
    return i;
}

// Values taken sixteen at a time; the rest go one at a time.
size_t splitFast(unsigned char *out, const unsigned char *in, size_t k)
{
    return cpu::haveSsse3() ? split16(out, in, k) : 0;
}
size_t joinFast(unsigned char *out, const unsigned char *in, size_t k)
{
    return cpu::haveSsse3() ? join16(out, in, k) : 0;
}

#else

size_t splitFast(unsigned char *, const unsigned char *, size_t) { return 0; }
size_t joinFast(unsigned char *, const unsigned char *, size_t) { return 0; }

#endif

} // namespace

void planeSplit(unsigned char *out, const unsigned char *in, size_t k) { splitFrom(out, in, k, splitFast(out, in, k)); }

void planeJoin(unsigned char *out, const unsigned char *in, size_t k) { joinFrom(out, in, k, joinFast(out, in, k)); }

} // namespace g1
