// GRIB edition 1 encoder: section arrays in, one record out. Both entry
// points come from one template; the record is written in one pass straight
// into the caller's buffer, and nothing is written past its capacity.
#include "valmora.h"
#include "grib1.h"
#include "cpu.h"
#include "support.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- Names and per-type details --------------------------------------------

template <typename T> struct Twin;

template <> struct Twin<double> {
    static constexpr const char *encode = "grib_encode_double";
    static constexpr const char *gds = "encodeGDS_double";
    static constexpr const char *bms = "encodeBMS_double";
    static constexpr const char *bds = "encodeBDS_double";
    static constexpr const char *array = "encode_array_double";
    static double decimalFactor(int d) { return pow(10.0, d); }
    static void scale(double *v, int start, int power, int trunc) { scale_complex_double(v, start, power, trunc, 0); }
    static void gather(double *v, size_t js, size_t j, size_t n) { gather_complex_double(v, js, j, n); }
};

template <> struct Twin<float> {
    static constexpr const char *encode = "grib_encode_float";
    static constexpr const char *gds = "encodeGDS_float";
    static constexpr const char *bms = "encodeBMS_float";
    static constexpr const char *bds = "encodeBDS_float";
    static constexpr const char *array = "encode_array_float";
    static float decimalFactor(int d) { return powf(10.0f, (float)d); }
    static void scale(float *v, int start, int power, int trunc) { scale_complex_float(v, start, power, trunc, 0); }
    static void gather(float *v, size_t js, size_t j, size_t n) { gather_complex_float(v, js, j, n); }
};

// One warning per entry point and process for a not-a-number missing value.
template <typename T> unsigned char lmissvalinfo = 0;

// ---- Octet writers ----------------------------------------------------------

// The low bits of v, as many octets as the field has.
inline void put1(unsigned char *p, long v) { p[0] = (unsigned char)v; }
inline void put2(unsigned char *p, long v) { g1::put2(p, (uint32_t)v); }
inline void put3(unsigned char *p, long v) { g1::put3(p, (uint32_t)v); }
using g1::putSigned2;
using g1::putSigned3;
inline void putIBM(unsigned char *p, double v)
{
    int kexp, kmant;
    confp3(v, &kexp, &kmant, 32, 1);
    p[0] = (unsigned char)kexp;
    put3(p + 1, kmant);
}

bool ibmRepresentable(double v)
{
    int kexp, kmant;
    confp3(v, &kexp, &kmant, 32, 1);
    return kexp != 0 || kmant != 0;
}

// The caller's buffer and its capacity; a section is written only when it
// fits whole, but the offset always advances so lengths stay exact.
struct Out {
    unsigned char *buf;
    int64_t cap;
    bool fits(int64_t pos, int64_t len) const { return pos >= 0 && len >= 0 && pos <= cap && len <= cap - pos; }
};

// ---- Product definition section --------------------------------------------

int localExtension(const int *isec1)
{
    return isec1[23] == 0 ? 0 : (int)g1::pdsExtensionLength(isec1[1], isec1[36]);
}

bool hasP1(int tri) { return tri == 0 || tri == 2 || tri == 3 || tri == 4 || tri == 5 || tri == 10 || tri == 113; }
bool hasP2(int tri) { return tri == 2 || tri == 3 || tri == 4 || tri == 5 || tri == 10; }

void encodeExtension(unsigned char *pds, int ext, const int *isec1)
{
    const int centre = isec1[1];
    if (centre == 98) {
        for (int i = 24; i <= 36; ++i) put1(pds + 28 + (i - 24), isec1[i]);
        put1(pds + 41, isec1[37]);
        put1(pds + 42, isec1[38]);
        put2(pds + 43, isec1[39]);
        memcpy(pds + 45, &isec1[40], 4); // a four-character text, as stored
        put1(pds + 49, isec1[41]);
        put1(pds + 50, isec1[42]);
        put1(pds + 51, 0);
    } else if (centre == 252) {
        for (int i = 24; i <= 36; ++i) put1(pds + 28 + (i - 24), isec1[i]);
        put1(pds + 41, isec1[37]);
        put2(pds + 42, isec1[38]);
        put2(pds + 44, isec1[39]);
    } else {
        for (int i = 24; i <= 47; ++i) put1(pds + 28 + (i - 24), isec1[i]);
        put2(pds + 52, (long)((unsigned)isec1[49] << 15 | (unsigned)isec1[48]));
        if (ext == 38) {
            put1(pds + 54, isec1[50]);
            put2(pds + 55, isec1[51]);
            put2(pds + 57, isec1[52]);
            put2(pds + 59, isec1[53]);
            put2(pds + 61, isec1[54]);
            put1(pds + 63, isec1[55]);
            put1(pds + 64, isec1[56]);
            put1(pds + 65, 0);
        }
    }
}

