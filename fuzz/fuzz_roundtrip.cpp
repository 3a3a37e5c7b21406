// Fuzz target for the two halves of the library against each other: section
// arrays drawn from the input (grid type, sizes, width, values, a bit map)
// are encoded by either twin, and a record the encoder accepts must decode
// with status 0 to the arrays that went in: the product and grid elements
// each layout carries, the sizes, the data description, the missing points
// exactly and every value within the packing's step.
#include "valmora.h"

#include "check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;
    unsigned octet()
    {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    int pick(int lo, int hi)
    {
        const unsigned v = octet() << 16 | octet() << 8 | octet();
        return lo + (int)(v % (unsigned)(hi - lo + 1));
    }
};

enum Kind { LatLon, Gaussian, Rotated, Lambert, Triangular, Reduced, SpectralSimple, SpectralComplex, Kinds };

constexpr int kMissing = -9999;
constexpr size_t kMaxRows = 60; // reduced grids: rows at most

template <typename T> struct Arrays {
    std::vector<int> isec0 = std::vector<int>(2, -1), isec1 = std::vector<int>(64, 0);
    std::vector<int> isec2 = std::vector<int>(22 + kMaxRows, 0), isec3 = std::vector<int>(2, 0);
    std::vector<int> isec4 = std::vector<int>(64, 0);
    std::vector<T> fsec2 = std::vector<T>(16, 0), fsec3 = std::vector<T>(2, 0), fsec4;
};

// Arrays of the given kind, every element within what its octets hold.
template <typename T> void describe(Arrays<T> &a, Kind kind, Reader &in)
{
    const int pds[] = {128, 98, 145, 255, 128, 130, 1, 0, 0, 24, 5, 17, 12, 30, 1};
    std::copy(pds, pds + 15, a.isec1.begin());
    a.isec1[5] = in.pick(1, 254), a.isec1[7] = in.pick(0, 255), a.isec1[8] = in.pick(0, 255);
    a.isec1[15] = in.pick(0, 255), a.isec1[20] = 21, a.isec1[22] = in.pick(-3, 4);
    const int ni = in.pick(2, 40), nj = in.pick(2, 30);
    const int g[11] = {0, ni, nj, in.pick(-90000, 90000), in.pick(-180000, 180000), 128, in.pick(-90000, 90000),
                       in.pick(-180000, 180000), in.pick(1, 9000), in.pick(1, 9000), in.pick(0, 1) * 64};
    std::copy(g, g + 11, a.isec2.begin());
    if (in.pick(0, 2) == 0) {
        a.isec2[11] = in.pick(1, 4);
        for (int i = 0; i < a.isec2[11]; ++i) a.fsec2[10 + i] = (T)(in.pick(-100000, 100000) / 64.0);
    }
    size_t count = (size_t)ni * nj;
    switch (kind) {
    case Gaussian: a.isec2[0] = 4, a.isec2[9] = nj / 2 + 1; break;
    case Rotated:
        a.isec2[0] = 10, a.isec2[12] = in.pick(-90000, 0), a.isec2[13] = in.pick(0, 360000);
        a.fsec2[0] = (T)in.pick(-90, 90);
        break;
    case Lambert:
        a.isec2[0] = 3, a.isec2[12] = 128, a.isec2[13] = 25000, a.isec2[14] = 35000;
        a.isec2[19] = -90000, a.isec2[20] = 5000;
        break;
    case Triangular: a.isec2[0] = 192, a.isec2[3] = 10, a.isec2[4] = 32, a.isec2[9] = 1; break;
    case Reduced:
        a.isec2[0] = 4, a.isec2[16] = 1, a.isec2[5] = 0, a.isec2[9] = nj / 2;
        count = 0;
        for (int j = 0; j < nj; ++j) count += (size_t)(a.isec2[22 + j] = in.pick(4, 30));
        break;
    case SpectralSimple:
    case SpectralComplex: {
        const int t = in.pick(1, 30);
        const int s[6] = {50, t, t, t, 1, kind == SpectralComplex ? 2 : 1};
        std::copy(s, s + 6, a.isec2.begin());
        a.isec2[11] = 0;
        count = (size_t)(t + 1) * (t + 2);
        a.isec4[3] = kind == SpectralComplex ? 64 : 0;
        a.isec4[16] = in.pick(-1000, 2000), a.isec4[17] = in.pick(0, t);
        break;
    }
    default: break;
    }
    const double base = in.pick(-3000, 3000), amp = std::ldexp(1.0, in.pick(-8, 12));
    a.fsec4.resize(count);
    for (T &v : a.fsec4) v = (T)(base + amp * ((int)in.octet() - 128) / 128.0);
    a.isec4[0] = (int)count;
    a.isec4[1] = in.pick(1, 32);
    if (kind < SpectralSimple && in.pick(0, 3) == 0) {
        a.isec1[4] = 192, a.fsec3[1] = (T)kMissing;
        for (T &v : a.fsec4)
            if (in.pick(0, 9) == 0) v = (T)kMissing;
    }
}

