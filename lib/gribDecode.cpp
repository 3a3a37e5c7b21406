// GRIB edition 0 and 1 decoder: one record in, the section arrays and the
// values out, the inverse of the encoder over the same arrays. Plain and
// szip-form data sections decode alike. Nothing here keeps state between
// calls, so any number of threads may decode at once.
#include "valmora.h"
#include "grib1.h"
#include "support.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(VALMORA_PORTABLE)
#include <immintrin.h>
#endif


namespace {

using g1::get2;
using g1::get3;
using g1::getSigned2;
using g1::getSigned3;
inline double getIBM(const unsigned char *p) { return decfp2((int)p[0], (int)get3(p + 1)); }

template <typename T> struct Names;
template <> struct Names<double> {
    static constexpr const char *decode = "grib_decode_double";
};
template <> struct Names<float> {
    static constexpr const char *decode = "grib_decode_float";
};

// Elements of the fixed arrays that every call fills.
constexpr int kIsec1Elements = VALMORA_ISEC1_SIZE;
constexpr int kIsec2Fixed = 22; // quasi-regular row counts start at element 22
constexpr int kFsec2Fixed = 10; // vertical coordinates start at element 10
constexpr int kIsec4Elements = VALMORA_ISEC4_SIZE;

// ---- Product definition section ------------------------------------------------

// The local extensions the arrays describe; any other is skipped.
bool decodeExtension(const unsigned char *pds, unsigned length, int *isec1)
{
    if (length < 41) return false;
    const int centre = isec1[1], def = (int)pds[40];
    const unsigned ext = g1::pdsExtensionLength(centre, def);
    if (ext == 0 || length < 28 + ext) return false;
    if (centre == 98) {
        for (int i = 24; i <= 36; ++i) isec1[i] = (int)pds[28 + (i - 24)];
        isec1[37] = (int)pds[41];
        isec1[38] = (int)pds[42];
        isec1[39] = (int)get2(pds + 43);
        memcpy(&isec1[40], pds + 45, 4); // a four-character text, as stored
        isec1[41] = (int)pds[49];
        isec1[42] = (int)pds[50];
        return true;
    }
    if (centre == 252) {
        for (int i = 24; i <= 36; ++i) isec1[i] = (int)pds[28 + (i - 24)];
        isec1[37] = (int)pds[41];
        isec1[38] = (int)get2(pds + 42);
        isec1[39] = (int)get2(pds + 44);
        return true;
    }
    // Centres 78, 215 and 250: definitions 254 and 253.
    for (int i = 24; i <= 47; ++i) isec1[i] = (int)pds[28 + (i - 24)];
    const unsigned w = get2(pds + 52);
    isec1[48] = (int)(w & 0x7FFF); // experiment number, 15 bits
    isec1[49] = (int)(w >> 15);    // run type, the top bit
    if (def == 253) {
        isec1[50] = (int)pds[54];
        isec1[51] = (int)get2(pds + 55);
        isec1[52] = (int)get2(pds + 57);
        isec1[53] = (int)get2(pds + 59);
        isec1[54] = (int)get2(pds + 61);
        isec1[55] = (int)pds[63];
        isec1[56] = (int)pds[64];
    }
    return true;
}

// Octets past the section's length read as 0 (edition 0 ends at octet 24).
void decodePDS(const unsigned char *pds, unsigned length, int edition, int *isec1)
{
    for (int i = 0; i < kIsec1Elements; ++i) isec1[i] = 0;
    unsigned char o[28] = {0};
    memcpy(o, pds, length < 28 ? length : 28);
    for (int i = 0; i <= 6; ++i) isec1[i] = o[3 + i]; // octets 4-10
    if (g1::wideLevel(isec1[6])) {
        isec1[7] = (int)get2(o + 10);
    } else {
        isec1[7] = o[10];
        isec1[8] = o[11];
    }
    for (int i = 10; i <= 14; ++i) isec1[i] = o[3 + i]; // octets 14-18
    isec1[15] = o[18];
    isec1[16] = o[19];
    isec1[17] = o[20];
    isec1[18] = (int)get2(o + 21);
    isec1[19] = o[23];
    // The century's sign travels in the year octet.
    const int year = o[12], century = o[24];
    if (year != 255 && year > 128) {
        isec1[9] = year - 128;
        isec1[20] = -century;
    } else {
        isec1[9] = year;
        isec1[20] = century;
    }
    isec1[21] = o[25];
    isec1[22] = getSigned2(o + 26);
    if (edition >= 1 && length > 28 && decodeExtension(pds, length, isec1)) isec1[23] = 1;
}

// ---- Grid description section --------------------------------------------------

struct Grid {
    int status = 0;       // 0, or the grid-not-decoded status
    size_t isec2Need = kIsec2Fixed, fsec2Need = kFsec2Fixed;
    long points = -1;     // grid points when the layout gives them, else -1
    long spectralJ = -1;  // triangular truncation of a spectral layout, else -1
};

bool latLonFamily(int t) { return t == 0 || t == 10 || t == 20 || t == 30; }
bool gaussianFamily(int t) { return t == 4 || t == 14 || t == 24 || t == 34; }
bool spectralFamily(int t) { return t == 50 || t == 60 || t == 70 || t == 80; }
bool rotated(int t) { return t == 10 || t == 14 || t == 30 || t == 34 || t == 60 || t == 80; }
bool stretched(int t) { return t == 20 || t == 24 || t == 30 || t == 34 || t == 70 || t == 80; }

// Octets of the fixed part for each layout this decoder fills.
unsigned gdsBase(int t)
{
    if (latLonFamily(t) || gaussianFamily(t) || spectralFamily(t)) {
        unsigned b = 32;
        if (rotated(t)) b += 10;
        if (stretched(t)) b += 10;
        return b;
    }
    if (t == 3) return 42;
    if (t == 5 || t == 192) return 32;
    if (t == 90) return 44;
    return 0; // no layout
}

// Where the vertical coordinates and the row counts start (from 0).
unsigned gdsListStart(const unsigned char *g, unsigned base)
{
    const unsigned pv = g[4];
    return pv == 255 || pv == 0 ? base : pv - 1;
}

// Sizes the arrays need and the points of the grid; reads no element.
int sizeGDS(const unsigned char *g, unsigned length, Grid &grid)
{
    if (length < 32) return VALMORA_DECODE_DAMAGED;
    const int t = g[5];
    const unsigned nv = g[3];
    const unsigned base = gdsBase(t);
    if (base == 0) {
        grid.status = VALMORA_DECODE_GRID_NOT_DECODED;
        return 0;
    }
    if (length < base) return VALMORA_DECODE_DAMAGED;
    const unsigned list = gdsListStart(g, base);
    if ((uint64_t)list + 4ull * nv > length) return VALMORA_DECODE_DAMAGED;
    grid.fsec2Need = kFsec2Fixed + nv;
    if (latLonFamily(t) || gaussianFamily(t)) {
        const unsigned ni = get2(g + 6), nj = get2(g + 8);
        const unsigned rows = list + 4 * nv;
        if (ni == 65535 && (uint64_t)rows + 2ull * nj <= length) {
            grid.isec2Need = kIsec2Fixed + nj;
            long sum = 0;
            for (unsigned j = 0; j < nj; ++j) sum += (long)get2(g + rows + 2 * j);
            grid.points = sum;
        } else if (ni != 65535 && nj != 65535) {
            grid.points = (long)ni * nj;
        }
    } else if (t == 3 || t == 5 || t == 90) {
        grid.points = (long)get2(g + 6) * get2(g + 8);
    } else if (spectralFamily(t)) {
        const long j = get2(g + 6);
        if (get2(g + 8) == j && get2(g + 10) == j) grid.spectralJ = j;
    }
    return 0;
}

template <typename T> void decodeRotation(const unsigned char *at, int *isec2, T *fsec2)
{
    isec2[12] = getSigned3(at);
    isec2[13] = getSigned3(at + 3);
    fsec2[0] = (T)getIBM(at + 6);
}

template <typename T> void decodeStretching(const unsigned char *at, int *isec2, T *fsec2)
{
    isec2[14] = getSigned3(at);
    isec2[15] = getSigned3(at + 3);
    fsec2[1] = (T)getIBM(at + 6);
}

// Fills isec2 and fsec2; the arrays have the room sizeGDS asked for.
template <typename T> void decodeGDS(const unsigned char *g, const Grid &grid, int *isec2, T *fsec2)
{
    for (size_t i = 0; i < grid.isec2Need; ++i) isec2[i] = 0;
    for (size_t i = 0; i < grid.fsec2Need; ++i) fsec2[i] = 0;
    const int t = g[5];
    isec2[0] = t;
    if (grid.status) return; // no layout: the type alone
    const unsigned nv = g[3];
    isec2[11] = (int)nv;
    const unsigned base = gdsBase(t), list = gdsListStart(g, base);
    for (unsigned i = 0; i < nv; ++i) fsec2[10 + i] = (T)getIBM(g + list + 4 * i);

    if (latLonFamily(t) || gaussianFamily(t)) {
        const unsigned ni = get2(g + 6);
        isec2[1] = (int)ni;
        isec2[2] = (int)get2(g + 8);
        isec2[3] = getSigned3(g + 10);
        isec2[4] = getSigned3(g + 13);
        isec2[5] = g[16];
        isec2[6] = getSigned3(g + 17);
        isec2[7] = getSigned3(g + 20);
        // Increments not given are all ones; the printer shows -1 as such.
        const unsigned di = get2(g + 23), dj = get2(g + 25);
        isec2[8] = di == 65535 ? -1 : (int)di;
        isec2[9] = dj == 65535 && latLonFamily(t) ? -1 : (int)dj;
        isec2[10] = g[27];
        if (grid.isec2Need > (size_t)kIsec2Fixed) {
            isec2[16] = 1;
            const unsigned rows = list + 4 * nv;
            for (size_t j = 0; j + kIsec2Fixed < grid.isec2Need; ++j) isec2[22 + j] = (int)get2(g + rows + 2 * j);
        }
    } else if (spectralFamily(t)) {
        isec2[1] = (int)get2(g + 6);
        isec2[2] = (int)get2(g + 8);
        isec2[3] = (int)get2(g + 10);
        isec2[4] = g[12];
        isec2[5] = g[13];
    } else if (t == 3) {
        isec2[1] = (int)get2(g + 6);
        isec2[2] = (int)get2(g + 8);
        isec2[3] = getSigned3(g + 10);
        isec2[4] = getSigned3(g + 13);
        isec2[5] = g[16];
        isec2[6] = getSigned3(g + 17);
        isec2[8] = getSigned3(g + 20);
        isec2[9] = getSigned3(g + 23);
        isec2[12] = g[26];
        isec2[10] = g[27];
        isec2[13] = getSigned3(g + 28);
        isec2[14] = getSigned3(g + 31);
        isec2[19] = getSigned3(g + 34);
        isec2[20] = getSigned3(g + 37);
    } else if (t == 5) {
        // The printer shows elements 17 and 18 as the flags of this type.
        isec2[1] = (int)get2(g + 6);
        isec2[2] = (int)get2(g + 8);
        isec2[3] = getSigned3(g + 10);
        isec2[4] = getSigned3(g + 13);
        isec2[17] = g[16];
        isec2[6] = getSigned3(g + 17);
        isec2[8] = getSigned3(g + 20);
        isec2[9] = getSigned3(g + 23);
        isec2[12] = g[26];
        isec2[10] = g[27];
    } else if (t == 90) {
        isec2[1] = (int)get2(g + 6);
        isec2[2] = (int)get2(g + 8);
        isec2[3] = getSigned3(g + 10);
        isec2[4] = getSigned3(g + 13);
        isec2[5] = g[16];
        isec2[6] = (int)get3(g + 17);
        isec2[7] = (int)get3(g + 20);
        isec2[8] = (int)get2(g + 23);
        isec2[9] = (int)get2(g + 25);
        isec2[10] = g[27];
        isec2[12] = (int)get3(g + 28);
        isec2[13] = (int)get3(g + 31);
        isec2[14] = (int)get2(g + 34);
        isec2[15] = (int)get2(g + 36);
    } else if (t == 192) {
        isec2[1] = (int)get2(g + 6);
        isec2[2] = (int)get2(g + 8);
        isec2[3] = (int)get3(g + 10);
        isec2[4] = (int)get3(g + 13);
        isec2[5] = g[16];
        isec2[6] = getSigned3(g + 17);
        isec2[7] = getSigned3(g + 20);
        isec2[8] = getSigned3(g + 23);
        isec2[9] = g[26];
    }
    if (rotated(t)) decodeRotation(g + 32, isec2, fsec2);
    if (stretched(t)) decodeStretching(g + (rotated(t) ? 42 : 32), isec2, fsec2);
}

// ---- Binary data section ---------------------------------------------------------

constexpr unsigned kFlagSpectral = g1::kBdsSpectral, kFlagComplex = g1::kBdsComplex;
constexpr unsigned kFlagInteger = 0x20; // integer data
constexpr unsigned kFlagMore = g1::kBdsSzip; // further flags in octet 14: the szip form, or matrix values
using g1::kSzipCode;
using g1::kSzipHeader;

// The data section as the plain form has it, whichever form the record holds.
struct Data {
    unsigned flag = 0;           // octet 4, without the szip bit and the unused count
    bool szip = false;
    int e = 0, bits = 0;
    double ref = 0;
    const unsigned char *extra = nullptr; // the octets between octet 11 and the packed values
    size_t extraLen = 0;
    long first = 0;              // values stored unpacked before the packed ones
    int js = 0;                  // complex packing: truncation of the unpacked subset
    long coded = -1;             // packed values present; -1 when bits is 0
};

// 0, or a status with the reason in `why`.
int readBDS(const unsigned char *b, size_t length, int edition, Data &d, const char *&why)
{
    why = nullptr;
    if (length < g1::kBdsFixed) return VALMORA_DECODE_DAMAGED;
    const unsigned octet4 = b[3];
    d.flag = octet4 & (g1::kBdsHighBits & ~kFlagMore);
    d.e = getSigned2(b + 4);
    d.ref = getIBM(b + 6);
    d.bits = b[10];
    if (octet4 & kFlagMore) {
        if (edition == 1 && length >= kSzipHeader && b[g1::kSzipCodeAt] == kSzipCode) {
            d.szip = true;
        } else {
            why = "matrix values or further flags in octet 14";
            return VALMORA_DECODE_UNSUPPORTED;
        }
    }
    if ((d.flag & kFlagComplex) && !(d.flag & kFlagSpectral)) {
        why = "second-order packing";
        return VALMORA_DECODE_UNSUPPORTED;
    }
    if (d.bits > 32) {
        why = "more than 32 bits per value";
        return VALMORA_DECODE_UNSUPPORTED;
    }
    const size_t at = d.szip ? kSzipHeader : g1::kBdsFixed;
    if (d.flag & kFlagSpectral) {
        if ((d.flag & kFlagComplex) && length < at + 7) return VALMORA_DECODE_DAMAGED;
        d.js = (d.flag & kFlagComplex) ? b[at + 4] : 0; // octet 16 of the plain form
        d.first = (d.flag & kFlagComplex) ? (long)(d.js + 1) * (d.js + 2) : 1;
    }
    const size_t extra = g1::bdsHeaderLength(d.flag, (unsigned)d.js) - g1::kBdsFixed;
    if (length < at + extra) return VALMORA_DECODE_DAMAGED;
    d.extra = b + at;
    d.extraLen = extra;
    if (d.bits == 0) return 0;
    uint64_t bitsHeld;
    if (d.szip) {
        const g1::SzipHeader sh = g1::szipHeaderRead(b);
        bitsHeld = 8ull * sh.dataLength;
        if (d.bits % 8 || kSzipHeader + extra + sh.packedLength > length) return VALMORA_DECODE_DAMAGED;
    } else {
        const uint64_t octets = length - at - extra;
        const unsigned unused = octet4 & g1::kBdsUnused;
        bitsHeld = 8 * octets < unused ? 0 : 8 * octets - unused;
    }
    d.coded = (long)(bitsHeld / (unsigned)d.bits);
    return 0;
}

void fillIsec4(const Data &d, long n, long present, int *isec4)
{
    for (int i = 0; i < kIsec4Elements; ++i) isec4[i] = 0;
    isec4[0] = (int)n;
    isec4[1] = d.bits;
    isec4[2] = (int)(d.flag & kFlagSpectral);
    isec4[3] = (int)(d.flag & kFlagComplex);
    isec4[4] = (int)(d.flag & kFlagInteger);
    if ((d.flag & kFlagSpectral) && (d.flag & kFlagComplex) && d.extra) { // not read when refused early
        isec4[15] = (int)get2(d.extra);
        isec4[16] = getSigned2(d.extra + 2);
        isec4[17] = d.extra[4];
        isec4[18] = d.extra[5];
        isec4[19] = d.extra[6];
    }
    if (present >= 0) isec4[20] = (int)present;
}

// Points of a bit map of `count` points that are present.
long presentPoints(const unsigned char *map, long count)
{
    long full = count / 8, n = 0, i = 0;
    for (; i + 8 <= full; i += 8) {
        uint64_t w;
        memcpy(&w, map + i, 8);
        n += __builtin_popcountll(w);
    }
    for (; i < full; ++i) n += __builtin_popcount(map[i]);
    if (count % 8) n += __builtin_popcount(map[full] >> (8 - count % 8));
    return n;
}

// ---- Unpacking ----------------------------------------------------------------------
// Each code u becomes (u x 2^E + R) x 10^-D, in that order, as GRIB readers
// compute it (u x 2^E is exact, so a fused multiply-add rounds alike). The
// plain loops serve every width; codes of 8, 12, 16 and 24 bits also have
// vector loops, built for AVX2 (16-bit codes to doubles also for AVX-512)
// and chosen once at run time, as the encoder chooses its own
// (VALMORA_PORTABLE leaves them out).

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("O3")
#endif

#define VALMORA_ALWAYS_INLINE inline __attribute__((always_inline))

struct Run {
    const unsigned char *data; // first packed octet
    size_t octets;             // packed octets that may be read
    double ref, step, dec; // R, 2^E and 10^-D
};

inline uint64_t loadBE64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return __builtin_bswap64(w);
}