void encodePDS(unsigned char *pds, int length, const int *isec1)
{
    put3(pds, length);
    for (int i = 0; i <= 6; ++i) put1(pds + 3 + i, isec1[i]); // octets 4-10
    if (g1::wideLevel(isec1[6])) {
        put2(pds + 10, isec1[7]);
    } else {
        put1(pds + 10, isec1[7]);
        put1(pds + 11, isec1[8]);
    }
    // The century's sign travels in the year octet.
    int year = isec1[9];
    if (year != 255) {
        if (isec1[20] < 0) year = -year;
        year = (int)g1::toSignMagnitude(year, 1);
    }
    put1(pds + 12, year);
    for (int i = 10; i <= 14; ++i) put1(pds + 3 + i, isec1[i]); // octets 14-18
    const int tri = isec1[17];
    put1(pds + 18, hasP1(tri) ? isec1[15] : 0);
    put1(pds + 19, hasP2(tri) ? isec1[16] : 0);
    put1(pds + 20, tri);
    put2(pds + 21, isec1[18]);
    put1(pds + 23, isec1[19]);
    put1(pds + 24, isec1[20] < 0 ? (long)(0u - (unsigned)isec1[20]) : isec1[20]);
    put1(pds + 25, isec1[21]);
    putSigned2(pds + 26, isec1[22]);
    if (length > 28) encodeExtension(pds, length - 28, isec1);
}

// ---- Grid description section ----------------------------------------------

// Octets before the lists: the layout's for the types written here; other
// types get the least GDS, as zeros.
int gdsBase(int type)
{
    const bool written = type == 0 || type == 4 || type == 10 || type == 3 || type == 50 || type == 192;
    return written ? (int)g1::gdsFixedLength(type) : (int)g1::kGdsMin;
}

// Counts below zero describe nothing to write.
int count(int v) { return v < 0 ? 0 : v; }

int64_t gdsLength(const int *isec2)
{
    int64_t len = gdsBase(isec2[0]) + 4 * (int64_t)count(isec2[11]);
    if (isec2[16]) len += 2 * (int64_t)count(isec2[2]);
    return len;
}

void gdsLatLon(unsigned char *g, const int *isec2)
{
    const int type = isec2[0];
    const bool increments = isec2[5] != 0;
    put2(g + 6, isec2[16] ? 65535 : isec2[1]);
    put2(g + 8, isec2[2]);
    putSigned3(g + 10, isec2[3]);
    putSigned3(g + 13, isec2[4]);
    put1(g + 16, isec2[5]);
    putSigned3(g + 17, isec2[6]);
    putSigned3(g + 20, isec2[7]);
    put2(g + 23, increments ? isec2[8] : 65535);
    put2(g + 25, type == 4 || increments ? isec2[9] : 65535);
    put1(g + 27, isec2[10]);
    memset(g + 28, 0, 4);
}

void gdsLambert(unsigned char *g, const int *isec2)
{
    put2(g + 6, isec2[1]);
    put2(g + 8, isec2[2]);
    putSigned3(g + 10, isec2[3]);
    putSigned3(g + 13, isec2[4]);
    put1(g + 16, isec2[5]);
    putSigned3(g + 17, isec2[6]);
    putSigned3(g + 20, isec2[8]);
    putSigned3(g + 23, isec2[9]);
    put1(g + 26, isec2[12]);
    put1(g + 27, isec2[10]);
    putSigned3(g + 28, isec2[13]);
    putSigned3(g + 31, isec2[14]);
    putSigned3(g + 34, isec2[19]);
    putSigned3(g + 37, isec2[20]);
    memset(g + 40, 0, 2);
}

