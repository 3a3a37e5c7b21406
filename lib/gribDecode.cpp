// GRIB edition 0 and 1 decoder: one record in, the section arrays and the
// values out, the inverse of the encoder over the same arrays. Plain and
// szip-form data sections decode alike. Nothing here keeps state between
// calls, so any number of threads may decode at once.
#include "valmora.h"
#include "grib1.h"
#include "support.h"
#include "szip.h"
#include "recCode.h"
#include "recform.h"
#include "unpack.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>


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
    unsigned base = 0;    // octets before the lists
};

// The space view as some writers end it: every field up to Yo (octets
// 37-38), the reserved octets after them left out.
constexpr unsigned kSpaceViewFields = 38;

// Projections whose GDS starts with the point counts Nx, Ny (octets 7-10)
// whether or not this decoder has their layout: Mercator, Lambert, polar
// stereographic, Albers, oblique Lambert, space view.
bool countsFirst(int t) { return t == 1 || t == 3 || t == 5 || t == 8 || t == 13 || t == 90; }

using g1::gaussianGrid;
using g1::latLonGrid;
using g1::rotatedGrid;
using g1::spectralGrid;
using g1::stretchedGrid;

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
    // A grid with no layout here still gives its points, for a field whose
    // values are all equal (no bits) to have them all.
    if (countsFirst(t)) grid.points = (long)get2(g + 6) * get2(g + 8);
    unsigned base = g1::gdsFixedLength(t);
    if (base == 0) {
        grid.status = VALMORA_DECODE_GRID_NOT_DECODED;
        return 0;
    }
    if (t == 90 && length >= kSpaceViewFields && length < base) base = length;
    if (length < base) return VALMORA_DECODE_DAMAGED;
    grid.base = base;
    const unsigned list = gdsListStart(g, base);
    if ((uint64_t)list + 4ull * nv > length) return VALMORA_DECODE_DAMAGED;
    grid.fsec2Need = kFsec2Fixed + nv;
    if (latLonGrid(t) || gaussianGrid(t)) {
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
    } else if (spectralGrid(t)) {
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
    const unsigned list = gdsListStart(g, grid.base);
    for (unsigned i = 0; i < nv; ++i) fsec2[10 + i] = (T)getIBM(g + list + 4 * i);

    if (latLonGrid(t) || gaussianGrid(t)) {
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
        isec2[9] = dj == 65535 && latLonGrid(t) ? -1 : (int)dj;
        isec2[10] = g[27];
        if (grid.isec2Need > (size_t)kIsec2Fixed) {
            isec2[16] = 1;
            const unsigned rows = list + 4 * nv;
            for (size_t j = 0; j + kIsec2Fixed < grid.isec2Need; ++j) isec2[22 + j] = (int)get2(g + rows + 2 * j);
        }
    } else if (spectralGrid(t)) {
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
    if (rotatedGrid(t)) decodeRotation(g + 32, isec2, fsec2);
    if (stretchedGrid(t)) decodeStretching(g + (rotatedGrid(t) ? 42 : 32), isec2, fsec2);
}

// ---- Binary data section ---------------------------------------------------------

constexpr unsigned kFlagSpectral = g1::kBdsSpectral, kFlagComplex = g1::kBdsComplex;
constexpr unsigned kFlagInteger = 0x20; // integer data
constexpr unsigned kFlagMore = g1::kBdsSzip; // further flags in octet 14: the szip form, or matrix values
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
        if (edition == 1 && g1::szipForm(b, length)) {
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
        const int64_t held = g1::packedBits(length, at + extra, octet4);
        bitsHeld = held > 0 ? (uint64_t)held : 0;
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

// Complex packing: the unpacked subset (n <= JS, IBM reals) and then the
// packed rest come in the encoder's gathered order; each pair goes straight
// to its place in the m-outer, n-inner order of the whole truncation, and
// those with n >= JS are divided by (n(n+1))^P as the encoder multiplied
// them. This is the inverse of gather_complex and scale_complex in one pass
// without scratch, so that no allocation can fail. Places that the values
// given do not reach stay 0.
constexpr long kFactorTable = 2048; // wavenumbers whose divisor is computed once

template <typename T>
void decodeComplex(const unsigned char *subset, const PackedRun &r, int bits, int js, int power, long count, T *out)
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
                if (bits) unpackValuesPlain(r, bits, (size_t)(in - first), 2, code);
                place(m, n, code[0], code[1]);
            }
}

// ---- Driver ---------------------------------------------------------------------------
// decode() runs four steps: the frame (where the sections lie), the headers
// (the fixed arrays), the sizes (points and the arrays that depend on the
// record) and the values.

// The sections of a record and their lengths.
struct Frame {
    const unsigned char *pds = nullptr, *gds = nullptr, *bms = nullptr, *bds = nullptr;
    long recLen = 0;
    unsigned pdsLen = 0, gdsLen = 0, bmsLen = 0;
    size_t bdsLen = 0;
    int edition = 0;
};