int encode(Arrays<double> &a, std::vector<int> &kgrib, int *used, int *status)
{
    grib_encode_double(a.isec0.data(), a.isec1.data(), a.isec2.data(), a.fsec2.data(), a.isec3.data(),
                       a.fsec3.data(), a.isec4.data(), a.fsec4.data(), 0, kgrib.data(), (int)kgrib.size(), used, 0,
                       status);
    return *status;
}
int encode(Arrays<float> &a, std::vector<int> &kgrib, int *used, int *status)
{
    grib_encode_float(a.isec0.data(), a.isec1.data(), a.isec2.data(), a.fsec2.data(), a.isec3.data(), a.fsec3.data(),
                      a.isec4.data(), a.fsec4.data(), 0, kgrib.data(), (int)kgrib.size(), used, 0, status);
    return *status;
}

int decode(const unsigned char *rec, size_t len, Arrays<double> &d, size_t *n2, size_t *nf2, size_t *n4)
{
    return grib_decode_double(rec, len, d.isec0.data(), d.isec1.data(), d.isec2.data(), n2, d.fsec2.data(), nf2,
                              d.isec3.data(), d.fsec3.data(), d.isec4.data(), d.fsec4.data(), n4);
}
int decode(const unsigned char *rec, size_t len, Arrays<float> &d, size_t *n2, size_t *nf2, size_t *n4)
{
    return grib_decode_float(rec, len, d.isec0.data(), d.isec1.data(), d.isec2.data(), n2, d.fsec2.data(), nf2,
                             d.isec3.data(), d.fsec3.data(), d.isec4.data(), d.fsec4.data(), n4);
}

// E and R as the record stores them (BDS octets 5-10).
void scaling(const unsigned char *rec, int *E, double *R)
{
    size_t at = 8 + (rec[8] << 16 | rec[9] << 8 | rec[10]);
    for (unsigned bit : {0x80u, 0x40u})
        if (rec[8 + 7] & bit) at += (size_t)(rec[at] << 16 | rec[at + 1] << 8 | rec[at + 2]);
    const unsigned char *b = rec + at;
    const int e = (b[4] & 0x7F) << 8 | b[5];
    *E = b[4] & 0x80 ? -e : e;
    *R = decfp2(b[6], b[7] << 16 | b[8] << 8 | b[9]);
}

