// The unpack loops. Built with -O3 under GCC whatever the build type: they
// are the decoder's hot path.
#include "unpack.h"

#include "cpu.h"
#include "grib1.h"

#include <cmath>
#include <cstring>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("O3")
#endif

namespace {

#define VALMORA_ALWAYS_INLINE inline __attribute__((always_inline))

inline uint64_t loadBE64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return __builtin_bswap64(w);
}

// Calls take(i, u) for the n codes u of `bits` bits (1 to 32) from bit pos
// on: eight-octet loads while they lie within the data, then octet by
// octet, zero past its end.
template <typename Take>
VALMORA_ALWAYS_INLINE void forCodes(const unsigned char *p, size_t octets, uint64_t pos, int bits, size_t n, Take take)
{
    const unsigned shift = 64u - (unsigned)bits;
    const uint64_t limit = octets >= 8 ? (uint64_t)(octets - 8) * 8 : 0;
    size_t i = 0;
    if (octets >= 8)
        for (; i < n && pos <= limit; ++i, pos += (unsigned)bits)
            take(i, (loadBE64(p + (pos >> 3)) << (pos & 7)) >> shift);
    for (; i < n; ++i, pos += (unsigned)bits) {
        uint64_t w = 0;
        const uint64_t at = pos >> 3;
        for (uint64_t k = 0; k < 8; ++k) w = w << 8 | (at + k < octets ? p[at + k] : 0);
        take(i, (w << (pos & 7)) >> shift);
    }
}

// Codes first .. first + n - 1 of a stream of `bits`-bit codes.
template <typename T>
VALMORA_ALWAYS_INLINE void unpackBody(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    const unsigned char *p = r.data;
    const double ref = r.ref, step = r.step, dec = r.dec;
    switch (bits) {
    case 8:
        p += first;
        for (size_t i = 0; i < n; ++i) out[i] = (T)(((double)p[i] * step + ref) * dec);
        return;
    case 16:
        p += 2 * first;
        for (size_t i = 0; i < n; ++i) {
            uint16_t w;
            memcpy(&w, p + 2 * i, 2);
            out[i] = (T)(((double)__builtin_bswap16(w) * step + ref) * dec);
        }
        return;
    case 32:
        p += 4 * first;
        for (size_t i = 0; i < n; ++i) {
            uint32_t w;
            memcpy(&w, p + 4 * i, 4);
            out[i] = (T)(((double)__builtin_bswap32(w) * step + ref) * dec);
        }
        return;
    case 24: {
        p += 3 * first;
        // Four-octet loads while a whole one lies within the data.
        const size_t avail = r.octets - 3 * first;
        const size_t fast = avail >= 4 ? (avail - 1) / 3 : 0;
        const size_t m = n < fast ? n : fast;
        size_t i = 0;
        for (; i < m; ++i) {
            uint32_t w;
            memcpy(&w, p + 3 * i, 4);
            out[i] = (T)(((double)(__builtin_bswap32(w) >> 8) * step + ref) * dec);
        }
        for (; i < n; ++i)
            out[i] = (T)(((double)g1::get3(p + 3 * i) * step + ref) * dec);
        return;
    }
    default:
        forCodes(r.data, r.octets, (uint64_t)first * (unsigned)bits, bits, n,
                 [&](size_t i, uint64_t u) { out[i] = (T)(((double)u * step + ref) * dec); });
        return;
    }
}

template <typename T> void unpackPortable(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    unpackBody(r, bits, first, n, out);
}

#ifdef VALMORA_VECTOR_X86
#define VALMORA_AVX2 __attribute__((target("avx2,fma")))

// Eight codes in 32-bit lanes become eight values. Aligned, the eight
// doubles fill one cache line, which the processor can then write without
// reading it first: a fifth faster on large arrays.
template <bool Aligned>
VALMORA_AVX2 inline void store8(double *out, __m256i codes, __m256d step, __m256d ref, __m256d dec, bool scaled)
{
    __m256d lo = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(codes)), step, ref);
    __m256d hi = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(codes, 1)), step, ref);
    if (scaled) {
        lo = _mm256_mul_pd(lo, dec);
        hi = _mm256_mul_pd(hi, dec);
    }
    if (Aligned) {
        _mm256_store_pd(out, lo);
        _mm256_store_pd(out + 4, hi);
    } else {
        _mm256_storeu_pd(out, lo);
        _mm256_storeu_pd(out + 4, hi);
    }
}