void gdsSpectral(unsigned char *g, const int *isec2)
{
    put2(g + 6, isec2[1]);
    put2(g + 8, isec2[2]);
    put2(g + 10, isec2[3]);
    put1(g + 12, isec2[4]);
    put1(g + 13, isec2[5]);
    memset(g + 14, 0, 18);
}

void gdsTriangular(unsigned char *g, const int *isec2)
{
    put2(g + 6, isec2[1]);
    put2(g + 8, isec2[2]);
    put3(g + 10, isec2[3]);
    put3(g + 13, isec2[4]);
    put1(g + 16, isec2[5]);
    putSigned3(g + 17, isec2[6]);
    putSigned3(g + 20, isec2[7]);
    putSigned3(g + 23, isec2[8]);
    put1(g + 26, isec2[9]);
    memset(g + 27, 0, 5);
}

template <typename T>
void encodeGDS(unsigned char *g, int64_t length, const int *isec2, const T *fsec2)
{
    const int type = isec2[0], nv = count(isec2[11]);
    const int base = gdsBase(type);
    put3(g, (long)length);
    put1(g + 3, nv);
    put1(g + 4, nv || isec2[16] ? base + 1 : 255);
    put1(g + 5, type);
    switch (type) {
    case 0:
    case 4:
        gdsLatLon(g, isec2);
        break;
    case 10:
        gdsLatLon(g, isec2);
        putSigned3(g + 32, isec2[12]);
        putSigned3(g + 35, isec2[13]);
        putIBM(g + 38, (double)fsec2[0]);
        break;
    case 3:
        gdsLambert(g, isec2);
        break;
    case 50:
        gdsSpectral(g, isec2);
        break;
    case 192:
        gdsTriangular(g, isec2);
        break;
    default:
        // Zeros keep the section as long as it says, so the lists stay where
        // octet 5 points and readers still find the next section.
        Error_(Twin<T>::gds, "Unsupported grid type %d", type);
        memset(g + 6, 0, (size_t)(base - 6));
        break;
    }
    unsigned char *p = g + base;
    for (int i = 0; i < nv; ++i, p += 4) putIBM(p, (double)fsec2[10 + i]);
    if (isec2[16])
        for (int j = 0, nj = count(isec2[2]); j < nj; ++j, p += 2) put2(p, isec2[22 + j]);
}

// ---- Bit-map section --------------------------------------------------------

// Builds the map (when `map` is given) and compacts the present values to
// the front of fsec4 in the same pass, from point i on with k values kept
// so far; returns their number.
template <typename T>
long compactBitmap(T *fsec4, long n, T missing, unsigned char *map, long i = 0, long k = 0)
{
    for (; i < n; i += 8) {
        const long end = n - i < 8 ? n : i + 8;
        unsigned bits = 0;
        for (long j = i; j < end; ++j) {
            const T v = fsec4[j];
            const bool present = v < missing || v > missing;
            fsec4[k] = v;
            k += present;
            bits |= (unsigned)present << (7 - (j - i));
        }
        if (map) map[i / 8] = (unsigned char)bits;
    }
    return k;
}

#ifdef VALMORA_VECTOR_X86
// Eight points per step with the processor's compress instruction. The
// eight-value store at k never passes point i + 7, which is already loaded.
__attribute__((target("avx512f"))) long compactBitmap512(double *fsec4, long n, double missing, unsigned char *map)
{
    const __m512d m = _mm512_set1_pd(missing);
    long i = 0, k = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512d v = _mm512_loadu_pd(fsec4 + i);
        const unsigned present = _mm512_cmp_pd_mask(v, m, _CMP_NEQ_OQ);
        _mm512_storeu_pd(fsec4 + k, _mm512_maskz_compress_pd((__mmask8)present, v));
        k += __builtin_popcount(present);
        if (map) {
            // Lane 0 is the first point, which takes the top bit.
            unsigned b = present;
            b = (b & 0xF0) >> 4 | (b & 0x0F) << 4;
            b = (b & 0xCC) >> 2 | (b & 0x33) << 2;
            b = (b & 0xAA) >> 1 | (b & 0x55) << 1;
            map[i / 8] = (unsigned char)b;
        }
    }
    return compactBitmap(fsec4, n, missing, map, i, k);
}