template <typename T> void roundTrip(Reader in, const char *name)
{
    const Kind kind = (Kind)(in.octet() % Kinds);
    Arrays<T> a;
    describe(a, kind, in);
    const Arrays<T> given = a; // the encoder rewrites fsec4
    std::vector<int> kgrib(a.fsec4.size() + 4096);
    int used = -1, status = -1;
    if (encode(a, kgrib, &used, &status) != 0) return;
    const unsigned char *rec = reinterpret_cast<const unsigned char *>(kgrib.data());
    const size_t len = (size_t)a.isec0[0];

    Arrays<T> d;
    d.isec2.assign(VALMORA_ISEC2_SIZE, 0);
    d.fsec2.assign(VALMORA_FSEC2_SIZE, 0);
    d.fsec3[1] = (T)kMissing;
    d.fsec4.assign(given.fsec4.size(), (T)0);
    size_t n2 = d.isec2.size(), nf2 = d.fsec2.size(), n4 = d.fsec4.size();
    const int rc = decode(rec, len, d, &n2, &nf2, &n4);
    FUZZ_CHECK(rc == 0, "%s: kind %d, %d bits, record of %zu octets decodes with %d", name, kind, given.isec4[1], len,
               rc);
    // The record's own length, without the encoder's padding.
    const int stated = rec[4] << 16 | rec[5] << 8 | rec[6];
    FUZZ_CHECK(d.isec0[0] == stated && d.isec0[1] == 1, "%s: isec0 = {%d, %d} for a record of %d octets", name,
               d.isec0[0], d.isec0[1], stated);
    for (int i = 0; i <= 22; ++i)
        FUZZ_CHECK(d.isec1[i] == given.isec1[i], "%s: isec1[%d] %d, given %d", name, i, d.isec1[i], given.isec1[i]);

    // The grid elements each layout carries.
    std::vector<int> carried = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    if (kind == Rotated) carried.insert(carried.end(), {12, 13});
    if (kind == Lambert) carried = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 19, 20};
    if (kind == Triangular) carried = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11};
    if (kind == Reduced) carried = {0, 2, 3, 4, 5, 6, 7, 9, 10, 11, 16};
    if (kind >= SpectralSimple) carried = {0, 1, 2, 3, 4, 5, 11};
    for (int i : carried)
        FUZZ_CHECK(d.isec2[i] == given.isec2[i], "%s: kind %d: isec2[%d] %d, given %d", name, kind, i, d.isec2[i],
                   given.isec2[i]);
    const size_t rows = kind == Reduced ? (size_t)given.isec2[2] : 0;
    for (size_t j = 0; j < rows; ++j)
        FUZZ_CHECK(d.isec2[22 + j] == given.isec2[22 + j], "%s: row %zu has %d points, given %d", name, j,
                   d.isec2[22 + j], given.isec2[22 + j]);
    FUZZ_CHECK(n2 == 22 + rows && nf2 == 10 + (size_t)given.isec2[11] && n4 == given.fsec4.size(),
               "%s: sizes %zu %zu %zu for %zu rows, %d coordinates, %zu values", name, n2, nf2, n4, rows,
               given.isec2[11], given.fsec4.size());
    for (int i = 0; i < given.isec2[11]; ++i)
        FUZZ_CHECK(std::fabs(d.fsec2[10 + i] - given.fsec2[10 + i]) <= 1e-6 * std::fabs(given.fsec2[10 + i]),
                   "%s: coordinate %d %g, given %g", name, i, (double)d.fsec2[10 + i], (double)given.fsec2[10 + i]);
    for (int i = 0; i < 4; ++i)
        FUZZ_CHECK(d.isec4[i] == a.isec4[i], "%s: isec4[%d] %d, encoded %d", name, i, d.isec4[i], a.isec4[i]);

    // Values: half a step and the reference's distance below the minimum, a
    // whole step where the scale search stops at E = 0, and the rounding of
    // the type. Complex packing's unscaling grows the step: its values are
    // checked for their number only.
    if (kind == SpectralComplex) return;
    int E;
    double R;
    scaling(rec, &E, &R);
    const double dec = std::pow(10.0, -given.isec1[22]);
    const bool bitmap = given.isec1[4] & 64;
    double fmin = INFINITY, vmax = 0;
    for (size_t i = kind == SpectralSimple ? 1 : 0; i < given.fsec4.size(); ++i)
        if (!bitmap || given.fsec4[i] != (T)kMissing) {
            fmin = std::fmin(fmin, (double)given.fsec4[i] / dec);
            vmax = std::fmax(vmax, std::fabs((double)given.fsec4[i]));
        }
    const double tol = (std::ldexp(1.0, E) / (E == 0 ? 1 : 2) + std::fmax(0.0, fmin - R)) * dec * 1.0000001 +
                       vmax * (sizeof(T) == 4 ? 3e-7 : 1e-12) + (kind == SpectralSimple ? vmax * 1e-6 : 0);
    for (size_t i = 0; i < given.fsec4.size(); ++i) {
        const double want = given.fsec4[i], got = d.fsec4[i];
        if (bitmap && given.fsec4[i] == (T)kMissing)
            FUZZ_CHECK(got == want, "%s: missing point %zu decodes to %g", name, i, got);
        else
            FUZZ_CHECK(std::fabs(got - want) <= tol, "%s: kind %d, %d bits, value %zu: %.17g for %.17g (E %d)", name,
                       kind, given.isec4[1], i, got, want, E);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = false;
    if (!quiet) {
        grsdef();
        quiet = true;
    }
    const Reader in{data, size};
    roundTrip<double>(in, "grib_encode_double");
    roundTrip<float>(in, "grib_encode_float");
    return 0;
}