// Codes first .. first + n - 1 of a stream of `bits`-bit codes.
template <typename T>
VALMORA_ALWAYS_INLINE void unpackBody(const Run &r, int bits, size_t first, size_t n, T *out)
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
    default: {
        // A bit stream: eight-octet loads while they lie within the data.
        const unsigned shift = 64u - (unsigned)bits;
        const uint64_t limit = r.octets >= 8 ? (uint64_t)(r.octets - 8) * 8 : 0;
        size_t i = 0;
        uint64_t pos = (uint64_t)first * (unsigned)bits;
        if (r.octets >= 8)
            for (; i < n && pos <= limit; ++i, pos += (unsigned)bits) {
                const uint64_t w = loadBE64(p + (pos >> 3)) << (pos & 7);
                out[i] = (T)(((double)(w >> shift) * step + ref) * dec);
            }
        for (; i < n; ++i, pos += (unsigned)bits) {
            uint64_t w = 0;
            const size_t at = (size_t)(pos >> 3);
            for (size_t k = 0; k < 8; ++k) w = w << 8 | (at + k < r.octets ? p[at + k] : 0);
            w <<= pos & 7;
            out[i] = (T)(((double)(w >> shift) * step + ref) * dec);
        }
        return;
    }
    }
}

template <typename T> void unpackPortable(const Run &r, int bits, size_t first, size_t n, T *out)
{
    unpackBody(r, bits, first, n, out);
}

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(VALMORA_PORTABLE)
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
VALMORA_AVX2 void unpackWide(const Run &r, int bits, size_t first, size_t n, T *out)
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
            store8<Aligned>(out + 8 * i, _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)p)), step, ref, dec, scaled);
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
VALMORA_AVX2 void unpackAvx2(const Run &r, int bits, size_t first, size_t n, T *out)
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
__attribute__((target("avx512f,avx512bw,prfchw"))) size_t unpack16x512(const Run &r, size_t first, size_t n, double *out)
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

