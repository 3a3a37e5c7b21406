/*
 * The octet rules of GRIB edition 1 records, each written once: big-endian
 * numbers, sign and magnitude, the large-record form, the padded length,
 * the data section's header by packing and the byte planes of 24-bit data
 * (the szip form has szip.h). Every module of the library calls these
 * instead of keeping a copy. Internal, not installed; C++ only.
 */
#ifndef VALMORA_GRIB1_H
#define VALMORA_GRIB1_H

#include <cstddef>
#include <cstdint>

namespace g1 {

// ---- Big-endian numbers ----------------------------------------------------

inline uint32_t get2(const unsigned char *p) { return (uint32_t)p[0] << 8 | p[1]; }
inline uint32_t get3(const unsigned char *p) { return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2]; }
inline uint32_t get4(const unsigned char *p) { return (uint32_t)p[0] << 24 | get3(p + 1); }
inline uint64_t get8(const unsigned char *p) { return (uint64_t)get4(p) << 32 | get4(p + 4); }

// n octets (1 to 4) as one number.
inline uint32_t getN(const unsigned char *p, unsigned n)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// The low 16, 24 or 32 bits of v, most significant octet first.
inline void put2(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}
inline void put3(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 16);
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)v;
}
inline void put4(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    put3(p + 1, v);
}

// ---- Sign and magnitude ----------------------------------------------------

// The raw value v of `octets` octets: the top bit is the sign, the others the
// magnitude.
inline int signMagnitude(uint32_t v, unsigned octets)
{
    const uint32_t top = 1u << (8 * octets - 1);
    const int mag = (int)(v & (top - 1));
    return (v & top) ? -mag : mag;
}
inline int getSigned2(const unsigned char *p) { return signMagnitude(get2(p), 2); }
inline int getSigned3(const unsigned char *p) { return signMagnitude(get3(p), 3); }

// v in sign and magnitude over `octets` octets. The magnitude is taken
// unsigned, so INT_MIN is harmless; bits beyond the field are the caller's
// to drop (every put drops them).
inline uint32_t toSignMagnitude(int v, unsigned octets)
{
    return v < 0 ? (1u << (8 * octets - 1)) + (0u - (unsigned)v) : (unsigned)v;
}
inline void putSigned2(unsigned char *p, int v) { put2(p, toSignMagnitude(v, 2)); }
inline void putSigned3(unsigned char *p, int v) { put3(p, toSignMagnitude(v, 3)); }

// ---- The large-record form -------------------------------------------------

// Top bit of the indicator's 24-bit length (octets 5-7): the large form, or a
// plain length of 8,388,608 octets or more.
constexpr uint32_t kLargeFlag = 0x800000;
// The other 23 bits: in the large form the padded length in units.
constexpr uint32_t kLargeUnits = 0x7FFFFF;
// The large form pads a record to a multiple of this many octets.
constexpr uint32_t kLargeUnit = 120;
// The data section's length field holds at most this in the large form (the
// padding plus 4 is at most 123, but 121 to 123 read as plain lengths).
constexpr uint32_t kLargeCorrectionMax = 120;
// The least padded length of the large form: below it 24 bits hold any length.
constexpr int64_t kLargeMinPadded = 0x800000;
// kLargeMinPadded in units: 69,905 x 120 lies below it, 69,906 x 120 above.
constexpr uint32_t kLargeMinUnits = 69906;
// The most octets the large form can state (0x7FFFFF x 120).
constexpr int64_t kLargeMaxPadded = (int64_t)kLargeUnits * kLargeUnit;
// A record whose octets before "7777" reach this needs more than 24 bits.
constexpr int64_t kLargeFromBeforeEnd = 0xFFFFFC;
// The most a 24-bit length field holds.
constexpr uint32_t kMax24 = 0xFFFFFF;

// The padded length R that the indicator's length field L states in the large
// form: its 23-bit count times 120, or 0 when the large flag is clear.
inline int64_t paddedFromIndicator(uint32_t L)
{
    return (L & kLargeFlag) ? (int64_t)(L & kLargeUnits) * kLargeUnit : 0;
}

// The indicator's length field for a record padded to R octets in the large form.
inline uint32_t largeIndicator(int64_t R) { return kLargeFlag | (uint32_t)(R / kLargeUnit); }