template <bool Aligned>
VALMORA_AVX2 inline void store8(float *out, __m256i codes, __m256d step, __m256d ref, __m256d dec, bool scaled)
{
    __m256d lo = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(codes)), step, ref);
    __m256d hi = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(codes, 1)), step, ref);
    if (scaled) {
        lo = _mm256_mul_pd(lo, dec);
        hi = _mm256_mul_pd(hi, dec);
    }
    _mm_storeu_ps(out, _mm256_cvtpd_ps(lo));
    _mm_storeu_ps(out + 4, _mm256_cvtpd_ps(hi));
}

// Codes of 8, 12, 16 and 24 bits, eight at a time, while the widest load
// stays within the data; the rest goes through the plain loops. Codes are
// below 2^24 here, so the signed 32-bit conversion is exact.
template <bool Aligned, typename T>
VALMORA_AVX2 void unpackWide(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    const size_t octetsPer8 = (size_t)bits; // eight codes take `bits` octets
    const size_t load = bits == 24 ? 28 : 16;  // octets each step reads
    const size_t start = first * (size_t)bits / 8;
    const size_t room = r.octets > start + load ? (r.octets - start - load) / octetsPer8 + 1 : 0;
    const size_t steps = n / 8 < room ? n / 8 : room;
    const unsigned char *p = r.data + start;
    const __m256d step = _mm256_set1_pd(r.step), ref = _mm256_set1_pd(r.ref), dec = _mm256_set1_pd(r.dec);
    const bool scaled = r.dec != 1.0;
    const __m128i swap16 = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    const __m256i pick24 = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1, //
                                            2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m256i pick12 = _mm256_setr_epi8(1, 0, -1, -1, 2, 1, -1, -1, 4, 3, -1, -1, 5, 4, -1, -1, //
                                            7, 6, -1, -1, 8, 7, -1, -1, 10, 9, -1, -1, 11, 10, -1, -1);
    const __m256i shift12 = _mm256_setr_epi32(4, 0, 4, 0, 4, 0, 4, 0), mask12 = _mm256_set1_epi32(0xFFF);
    size_t i = 0;
    switch (bits) {
    case 8:
        for (; i < steps; ++i, p += 8)
            store8<Aligned>(out + 8 * i, _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)p)), step, ref, dec,
                            scaled);
        break;
    case 16:
        for (; i < steps; ++i, p += 16) {
            const __m128i w = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)p), swap16);
            store8<Aligned>(out + 8 * i, _mm256_cvtepu16_epi32(w), step, ref, dec, scaled);
        }
        break;
    case 12:
        for (; i < steps; ++i, p += 12) {
            const __m256i w = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)p));
            const __m256i c = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(w, pick12), shift12), mask12);
            store8<Aligned>(out + 8 * i, c, step, ref, dec, scaled);
        }
        break;
    case 24:
        for (; i < steps; ++i, p += 24) {
            const __m256i w = _mm256_set_m128i(_mm_loadu_si128((const __m128i *)(p + 12)),
                                               _mm_loadu_si128((const __m128i *)p));
            store8<Aligned>(out + 8 * i, _mm256_shuffle_epi8(w, pick24), step, ref, dec, scaled);
        }
        break;
    }
    if (8 * steps < n) unpackBody(r, bits, first + 8 * steps, n - 8 * steps, out + 8 * steps);
}

constexpr uintptr_t kLine = 64; // octets of a cache line