// The most unused bits at the end of a bit map.
constexpr unsigned kMapUnusedMax = 15;

// What the headers say about the values.
struct Layout {
    Grid grid;
    Data d;
    int status = 0;            // 0, or the unsupported status with its reason in `why`
    const char *why = nullptr;
    long points = 0, present = -1;
    const unsigned char *map = nullptr;
};

int frame(const char *name, const unsigned char *record, size_t recordLength, Frame &f)
{
    const long size = recordLength > (size_t)LONG_MAX ? LONG_MAX : (long)recordLength;
    const g1::Located l = g1::locate1(record, size);
    g1::reportLocated(l);
    if (l.status != 0) return l.status;
    f.recLen = (long)l.length;
    f.pds = record + l.pds;
    f.gds = l.gds ? record + l.gds : nullptr;
    f.bms = l.bms ? record + l.bms : nullptr;
    f.bds = record + l.bds;
    f.edition = l.edition;
    f.bdsLen = l.length - l.bds - 4;
    f.pdsLen = get3(f.pds);
    f.gdsLen = f.gds ? get3(f.gds) : 0;
    f.bmsLen = f.bms ? get3(f.bms) : 0;
    if (f.pdsLen < (f.edition == 1 ? 28u : 24u) || (f.gds && f.gdsLen < 32) || (f.bms && f.bmsLen < 6) ||
        f.bdsLen < g1::kBdsFixed) {
        Warning_(name, "damaged record: a section is shorter than its fixed part");
        return VALMORA_DECODE_DAMAGED;
    }
    return 0;
}

// isec0 and isec1, the grid's sizes and the data section's header.
int headers(const char *name, const Frame &f, int *isec0, int *isec1, Layout &l)
{
    isec0[0] = (int)f.recLen;
    isec0[1] = f.edition;
    decodePDS(f.pds, f.pdsLen, f.edition, isec1);
    if (f.gds && sizeGDS(f.gds, f.gdsLen, l.grid) != 0) {
        Warning_(name, "damaged record: grid description of %u octets does not hold its lists", f.gdsLen);
        return VALMORA_DECODE_DAMAGED;
    }
    l.status = readBDS(f.bds, f.bdsLen, f.edition, l.d, l.why);
    if (l.status == VALMORA_DECODE_DAMAGED) {
        Warning_(name, "damaged record: data section of %zu octets does not hold its header", f.bdsLen);
        return l.status;
    }
    return 0;
}

// Points: the bit map's, else the values coded, else the grid's; then isec3
// element 0 and isec4.
int sizes(const char *name, const Frame &f, int *isec3, int *isec4, Layout &l)
{
    const Data &d = l.d;
    if (f.bms) {
        isec3[0] = (int)get2(f.bms + 4);
        if (isec3[0] != 0 && l.status == 0) {
            l.why = "predefined bit map";
            l.status = VALMORA_DECODE_UNSUPPORTED;
        }
        if ((d.flag & kFlagSpectral) && l.status == 0) {
            l.why = "bit map with spherical harmonics";
            l.status = VALMORA_DECODE_UNSUPPORTED;
        }
        // Fewer than 8 unused bits end a map; up to 15 where a zero octet
        // makes the section even. More leave points that the grid lacks.
        const uint64_t mapBits = 8ull * (f.bmsLen - 6), unused = f.bms[3];
        if (unused > kMapUnusedMax) {
            Warning_(name, "damaged record: bit map with %u unused bits", (unsigned)unused);
            return VALMORA_DECODE_DAMAGED;
        }
        l.points = (long)(mapBits > unused ? mapBits - unused : 0);
        l.map = f.bms + 6;
        if (isec3[0] == 0) l.present = presentPoints(l.map, l.points);
        if (l.status == 0 && d.coded >= 0 && l.present > d.coded) {
            Warning_(name, "damaged record: %ld points present, %ld values coded", l.present, d.coded);
            return VALMORA_DECODE_DAMAGED;
        }
    } else {
        isec3[0] = 0;
        const long J = l.grid.spectralJ, need = (J + 1) * (J + 2);
        if (d.coded >= 0 && (d.flag & kFlagSpectral) && J >= 0 && d.first + d.coded < need && l.status == 0) {
            Warning_(name, "damaged record: %ld coefficients held, %ld for J = %ld", d.first + d.coded, need, J);
            return VALMORA_DECODE_DAMAGED;
        }
        if (d.coded >= 0)
            l.points = d.first + d.coded;
        else if (l.grid.spectralJ >= 0)
            l.points = (l.grid.spectralJ + 1) * (l.grid.spectralJ + 2);
        else
            l.points = l.grid.points >= 0 ? l.grid.points : d.first;
    }
    if (l.points > INT32_MAX) {
        l.why = "more than 2^31 - 1 values";
        if (l.status == 0) l.status = VALMORA_DECODE_UNSUPPORTED;
        l.points = 0;
    }
    fillIsec4(d, l.points, f.bms ? l.present : -1, isec4);
    return 0;
}