struct BdsLength {
    int64_t length; // the true data-section length
    bool large;     // the record is in the large form
};

// The large-record rule, the one statement of it: a data section whose length
// field f is at most 120 in a record padded to R >= 0x800000 octets is in the
// large form, its true length R - offset - f (offset: octets before it, so the
// record ends R - f + 4 octets after its start); otherwise f is its length.
// R comes from the indicator (paddedFromIndicator) or from a caller that knows it.
inline BdsLength bdsLength(uint32_t f, int64_t R, int64_t offset)
{
    if (f <= kLargeCorrectionMax && R >= kLargeMinPadded) return {R - offset - (int64_t)f, true};
    return {(int64_t)f, false};
}

// ---- Padding of written records ---------------------------------------------

// Records are written in whole 8-octet words.
constexpr size_t kPadUnit = 8;
// Longer records than this are padded to multiples of 120 (the large form's unit).
constexpr size_t kPlainMax = 0x7FFFFF;

inline size_t roundUp(size_t length, size_t unit) { return (length + unit - 1) / unit * unit; }

// A record length rounded up to a multiple of 8, or of 120 beyond 8,388,607
// octets; a length that cannot be rounded within size_t stays as it is.
inline size_t paddedLength(size_t length)
{
    const size_t unit = length > kPlainMax ? kLargeUnit : kPadUnit;
    if (length > SIZE_MAX - unit) return length;
    return roundUp(length, unit);
}

// ---- The product definition section -------------------------------------------

// Flag bits of PDS octet 8: which optional sections follow it.
constexpr unsigned kPdsGds = 0x80; // a grid description section
constexpr unsigned kPdsBms = 0x40; // a bit-map section

// Level types whose value fills both octets 11-12; every other type keeps
// one value in each octet.
inline bool wideLevel(int type)
{
    static const int wide[] = {20, 99, 100, 103, 105, 107, 109, 111, 113, 115, 117, 125, 127, 160, 210};
    for (int t : wide)
        if (t == type) return true;
    return false;
}

// Octets of the local extension after octet 28 that the section arrays
// describe, by originating centre (octet 5) and local definition number
// (octet 41): 0 for any other, which the arrays do not hold.
inline unsigned pdsExtensionLength(int centre, int definition)
{
    if (centre == 78 || centre == 215 || centre == 250) return definition == 254 ? 26 : definition == 253 ? 38 : 0;
    if (centre == 98) return definition == 1 ? 24 : 0;
    if (centre == 252) return definition == 1 ? 18 : 0;
    return 0;
}

// ---- The binary data section --------------------------------------------------

// Flag bits of BDS octet 4.
constexpr unsigned kBdsSpectral = 0x80; // spherical harmonic coefficients
constexpr unsigned kBdsComplex = 0x40;  // with kBdsSpectral: complex packing
constexpr unsigned kBdsSzip = 0x10;     // further flags: here the szip form
constexpr unsigned kBdsHighBits = 0xF0; // the flags proper
constexpr unsigned kBdsUnused = 0x0F;   // unused bits at the end of the data
// The unused-bit count when one zero octet ends an odd-length section.
constexpr unsigned kBdsPadBits = 8;

// Spherical harmonics in complex packing, by BDS octet 4.
inline bool complexPacking(unsigned flag)
{
    return (flag & (kBdsSpectral | kBdsComplex)) == (kBdsSpectral | kBdsComplex);
}

// Octets 1-11 of every BDS: length, flag, scale factor, reference, width.
constexpr size_t kBdsFixed = 11;

// Octets of the BDS before its packed data, by the flag and, for complex
// packing, the subset truncation J (BDS octet 16, or the encoder's JS): 11
// for grid-point data, 15 for simple spectral packing (the unpacked mean),
// 18 + 4 (J + 1)(J + 2) for complex packing (J, K, M, N, P and the subset).
inline size_t bdsHeaderLength(unsigned flag, unsigned J)
{
    if (!(flag & kBdsSpectral)) return kBdsFixed;
    if (!(flag & kBdsComplex)) return kBdsFixed + 4;
    return kBdsFixed + 7 + 4 * ((size_t)J + 1) * ((size_t)J + 2);
}