bool have512()
{
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    return yes;
}

bool haveAvx2()
{
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

template <typename T> void unpack(const Run &r, int bits, size_t first, size_t n, T *out)
{
    if constexpr (sizeof(T) == 8) {
        if (bits == 16 && n >= 64 && have512()) {
            while ((uintptr_t)out % kLine) {
                unpackBody(r, bits, first, 1, out);
                ++first, ++out, --n;
            }
            const size_t done = unpack16x512(r, first, n, out);
            first += done, out += done, n -= done;
        }
    }
    if (haveAvx2())
        unpackAvx2(r, bits, first, n, out);
    else
        unpackPortable(r, bits, first, n, out);
}
#else
template <typename T> void unpack(const Run &r, int bits, size_t first, size_t n, T *out)
{
    unpackPortable(r, bits, first, n, out);
}
#endif

constexpr size_t kBlock = 2048; // present values decoded at a time before the bit map spreads them

// Spreads the present values over the points of the bit map, decoding
// them a block at a time; `coded` bounds the values read.
template <typename T>
void unpackWithMap(const Run &r, int bits, size_t coded, const unsigned char *map, size_t points, T missing, T *out)
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
                unpack(r, bits, k, take, block + held);
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

// 10^-D as a product of tens, as GRIB readers form it.
double decimalFactor(int d)
{
    double f = 1.0;
    for (int i = 0; i < d; ++i) f /= 10.0;
    for (int i = 0; i > d; --i) f *= 10.0;
    return f;
}

// Complex packing: the unpacked subset (n <= JS, IBM reals) and then the
// packed rest come in the encoder's gathered order; each pair goes straight
// to its place in the m-outer, n-inner order of the whole truncation, and
// those with n >= JS are divided by (n(n+1))^P as the encoder multiplied
// them. This is the inverse of gather_complex and scale_complex in one pass
// without scratch, so that no allocation can fail. Places that the values
// given do not reach stay 0.
constexpr long kFactorTable = 2048; // wavenumbers whose divisor is computed once

template <typename T>
void decodeComplex(const unsigned char *subset, const Run &r, int bits, int js, int power, long count, T *out)
{
    for (long i = 0; i < count; ++i) out[i] = 0;
    const long t = (long)(std::sqrt(4.0 * (double)count + 1.0) - 3.0) / 2;
    const bool scaled = power != 0 && power >= -10000 && power <= 10000; // the powers scale_complex takes
    const double p = power / 1000.0;
    auto inverse = [&](long n) {
        if (!scaled || n == 0) return 1.0;
        const double nn = (double)(n * (n + 1));
        return 1.0 / (power == 1000 ? nn : std::pow(nn, p));
    };
    double table[kFactorTable];
    const long tabled = t + 1 < kFactorTable ? t + 1 : kFactorTable;
    for (long n = 0; n < tabled; ++n) table[n] = inverse(n);
    auto factor = [&](long n) { return n < js ? 1.0 : n < tabled ? table[n] : inverse(n); };
    auto place = [&](long m, long n, double re, double im) {
        const long to = 2 * (m * (t + 1) - m * (m - 1) / 2 + (n - m));
        if (to + 1 < count) {
            const double f = factor(n);
            out[to] = (T)(re * f);
            out[to + 1] = (T)(im * f);
        }
    };

    const long first = (long)(js + 1) * (js + 2);
    long in = 0; // value index in the gathered order
    if (js <= t)
        for (long m = 0; m <= js; ++m)
            for (long n = m; n <= js; ++n, in += 2)
                if (in + 1 < count) place(m, n, getIBM(subset + 4 * in) * r.dec, getIBM(subset + 4 * (in + 1)) * r.dec);
    double code[2] = {r.ref * r.dec, r.ref * r.dec}; // every packed value of a constant rest
    for (long m = 0; m <= t; ++m)
        for (long n = m > js + 1 ? m : js + 1; n <= t; ++n, in += 2)
            if (in + 1 < count) {
                if (bits) unpackBody(r, bits, (size_t)(in - first), 2, code);
                place(m, n, code[0], code[1]);
            }
}

// ---- Driver ---------------------------------------------------------------------------

template <typename T>
int decode(const unsigned char *record, size_t recordLength, int *isec0, int *isec1, int *isec2, size_t *isec2Size,
           T *fsec2, size_t *fsec2Size, int *isec3, T *fsec3, int *isec4, T *fsec4, size_t *fsec4Size)
{
    const char *name = Names<T>::decode;
    // A fixed array not given has no room; isec2 and fsec2 both null skip
    // the grid description.
    const bool grid2 = isec2 || fsec2;
    if (!isec0 || !isec1 || !isec3 || !fsec3 || !isec4 || (fsec4 && !fsec4Size) ||
        (grid2 && (!isec2 || !fsec2 || !isec2Size || !fsec2Size)))
        return VALMORA_DECODE_NO_ROOM;
    if (!record) return VALMORA_DECODE_NOT_GRIB1;
    const size_t isec2Cap = grid2 ? *isec2Size : 0, fsec2Cap = grid2 ? *fsec2Size : 0;
    const size_t fsec4Cap = fsec4 ? *fsec4Size : 0;

    unsigned char *pds, *gds, *bms, *bds;
    long recLen;
    const long size = recordLength > (size_t)LONG_MAX ? LONG_MAX : (long)recordLength;
    const int located = grib1Sections(const_cast<unsigned char *>(record), size, &pds, &gds, &bms, &bds, &recLen);
    if (located != 0) return located;
    const int edition = record[7];
    const size_t bdsLen = (size_t)recLen - (size_t)(bds - record) - 4;

    const unsigned pdsLen = get3(pds);
    const unsigned gdsLen = gds ? get3(gds) : 0, bmsLen = bms ? get3(bms) : 0;
    if (pdsLen < (edition == 1 ? 28u : 24u) || (gds && gdsLen < 32) || (bms && bmsLen < 6) || bdsLen < g1::kBdsFixed) {
        Warning_(name, "damaged record: a section is shorter than its fixed part");
        return VALMORA_DECODE_DAMAGED;
    }

    isec0[0] = (int)recLen;
    isec0[1] = edition;
    decodePDS(pds, pdsLen, edition, isec1);

    Grid grid;
    if (gds && sizeGDS(gds, gdsLen, grid) != 0) {
        Warning_(name, "damaged record: grid description of %u octets does not hold its lists", gdsLen);
        return VALMORA_DECODE_DAMAGED;
    }

    Data d;
    const char *why;
    int status = readBDS(bds, bdsLen, edition, d, why);
    if (status == VALMORA_DECODE_DAMAGED) {
        Warning_(name, "damaged record: data section of %zu octets does not hold its header", bdsLen);
        return status;
    }

    // Points: the bit map's, else the values coded, else the grid's.
    long points, present = -1;
    const unsigned char *map = nullptr;
    if (bms) {
        isec3[0] = (int)get2(bms + 4);
        if (isec3[0] != 0 && status == 0) {
            why = "predefined bit map";
            status = VALMORA_DECODE_UNSUPPORTED;
        }
        if ((d.flag & kFlagSpectral) && status == 0) {
            why = "bit map with spherical harmonics";
            status = VALMORA_DECODE_UNSUPPORTED;
        }
        const uint64_t mapBits = 8ull * (bmsLen - 6), unused = bms[3] & 0x0F;
        points = (long)(mapBits > unused ? mapBits - unused : 0);
        map = bms + 6;
        if (isec3[0] == 0) present = presentPoints(map, points);
        if (status == 0 && d.coded >= 0 && present > d.coded) {
            Warning_(name, "damaged record: %ld points present, %ld values coded", present, d.coded);
            return VALMORA_DECODE_DAMAGED;
        }
    } else {
        isec3[0] = 0;
        if (d.coded >= 0)
            points = d.first + d.coded;
        else if (grid.spectralJ >= 0)
            points = (grid.spectralJ + 1) * (grid.spectralJ + 2);
        else
            points = grid.points >= 0 ? grid.points : d.first;
    }
    if (points > INT32_MAX) {
        why = "more than 2^31 - 1 values";
        if (status == 0) status = VALMORA_DECODE_UNSUPPORTED;
        points = 0;
    }
    fillIsec4(d, points, bms ? present : -1, isec4);

    // The arrays whose length depends on the record.
    const size_t need2 = grid.isec2Need, needF2 = grid.fsec2Need;
    if (isec2Size) *isec2Size = need2;
    if (fsec2Size) *fsec2Size = needF2;
    if (fsec4Size) *fsec4Size = (size_t)points;
    if (grid2 && (isec2Cap < need2 || fsec2Cap < needF2)) return VALMORA_DECODE_NO_ROOM;
    if (!grid2) {
        // the caller does not want the grid description
    } else if (gds) {
        decodeGDS(gds, grid, isec2, fsec2);
    } else {
        for (int i = 0; i < kIsec2Fixed; ++i) isec2[i] = 0;
        for (int i = 0; i < kFsec2Fixed; ++i) fsec2[i] = 0;
    }

    if (status != 0) {
        Error_(name, "unsupported record: %s", why);
        return status;
    }
    if (!fsec4) return grid.status;
    if (fsec4Cap < (size_t)points) return VALMORA_DECODE_NO_ROOM;

    // The packed values, from the record or from the restored section.
    const unsigned char *section = bds;
    size_t sectionLen = bdsLen;
    unsigned char *restored = nullptr;
    if (d.szip) {
        // Sized first (no room at all), then restored into scratch.
        size_t cap = 0, got = 0;
        int rc = szipRestoreSection(bds, bdsLen, nullptr, 0, &cap);
        if (rc == SZIP_NO_ROOM) {
            restored = (unsigned char *)memAlloc(cap);
            rc = restored ? szipRestoreSection(bds, bdsLen, restored, cap, &got) : SZIP_NO_MEMORY;
        }
        if (rc != 0) {
            if (restored) memRelease(restored);
            if (rc == SZIP_CHECK_MISMATCH) {
                Error_(name, "szip data section fails its check");
                return VALMORA_DECODE_CHECK_MISMATCH;
            }
            if (rc == SZIP_DAMAGED) {
                Warning_(name, "damaged record: szip octets contradict the data section");
                return VALMORA_DECODE_DAMAGED;
            }
            Error_(name, "szip data section cannot be restored (%s)",
                   rc == SZIP_NO_MEMORY ? "no memory" : "decompression failed");
            return VALMORA_DECODE_SZIP_FAILED;
        }
        section = restored;
        sectionLen = got;
    }

    const size_t h = 11 + d.extraLen;
    const double dec = decimalFactor(isec1[22]);
    Run r{section + h, sectionLen - h, d.ref, std::ldexp(1.0, d.e), dec};
    const T missing = fsec3[1];

    if (map) {
        unpackWithMap(r, d.bits, d.bits ? (size_t)d.coded : (size_t)points, map, (size_t)points, missing, fsec4);
    } else if ((d.flag & kFlagSpectral) && (d.flag & kFlagComplex)) {
        decodeComplex(section + g1::kBdsFixed + 7, r, d.bits, d.js, isec4[16], points, fsec4);
    } else {
        if (d.first && points) fsec4[0] = (T)(getIBM(section + g1::kBdsFixed) * dec); // spectral simple: the mean
        const size_t packed = points > d.first ? (size_t)(points - d.first) : 0;
        if (d.bits == 0)
            for (size_t i = 0; i < packed; ++i) fsec4[d.first + i] = (T)(r.ref * r.dec);
        else if (packed)
            unpack(r, d.bits, 0, packed, fsec4 + d.first);
    }
    if (restored) memRelease(restored);
    return grid.status;
}

} // namespace

extern "C" {

int grib_decode_double(const unsigned char *record, size_t recordLength, int *isec0, int *isec1, int *isec2,
                       size_t *isec2Size, double *fsec2, size_t *fsec2Size, int *isec3, double *fsec3, int *isec4,
                       double *fsec4, size_t *fsec4Size)
{
    return decode(record, recordLength, isec0, isec1, isec2, isec2Size, fsec2, fsec2Size, isec3, fsec3, isec4, fsec4,
                  fsec4Size);
}

int grib_decode_float(const unsigned char *record, size_t recordLength, int *isec0, int *isec1, int *isec2,
                      size_t *isec2Size, float *fsec2, size_t *fsec2Size, int *isec3, float *fsec3, int *isec4,
                      float *fsec4, size_t *fsec4Size)
{
    return decode(record, recordLength, isec0, isec1, isec2, isec2Size, fsec2, fsec2Size, isec3, fsec3, isec4, fsec4,
                  fsec4Size);
}

} // extern "C"