template <typename T>
VALMORA_AVX2 void unpackAvx2(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    if (bits != 8 && bits != 12 && bits != 16 && bits != 24) {
        unpackBody(r, bits, first, n, out);
        return;
    }
    // Start on a cache line where that leaves whole octets (a 12-bit code
    // pair), else on the next whole octet.
    while (n && (uintptr_t)out % kLine && sizeof(T) == 8) {
        unpackBody(r, bits, first, 1, out);
        ++first, ++out, --n;
    }
    if (bits == 12 && first % 2 && n) {
        unpackBody(r, bits, first, 1, out);
        ++first, ++out, --n;
    }
    if (sizeof(T) == 8 && (uintptr_t)out % kLine == 0)
        unpackWide<true>(r, bits, first, n, out);
    else
        unpackWide<false>(r, bits, first, n, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized" // in the compiler's own intrinsics
#endif
// How far ahead of the stores the lines to be written are asked for, with
// intent to write: the output is far larger than the core's caches, and
// fetching its lines early hides most of the read-for-ownership each
// store would wait on (a twentieth off the 16-bit decode of a large field;
// one to eight kilobytes ahead all do about as well).
constexpr size_t kStoreAhead = 4096;

// 16-bit codes to doubles, sixteen at a time, each 512-bit store one whole
// cache line (out aligned to one). A prefetch never faults, so asking for
// lines past the end of the output is harmless.
__attribute__((target("avx512f,avx512bw,prfchw"))) size_t unpack16x512(const PackedRun &r, size_t first, size_t n,
                                                                       double *out)
{
    const size_t start = 2 * first;
    const size_t room = r.octets >= start + 32 ? (r.octets - start - 32) / 32 + 1 : 0;
    const size_t steps = n / 16 < room ? n / 16 : room;
    const unsigned char *p = r.data + start;
    const __m512d step = _mm512_set1_pd(r.step), ref = _mm512_set1_pd(r.ref), dec = _mm512_set1_pd(r.dec);
    const bool scaled = r.dec != 1.0;
    const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, //
                                          1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    for (size_t i = 0; i < steps; ++i, p += 32) {
        const char *line = reinterpret_cast<const char *>(out + 16 * i) + kStoreAhead;
        __builtin_prefetch(line, 1, 3);
        __builtin_prefetch(line + 64, 1, 3);
        const __m512i c = _mm512_cvtepu16_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i *)p), swap));
        __m512d lo = _mm512_fmadd_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(c)), step, ref);
        __m512d hi = _mm512_fmadd_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(c, 1)), step, ref);
        if (scaled) {
            lo = _mm512_mul_pd(lo, dec);
            hi = _mm512_mul_pd(hi, dec);
        }
        _mm512_store_pd(out + 16 * i, lo);
        _mm512_store_pd(out + 16 * i + 8, hi);
    }
    return 16 * steps;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

template <typename T> void unpackFast(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    if constexpr (sizeof(T) == 8) {
        if (bits == 16 && n >= 64 && cpu::haveAvx512bw()) {
            while ((uintptr_t)out % kLine) {
                unpackBody(r, bits, first, 1, out);
                ++first, ++out, --n;
            }
            const size_t done = unpack16x512(r, first, n, out);
            first += done, out += done, n -= done;
        }
    }
    if (cpu::haveAvx2())
        unpackAvx2(r, bits, first, n, out);
    else
        unpackPortable(r, bits, first, n, out);
}
#else
template <typename T> void unpackFast(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    unpackPortable(r, bits, first, n, out);
}
#endif


// Codes that lie wholly within the run from code `first` on, at most n.
size_t codesInside(const PackedRun &r, int bits, size_t first, size_t n)
{
    const uint64_t inside = (uint64_t)r.octets * 8 / (unsigned)bits;
    if (first >= inside) return 0;
    return inside - first < n ? (size_t)(inside - first) : n;
}

// Codes past the end of the run read as zero bits.
template <typename T> void unpackBeyond(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    forCodes(r.data, r.octets, (uint64_t)first * (unsigned)bits, bits, n,
             [&](size_t i, uint64_t u) { out[i] = (T)(((double)u * r.step + r.ref) * r.dec); });
}

} // namespace