// The number of packed data bits of a data section of `length` octets whose
// packed values start after `header` octets, less the unused bits that BDS
// octet 4 (`flag`) counts; negative when the section ends before them.
inline int64_t packedBits(size_t length, size_t header, unsigned flag)
{
    return ((int64_t)length - (int64_t)header) * 8 - (int64_t)(flag & kBdsUnused);
}

// ---- The grid description section -------------------------------------------------

// The least grid description: the fixed part of the simplest layouts.
constexpr unsigned kGdsMin = 32;
// Octets a rotation or a stretching adds to a layout.
constexpr unsigned kGdsTransform = 10;

inline bool latLonGrid(int t) { return t == 0 || t == 10 || t == 20 || t == 30; }
inline bool gaussianGrid(int t) { return t == 4 || t == 14 || t == 24 || t == 34; }
inline bool spectralGrid(int t) { return t == 50 || t == 60 || t == 70 || t == 80; }
inline bool rotatedGrid(int t) { return t == 10 || t == 14 || t == 30 || t == 34 || t == 60 || t == 80; }
inline bool stretchedGrid(int t) { return t == 20 || t == 24 || t == 30 || t == 34 || t == 70 || t == 80; }

// Octets of the GDS before its lists (vertical coordinates, then row
// counts) by data representation type: 32, plus 10 for a rotation and 10
// for a stretching, for the latitude/longitude, Gaussian and spectral
// families; 42 for Lambert, 32 for polar stereographic and the triangular
// grid, 44 for the space view; 0 for a type without a known layout.
inline unsigned gdsFixedLength(int t)
{
    if (latLonGrid(t) || gaussianGrid(t) || spectralGrid(t))
        return kGdsMin + (rotatedGrid(t) ? kGdsTransform : 0) + (stretchedGrid(t) ? kGdsTransform : 0);
    if (t == 3) return 42;
    if (t == 5 || t == 192) return kGdsMin;
    if (t == 90) return 44;
    return 0;
}

// ---- The section walk of editions 0 and 1 -------------------------------------------

// The edition of the record whose "GRIB" is at p (8 octets held). Edition 0
// has no edition octet: its octets 5-7 hold the product definition length,
// 24 in that edition, and octet 8 is the table version.
inline int edition(const unsigned char *p)
{
    const int e = p[7];
    return get3(p + 4) == 24 && e != 1 && e != 2 ? 0 : e;
}

// Where the sections of an edition 0 or 1 record lie, in octets from its
// "GRIB", and their length fields.
struct Frame {
    size_t pds = 0, gds = 0, bms = 0, bds = 0; // gds and bms 0 when absent
    uint32_t P = 0, G = 0, B = 0;              // the length fields of the PDS, GDS and BMS
    uint32_t f = 0;                            // the BDS length field
    uint32_t flag = 0;                         // PDS octet 8: which optional sections follow
    size_t length = 0;                         // the record's length by the sizing rule
};

// The walk's results.
enum { kFrameDone = 0, kFrameMore = 1, kFrameNone = -2 };

// The record's length from its length fields, in 32-bit arithmetic as the
// fields: edition 0 adds its sections up; edition 1 states it in the
// indicator (L), or in the large form through the data section's correction.
inline uint32_t lengthFromSections(int edition, uint32_t L, uint32_t P, uint32_t G, uint32_t B, uint32_t f)
{
    if (edition == 0) return L + G + B + f + 8;
    if (!(L & kLargeFlag) || f > kLargeCorrectionMax) return L;
    uint32_t offset = 8 + P + G + B;
    // A 23-bit count too small for the large form leaves f as a plain BDS
    // length, as the section locator reads it.
    return (uint32_t)(offset + bdsLength(f, paddedFromIndicator(L), offset).length + 4);
}