// The plain data section: the record's own, or restored from the szip form
// into scratch (*restored, the caller's to release).
int plainSection(const char *name, const Frame &f, const Data &d, const unsigned char *&section, size_t &sectionLen,
                 unsigned char *&restored)
{
    section = f.bds;
    sectionLen = f.bdsLen;
    restored = nullptr;
    if (!d.szip) return 0;
    // Sized first (no room at all), then restored into scratch.
    size_t cap = 0, got = 0;
    int rc = szipRestoreSection(f.bds, f.bdsLen, nullptr, 0, &cap);
    if (rc == SZIP_NO_ROOM) {
        restored = (unsigned char *)memAlloc(cap);
        rc = restored ? szipRestoreSection(f.bds, f.bdsLen, restored, cap, &got) : SZIP_NO_MEMORY;
    }
    if (rc != 0) {
        if (restored) memRelease(restored);
        restored = nullptr;
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
    return 0;
}

// fsec4, which has room for every point.
template <typename T>
int values(const char *name, const Frame &f, const Layout &l, int D, int power, T missing, T *fsec4)
{
    const Data &d = l.d;
    const unsigned char *section;
    size_t sectionLen;
    unsigned char *restored;
    const int rc = plainSection(name, f, d, section, sectionLen, restored);
    if (rc != 0) return rc;

    const size_t h = g1::kBdsFixed + d.extraLen;
    const PackedRun r = packedRun(section + h, sectionLen - h, d.ref, d.e, D);
    const long points = l.points;
    if (l.map) {
        unpackWithMap(r, d.bits, d.bits ? (size_t)d.coded : (size_t)points, l.map, (size_t)points, missing, fsec4);
    } else if ((d.flag & kFlagSpectral) && (d.flag & kFlagComplex)) {
        decodeComplex(section + g1::kBdsFixed + 7, r, d.bits, d.js, power, points, fsec4);
    } else {
        if (d.first && points) fsec4[0] = (T)(getIBM(section + g1::kBdsFixed) * r.dec); // spectral simple: the mean
        const size_t packed = points > d.first ? (size_t)(points - d.first) : 0;
        if (d.bits == 0)
            for (size_t i = 0; i < packed; ++i) fsec4[d.first + i] = (T)(r.ref * r.dec);
        else if (packed)
            unpackValues(r, d.bits, 0, packed, fsec4 + d.first);
    }
    if (restored) memRelease(restored);
    return 0;
}

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

    // The packed form with a whole-record check: the plain record is
    // restored and checked first, and decoded as it stood.
    unsigned char *plain = nullptr;
    size_t plainLen = 0;
    switch (recFormPlain(record, recordLength, &plain, &plainLen)) {
    case 0:
        break;
    case g1::FORM_CHECK_MISMATCH:
        Error_(name, "packed record fails its check");
        return VALMORA_DECODE_CHECK_MISMATCH;
    case g1::FORM_DAMAGED:
        Warning_(name, "damaged record: the octets of its packed form contradict each other");
        return VALMORA_DECODE_DAMAGED;
    default:
        Error_(name, "packed data section cannot be restored");
        return VALMORA_DECODE_SZIP_FAILED;
    }
    if (plain) {
        const int status = decode(plain, plainLen, isec0, isec1, isec2, isec2Size, fsec2, fsec2Size, isec3, fsec3,
                                  isec4, fsec4, fsec4Size);
        memRelease(plain);
        return status;
    }

    Frame f;
    Layout l;
    int rc = frame(name, record, recordLength, f);
    if (rc == 0) rc = headers(name, f, isec0, isec1, l);
    if (rc == 0) rc = sizes(name, f, isec3, isec4, l);
    if (rc != 0) return rc;

    // The arrays whose length depends on the record.
    const size_t need2 = l.grid.isec2Need, needF2 = l.grid.fsec2Need;
    if (isec2Size) *isec2Size = need2;
    if (fsec2Size) *fsec2Size = needF2;
    if (fsec4Size) *fsec4Size = (size_t)l.points;
    if (grid2 && (isec2Cap < need2 || fsec2Cap < needF2)) return VALMORA_DECODE_NO_ROOM;
    if (!grid2) {
        // the caller does not want the grid description
    } else if (f.gds) {
        decodeGDS(f.gds, l.grid, isec2, fsec2);
    } else {
        for (int i = 0; i < kIsec2Fixed; ++i) isec2[i] = 0;
        for (int i = 0; i < kFsec2Fixed; ++i) fsec2[i] = 0;
    }

    if (l.status != 0) {
        Error_(name, "unsupported record: %s", l.why);
        return l.status;
    }
    if (!fsec4) return l.grid.status;
    if (fsec4Cap < (size_t)l.points) return VALMORA_DECODE_NO_ROOM;
    rc = values(name, f, l, isec1[22], isec4[16], fsec3[1], fsec4);
    return rc != 0 ? rc : l.grid.status;
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