long compactValues(double *fsec4, long n, double missing, unsigned char *map)
{
    return cpu::haveAvx512f() ? compactBitmap512(fsec4, n, missing, map) : compactBitmap(fsec4, n, missing, map);
}
#else
long compactValues(double *fsec4, long n, double missing, unsigned char *map)
{
    return compactBitmap(fsec4, n, missing, map);
}
#endif

long compactValues(float *fsec4, long n, float missing, unsigned char *map)
{
    return compactBitmap(fsec4, n, missing, map);
}

template <typename T>
long encodeBMS(const Out &out, int64_t &pos, const T *fsec3, const int *isec4, T *fsec4)
{
    const T missing = fsec3[1];
    if (missing != missing && !lmissvalinfo<T>) {
        lmissvalinfo<T> = 1;
        Message_(Twin<T>::bms, "Missing value = NaN is unsupported!");
    }
    const long n = isec4[0] > 0 ? isec4[0] : 0;
    const int64_t mapOctets = (n + 7) / 8;
    const int64_t length = 6 + mapOctets;
    unsigned char *b = out.fits(pos, length) ? out.buf + pos : nullptr;
    const long present = compactValues(fsec4, n, missing, b ? b + 6 : nullptr);
    if (b) {
        put3(b, (long)length);
        put1(b + 3, (8 - n % 8) % 8);
        put2(b + 4, 0);
    }
    pos += length;
    return present;
}

// ---- Binary data section ----------------------------------------------------

struct Scale {
    int e;      // binary scale factor E
    double s;   // 2^-E
    bool ok;
};

// Binary digits of the range above the point, less B; see the scale search.
Scale binaryScale(double range, double fmin, double fmax, int bits, int code, const char *name)
{
    const double eps = 1e-12;
    if (range <= eps) return {0, 1.0, true};
    if (fabs(fmin) >= 1.1754943508222875e-38 && fabs(range / fmin) <= eps) return {0, 1.0, true};

    int l;
    double rc = range;
    bool fail = false;
    const char *dir = ">";
    if (fabs(range - 1.0) <= eps) {
        l = 1 - bits;
    } else if (range > 1.0) {
        rc = range + eps;
        if (rc < 2.0) {
            l = 1 - bits;
        } else if (rc >= ldexp(1.0, 127)) {
            fail = true;
            l = 0;
        } else {
            int k = 1;
            while (rc >= ldexp(1.0, k + 1)) ++k;
            l = k + 1 - bits;
        }
    } else {
        rc = range - eps;
        dir = "<";
        if (rc > 0.5) {
            l = -bits;
        } else if (rc <= ldexp(1.0, -126)) {
            fail = true;
            l = 0;
        } else {
            int k = 1;
            while (rc <= ldexp(1.0, -(k + 1))) ++k;
            l = -k - bits;
        }
    }
    if (fail) {
        Message_(name, "Problem calculating binary scale value for encode code %d!", code);
        Message_(name, "%s range %g rangec %g fmin %g fmax %g", dir, range, rc,
                fabs(fmin) < 1.1754943508222875e-38 ? 0.0 : fmin, fmax);
        return {0, 1.0, false};
    }
    if (l == 0) return {0, 1.0, true};

    int p = -l;
    for (;;) {
        const double x = ldexp(range, p) + 0.5;
        if (x < 18446744073709551616.0 && ((uint64_t)x >> bits) == 0) break;
        --p;
    }
    return {-p, ldexp(1.0, p), true};
}

// The packing loops are the encoder's hot path: let the compiler vectorise
// them even in builds that do not ask for it elsewhere.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("O3")
#endif

constexpr long kBlock = 1024; // codes computed per block, then stored

// Codes of one block: (v - R) * s rounded half up and held within
// 0 .. 2^B - 1, so that a value rounding up to 2^B, or one that the
// rounded-down reference puts a hair above the range, cannot wrap around.
// Narrow codes (B < 32) go through a 32-bit conversion, which vectorises.
template <bool Wide> inline uint32_t code(double t, double top)
{
    t = t < top ? t : top;
    t = t > 0.0 ? t : 0.0;
    return Wide ? (uint32_t)(int64_t)t : (uint32_t)(int32_t)t;
}