// The one walk over the section headers of an edition 0 or 1 record whose
// indicator gives L (octets 5-7): read(at, n, v) puts the n-octet number
// at octet `at` (from 0 at "GRIB") into v, or says false when those octets
// are not to be had. The walk reads in increasing order and only the
// length fields and the PDS flag octet. kFrameDone: f filled; kFrameMore:
// *need octets must be held to go on; kFrameNone: a section is shorter than
// its own header (a PDS below 8 octets, a GDS or BMS below 3), so no
// record follows from them. Prints nothing.
template <typename Read> int walkSections(int edition, uint32_t L, Read &&read, Frame &f, size_t *need)
{
    auto get = [&](size_t at, unsigned n, uint32_t &v) {
        if (read(at, n, v)) return true;
        *need = at + n;
        return false;
    };
    f = Frame();
    // The indicator is 8 octets in edition 1 and 4 in edition 0, whose
    // octets 5-7 already are the definition section's length.
    f.pds = edition == 1 ? 8 : 4;
    if (edition == 0)
        f.P = L;
    else if (!get(f.pds, 3, f.P))
        return kFrameMore;
    if (!get(f.pds + 7, 1, f.flag)) return kFrameMore;
    if (f.P < 8) return kFrameNone;
    size_t at = f.pds + f.P;
    if (f.flag & kPdsGds) {
        f.gds = at;
        if (!get(at, 3, f.G)) return kFrameMore;
        if (f.G < 3) return kFrameNone;
        at += f.G;
    }
    if (f.flag & kPdsBms) {
        f.bms = at;
        if (!get(at, 3, f.B)) return kFrameMore;
        if (f.B < 3) return kFrameNone;
        at += f.B;
    }
    f.bds = at;
    if (!get(at, 3, f.f)) return kFrameMore;
    f.length = lengthFromSections(edition, L, f.P, f.G, f.B, f.f);
    return kFrameDone;
}

// The header a walk stopped at, the last one it reached: its offset, and
// its name in `what`.
inline size_t lastHeader(const Frame &f, const char *&what)
{
    what = f.bds ? "binary data section" : f.bms ? "bit-map section" : f.gds ? "grid description section"
                                                                              : "product definition section";
    return f.bds ? f.bds : f.bms ? f.bms : f.gds ? f.gds : f.pds;
}

// The walk over the `held` octets at rec (at least 8), the record's "GRIB".
inline int frameSections(const unsigned char *rec, size_t held, Frame &f, size_t *need)
{
    return walkSections(
        edition(rec), get3(rec + 4),
        [&](size_t at, unsigned n, uint32_t &v) {
            if (at > held || n > held - at) return false;
            v = getN(rec + at, n);
            return true;
        },
        f, need);
}

// ---- The locator of editions 0 and 1 --------------------------------------------------

// An edition 0 or 1 record in memory as the locator finds it: its status,
// where its sections lie and, for a failure, what to report.
struct Located {
    int status = -1;            // 0 whole; 1 longer than the octets held; -1 no record; -2 damaged
    size_t pds = 0, gds = 0, bms = 0, bds = 0; // offsets from "GRIB"; gds and bms 0 when absent
    size_t length = 0;          // the record's length, the large-record rule applied
    int edition = -1;
    // The failure, for reportLocated.
    enum Why { kNone, kShortIndicator, kNoMarker, kEdition, kOutside, kShortSection, kLonger, kEndOutside, kNoEnd };
    Why why = kNone;
    const char *what = "";      // the section concerned
    unsigned long at = 0;       // octets before its header
    unsigned long limit = 0;    // the octets the record may claim
    unsigned char found[4] = {0, 0, 0, 0}; // the octets found for "GRIB" or "7777"
};

// Frames the record at rec (`size` octets valid; nothing beyond is read):
// Located::status as grib1Sections returns it, with the sections set on 0,
// 1 and -2 for a missing "7777". Quiet: reportLocated says what went wrong.
Located locate1(const unsigned char *rec, long size);

// The locator's one line on standard error for a failed locate1.
void reportLocated(const Located &l);

// The message of a section header beyond the `limit` octets of a record;
// `at` counts the octets before it.
void reportOutside(const char *what, unsigned long at, unsigned long limit);

// ---- Byte planes -------------------------------------------------------------

// 24-bit values as three planes of k octets: all first octets, then all
// middle ones, then all last ones. Both take (destination, source, k); the
// two must not overlap. In planes.cpp.
void planeSplit(unsigned char *out, const unsigned char *in, size_t k);
void planeJoin(unsigned char *out, const unsigned char *in, size_t k);

} // namespace g1

#endif /* VALMORA_GRIB1_H */