template <typename T> void unpackValues(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    const size_t m = codesInside(r, bits, first, n);
    if (m) unpackFast(r, bits, first, m, out);
    if (m < n) unpackBeyond(r, bits, first + m, n - m, out + m);
}

template <typename T> void unpackValuesPlain(const PackedRun &r, int bits, size_t first, size_t n, T *out)
{
    const size_t m = codesInside(r, bits, first, n);
    if (m) unpackBody(r, bits, first, m, out);
    if (m < n) unpackBeyond(r, bits, first + m, n - m, out + m);
}

template <typename T> void unpackValuesAt(const PackedRun &r, int bits, uint64_t bitOffset, size_t n, T *out)
{
    if (bitOffset % (unsigned)bits == 0) {
        unpackValues(r, bits, (size_t)(bitOffset / (unsigned)bits), n, out);
    } else if (bitOffset % 8 == 0) {
        // Whole octets in: the run starts there, and the fast loops serve.
        const uint64_t skip = bitOffset / 8 < r.octets ? bitOffset / 8 : r.octets;
        PackedRun s = r;
        s.data += skip;
        s.octets -= (size_t)skip;
        unpackValues(s, bits, 0, n, out);
    } else {
        forCodes(r.data, r.octets, bitOffset, bits, n,
                 [&](size_t i, uint64_t u) { out[i] = (T)(((double)u * r.step + r.ref) * r.dec); });
    }
}

void unpackCodes(const unsigned char *data, size_t octets, uint64_t bitOffset, int bits, size_t n, uint32_t *out)
{
    if (bits <= 0) {
        for (size_t i = 0; i < n; ++i) out[i] = 0;
        return;
    }
    forCodes(data, octets, bitOffset, bits, n, [&](size_t i, uint64_t u) { out[i] = (uint32_t)u; });
}

namespace {
constexpr size_t kBlock = 2048; // present values decoded at a time before the bit map spreads them

} // namespace

// Spreads the present values over the points of the bit map, decoding
// them a block at a time; `coded` bounds the values read.
template <typename T>
void unpackWithMap(const PackedRun &r, int bits, size_t coded, const unsigned char *map, size_t points, T missing,
                   T *out)
{
    T block[kBlock + 8]; // a read one past the last value stays inside
    size_t k = 0, held = 0, at = 0;
    for (size_t i = 0; i < points; i += 8) {
        if (held - at < 8) {
            const size_t left = held - at;
            memmove(block, block + at, left * sizeof(T));
            held = left;
            at = 0;
            size_t take = kBlock - held;
            if (take > coded - k) take = coded - k;
            if (bits == 0)
                for (size_t j = 0; j < take; ++j) block[held + j] = (T)(r.ref * r.dec);
            else if (take)
                unpackValues(r, bits, k, take, block + held);
            k += take;
            held += take;
        }
        const unsigned m = map[i / 8];
        const size_t end = points - i < 8 ? points - i : 8;
        for (size_t j = 0; j < end; ++j) {
            const unsigned present = m >> (7 - j) & 1;
            out[i + j] = present ? block[at] : missing;
            at += present;
        }
    }
}


#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

double decimalFactor(int d)
{
    double f = 1.0;
    for (int i = 0; i < d; ++i) f /= 10.0;
    for (int i = 0; i > d; --i) f *= 10.0;
    return f;
}

PackedRun packedRun(const unsigned char *data, size_t octets, double R, int E, int D)
{
    return PackedRun{data, octets, R, std::ldexp(1.0, E), decimalFactor(D)};
}

#define VALMORA_UNPACK_TWINS(T)                                                                                      \
    template void unpackValues<T>(const PackedRun &, int, size_t, size_t, T *);                                     \
    template void unpackValuesPlain<T>(const PackedRun &, int, size_t, size_t, T *);                                \
    template void unpackValuesAt<T>(const PackedRun &, int, uint64_t, size_t, T *);                                 \
    template void unpackWithMap<T>(const PackedRun &, int, size_t, const unsigned char *, size_t, T, T *);
VALMORA_UNPACK_TWINS(double)
VALMORA_UNPACK_TWINS(float)