template <bool Wide> VALMORA_CLONES void quantise(const double *v, long n, uint32_t *u, double ref, double s, double top)
{
    for (long i = 0; i < n; ++i) u[i] = code<Wide>((v[i] - ref) * s + 0.5, top);
}

// The float twin scales in float and rounds in double.
template <bool Wide> VALMORA_CLONES void quantise(const float *v, long n, uint32_t *u, double ref, double s, double top)
{
    const float rf = (float)ref, sf = (float)s;
    for (long i = 0; i < n; ++i) u[i] = code<Wide>((double)((v[i] - rf) * sf) + 0.5, top);
}

VALMORA_CLONES void store8(unsigned char *p, const uint32_t *u, long n)
{
    for (long i = 0; i < n; ++i) p[i] = (unsigned char)u[i];
}

VALMORA_CLONES void store16(unsigned char *p, const uint32_t *u, long n)
{
    for (long i = 0; i < n; ++i) {
        const uint16_t w = (uint16_t)(u[i] << 8 | (u[i] >> 8 & 0xFF));
        memcpy(p + 2 * i, &w, 2);
    }
}

VALMORA_CLONES void store24(unsigned char *p, const uint32_t *u, long n)
{
    for (long i = 0; i < n; ++i) {
        g1::put3(p + 3 * i, u[i]);
    }
}

VALMORA_CLONES void store32(unsigned char *p, const uint32_t *u, long n)
{
    for (long i = 0; i < n; ++i) {
        const uint32_t w = __builtin_bswap32(u[i]);
        memcpy(p + 4 * i, &w, 4);
    }
}

// Widths of whole half-octets: two codes fill 2B / 8 octets, with no
// state carried from one pair to the next.
template <int B> VALMORA_CLONES void storePairs(unsigned char *p, const uint32_t *u, long pairs)
{
    for (long i = 0; i < pairs; ++i) {
        const uint64_t w = ((uint64_t)u[2 * i] << B | u[2 * i + 1]) << (64 - 2 * B);
        const uint64_t be = __builtin_bswap64(w);
        memcpy(p + (B / 4) * i, &be, B / 4);
    }
}

bool storePairs(unsigned char *p, const uint32_t *u, long pairs, int bits)
{
    switch (bits) {
    case 4: storePairs<4>(p, u, pairs); return true;
    case 12: storePairs<12>(p, u, pairs); return true;
    case 20: storePairs<20>(p, u, pairs); return true;
    case 28: storePairs<28>(p, u, pairs); return true;
    default: return false;
    }
}

// Bit stream, most significant bit first; `acc` holds `held` pending bits
// between blocks, and 32 bits are flushed at a time.
struct BitWriter {
    unsigned char *p;
    uint64_t acc = 0;
    int held = 0;
    void put(const uint32_t *u, long n, int bits)
    {
        for (long i = 0; i < n; ++i) {
            acc = acc << bits | u[i];
            held += bits;
            if (held >= 32) {
                held -= 32;
                const uint32_t w = __builtin_bswap32((uint32_t)(acc >> held));
                memcpy(p, &w, 4);
                p += 4;
            }
        }
    }
    // The last partial octet is filled with zero bits on the right.
    void finish()
    {
        for (; held > 0; held -= 8) *p++ = (unsigned char)(held >= 8 ? acc >> (held - 8) : acc << (8 - held));
    }
};

template <typename T>
void encodeArray(unsigned char *p, const T *v, long n, double ref, double s, int bits)
{
    if (bits == 0 || n <= 0) return;
    const double top = ldexp(1.0, bits) - 1.0;
    uint32_t u[kBlock];
    BitWriter bw{p};
    for (long i = 0; i < n; i += kBlock) {
        const long m = n - i < kBlock ? n - i : kBlock;
        if (bits == 32)
            quantise<true>(v + i, m, u, ref, s, top);
        else
            quantise<false>(v + i, m, u, ref, s, top);
        switch (bits) {
        case 8: store8(p + i, u, m); break;
        case 16: store16(p + 2 * i, u, m); break;
        case 24: store24(p + 3 * i, u, m); break;
        case 32: store32(p + 4 * i, u, m); break;
        default:
            // Blocks hold an even count, so pairs start on an octet; an odd
            // last value goes through the bit stream.
            if (bits % 4 == 0 && storePairs(p + i * bits / 8, u, m / 2, bits)) {
                if (m % 2) {
                    bw.p = p + (i + m - 1) * bits / 8;
                    bw.put(u + m - 1, 1, bits);
                }
            } else {
                bw.put(u, m, bits);
            }
            break;
        }
    }
    if (bits % 8) bw.finish();
}

// Vector lanes of 32 octets (two registers' worth where vectors are
// narrower). x - x is 0 for every finite x, so the lanes' sums of it are
// NaN exactly when a NaN or an infinity was seen.
template <typename T>
VALMORA_CLONES void minMaxLanes(const T *v, long n, T &fmin, T &fmax, bool &poisoned)
{
    typedef T V __attribute__((vector_size(32)));
    constexpr int L = 32 / sizeof(T);
    V lo, hi, poison = {0};
    for (int j = 0; j < L; ++j) lo[j] = hi[j] = v[0];
    long i = 0;
    for (; i + L <= n; i += L) {
        V x;
        memcpy(&x, v + i, sizeof x);
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
        poison += x - x;
    }
    T mn = lo[0], mx = hi[0], sum = v[0] - v[0];
    for (int j = 0; j < L; ++j) {
        mn = lo[j] < mn ? lo[j] : mn;
        mx = hi[j] > mx ? hi[j] : mx;
        sum += poison[j];
    }
    for (; i < n; ++i) {
        const T x = v[i];
        mn = x < mn ? x : mn;
        mx = x > mx ? x : mx;
        sum += x - x;
    }
    fmin = mn;
    fmax = mx;
    poisoned = sum != sum;
}

template <typename T> void minMax(const T *v, long n, T &fmin, T &fmax, bool &nan)
{
    bool poisoned;
    minMaxLanes(v, n, fmin, fmax, poisoned);
    nan = false;
    if (poisoned) // a NaN, or only an infinity: look again, rarely
        for (long i = 0; i < n && !nan; ++i) nan = v[i] != v[i];
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

enum { kMismatch = VALMORA_ENCODE_MISMATCH, kRange = VALMORA_ENCODE_RANGE, kNoRoom = VALMORA_ENCODE_NO_ROOM };

struct Kind {
    bool spectral = false, complex = false;
    long j = 0, js = 0; // truncations of the field and of the unpacked subset
    long first = 0;     // values before it are stored unpacked
    int64_t h = (int64_t)g1::kBdsFixed; // header octets before the packed values
    unsigned flags() const { return complex ? g1::kBdsSpectral | g1::kBdsComplex : spectral ? g1::kBdsSpectral : 0; }
};

// Grid point or spectral, simple or complex; 0 or the mismatch status.
template <typename T> int classify(const int *isec2, int *isec4, long n, Kind &k)
{
    const char *name = Twin<T>::bds;
    if (isec2) {
        const int t = isec2[0];
        k.spectral = t == 50 || t == 60 || t == 70 || t == 80;
        isec4[2] = k.spectral ? (int)g1::kBdsSpectral : 0;
        if (k.spectral) {
            k.complex = isec4[3] == (int)g1::kBdsComplex;
            if (k.complex != (isec2[5] == 2)) {
                Message_(name, "  COMPLEX mismatch. isec4[3] = %d\n", isec4[3]);
                Message_(name, "  COMPLEX mismatch. isec2[5] = %d\n", isec2[5]);
                return kMismatch;
            }
            if (k.complex) {
                k.j = isec4[0] > 0 ? (long)(sqrt(4.0 * isec4[0] + 1.0) - 3.0) / 2 : -1;
                k.js = isec4[17];
            }
        }
    } else {
        k.spectral = isec4[2] == (int)g1::kBdsSpectral;
        k.complex = k.spectral && isec4[3] == (int)g1::kBdsComplex;
    }
    if (k.complex) {
        // The unpacked subset must lie within the field and the values given.
        const int64_t subset = (int64_t)(k.js + 1) * (k.js + 2);
        if (k.js < 0 || k.js > k.j || subset > n) {
            Error_(name, "Unpacked subset J = %ld does not fit %ld values of truncation %ld", k.js, n, k.j);
            return kMismatch;
        }
        k.first = (long)subset;
    } else if (k.spectral) {
        k.first = 1;
    }
    k.h = (int64_t)g1::bdsHeaderLength(k.flags(), (unsigned)k.js);
    return 0;
}

// Decimal scaling, then for complex packing the spectral scaling and the
// reordering that puts the unpacked subset first.
template <typename T> void prepare(const int *isec1, const int *isec4, T *fsec4, long n, const Kind &k)
{
    const int d = isec1[22];
    if (d != 0) {
        const T factor = Twin<T>::decimalFactor(d);
        for (long i = 0; i < n; ++i) fsec4[i] *= factor;
    }
    if (k.complex) {
        Twin<T>::scale(fsec4, (int)k.js, isec4[16], (int)k.j);
        Twin<T>::gather(fsec4, (size_t)k.js, (size_t)k.j, (size_t)n);
    }
}

template <typename T>
void writeBDS(unsigned char *b, int64_t pos, int64_t length, int unused, const Kind &k, const Scale &sc, double ref,
              int bits, const int *isec4, const T *fsec4, long n)
{
    put3(b, (long)length);
    put1(b + 3, k.flags() + unused);
    putSigned2(b + 4, sc.e);
    putIBM(b + 6, ref);
    put1(b + 10, bits);
    if (k.complex) {
        const int64_t np = pos + k.h; // first packed octet, counted from 0
        put2(b + 11, np < 65536 ? np : 0);
        putSigned2(b + 13, isec4[16]);
        put1(b + 15, k.js);
        put1(b + 16, k.js);
        put1(b + 17, k.js);
        for (long i = 0; i < k.first; ++i) putIBM(b + 18 + 4 * i, (double)fsec4[i]);
    } else if (k.spectral) {
        putIBM(b + 11, n >= 1 || isec4[0] >= 1 ? (double)fsec4[0] : 0.0);
    }
    encodeArray(b + k.h, fsec4 + k.first, n - k.first, ref, sc.s, bits);
    if (unused >= 8) b[length - 1] = 0;
}

// Writes the BDS at pos; returns 0 or a status. On success pos is after it.
template <typename T>
int encodeBDS(const Out &out, int64_t &pos, const int *isec1, const int *isec2, int *isec4, T *fsec4, long n)
{
    const char *name = Twin<T>::bds;
    Kind k;
    if (const int status = classify<T>(isec2, isec4, n, k)) return status;
    prepare(isec1, isec4, fsec4, n, k);

    // With nothing left to pack the reference value is never used: 0 will do.
    T fmin = 0, fmax = 0;
    bool nan = false;
    if (n > k.first) minMax(fsec4 + k.first, n - k.first, fmin, fmax, nan);
    if (nan) fmin = (T)NAN; // a value that cannot be packed fails like a bad minimum
    if (!(fabs((double)fmin) < DBL_MAX)) {
        Message_(name, "Minimum value out of range: %g!", (double)fmin);
        return kRange;
    }

    int bits = isec4[1];
    if (VALMORA_Const && !k.spectral && !(fmin < fmax || fmin > fmax)) bits = 0;
    if (bits < 0 || bits > 32) {
        // A section shorter than its length would be read as damage.
        Error_(Twin<T>::array, "Unimplemented packing factor %d!", bits);
        return kRange;
    }

    const double range = fabs((double)(T)(fmax - fmin));
    const Scale sc = binaryScale(range, (double)fmin, (double)fmax, bits, isec1[5], name);
    if (!sc.ok) return kRange;

    double ref = (double)fmin;
    ref2ibm(&ref, 32);
    if (fabs(ref) > 1.0 && !ibmRepresentable(ref)) {
        // Above the IBM range the reference would be written as zero and
        // every value decoded wrongly.
        Message_(name, "Minimum value out of range: %g!", (double)fmin);
        return kRange;
    }

    const int64_t nbits = (int64_t)bits * (n - k.first);
    int64_t length = k.h + (nbits + 7) / 8;
    if (length % 2) ++length;
    const int unused = (int)((length - k.h) * 8 - nbits);
    if (out.fits(pos, length)) writeBDS(out.buf + pos, pos, length, unused, k, sc, ref, bits, isec4, fsec4, n);
    pos += length;
    return 0;
}

// ---- End section ------------------------------------------------------------

int64_t encodeES(const Out &out, int64_t &pos, int64_t bdsPos)
{
    if (out.fits(pos, 4)) memcpy(out.buf + pos, "7777", 4);
    const int64_t total = pos + 4;
    int64_t length;
    if (pos < g1::kLargeFromBeforeEnd) {
        length = (int64_t)g1::roundUp((size_t)total, g1::kPadUnit);
        if (out.fits(0, 8)) put3(out.buf + 4, (long)total);
    } else {
        // The large form: padded to whole units, the BDS field the padding plus 4.
        length = (int64_t)g1::roundUp((size_t)total, g1::kLargeUnit);
        if (length > g1::kLargeMaxPadded) {
            Fatal_(stderr, "Abort: GRIB1 record too large (size = %ld; max = %d)!\n", (long)length,
                   (int)g1::kLargeMaxPadded);
        }
        if (out.fits(0, 8)) put3(out.buf + 4, (long)g1::largeIndicator(length));
        if (out.fits(bdsPos, 3)) put3(out.buf + bdsPos, (long)(length - pos));
    }
    // Padding, as far as the buffer reaches.
    const int64_t end = length < out.cap ? length : out.cap;
    if (end > total) memset(out.buf + total, 0, (size_t)(end - total));
    pos = length;
    return length;
}

// ---- Driver -----------------------------------------------------------------

template <typename T>
void encode(int *isec0, int *isec1, int *isec2, T *fsec2, T *fsec3, int *isec4, T *fsec4, int *kgrib,
            int kleng, int *kused, int *kstatus)
{
    grsdef();

    // A negative capacity holds nothing.
    const Out out{(unsigned char *)kgrib, kleng > 0 ? 4 * (int64_t)kleng : 0};
    if (out.fits(0, 8)) {
        memcpy(out.buf, "GRIB", 4);
        put1(out.buf + 7, 1);
    }

    const int pdsLength = 28 + localExtension(isec1);
    if (out.fits(8, pdsLength)) encodePDS(out.buf + 8, pdsLength, isec1);
    int64_t pos = 8 + pdsLength;

    if (isec1[4] & g1::kPdsGds) {
        const int64_t length = gdsLength(isec2);
        if (out.fits(pos, length)) encodeGDS(out.buf + pos, length, isec2, fsec2);
        pos += length;
    }

    long n = isec4[0];
    if (isec1[4] & g1::kPdsBms) n = encodeBMS(out, pos, fsec3, isec4, fsec4);
    if (n < 0) n = 0;

    const int64_t bdsPos = pos;
    const int status = encodeBDS(out, pos, isec1, isec2, isec4, fsec4, n);
    if (status) {
        *kstatus = status;
        return;
    }

    const int64_t gribLen = encodeES(out, pos, bdsPos);
    // The lengths also with a buffer too small, so that the caller learns
    // the room the record needs; the status says it is not whole.
    isec0[0] = (int)gribLen;
    isec0[1] = 1;
    *kused = (int)((gribLen + 3) / 4);
    if (gribLen > out.cap) {
        Error_(Twin<T>::encode, "kgrib buffer too small! kleng = %d  gribLen = %d", kleng, (int)gribLen);
        *kstatus = kNoRoom;
        return;
    }
    *kstatus = 0;
}

} // namespace

extern "C" {

void grib_encode_double(int *isec0, int *isec1, int *isec2, double *fsec2, int *isec3, double *fsec3, int *isec4,
                        double *fsec4, int klenp, int *kgrib, int kleng, int *kused, int efunc, int *kstatus)
{
    (void)isec3, (void)klenp, (void)efunc; // not read
    encode(isec0, isec1, isec2, fsec2, fsec3, isec4, fsec4, kgrib, kleng, kused, kstatus);
}

void grib_encode_float(int *isec0, int *isec1, int *isec2, float *fsec2, int *isec3, float *fsec3, int *isec4,
                       float *fsec4, int klenp, int *kgrib, int kleng, int *kused, int efunc, int *kstatus)
{
    (void)isec3, (void)klenp, (void)efunc; // not read
    encode(isec0, isec1, isec2, fsec2, fsec3, isec4, fsec4, kgrib, kleng, kused, kstatus);
}

void encode_dummy(void) {}

} // extern "C"
