// Grid descriptions and coordinates. Both editions are read into one form
// (grid::Desc), so that one set of loops gives the coordinates of either.
// The coordinates follow the conventions of the common GRIB decoders, so
// that a point has the same latitude and longitude here as there: first and
// last points as stored, rotated grids returned in geographic coordinates.
#include "gribGrid.h"
#include "grib1.h"
#include "gribField2.h"
#include "support.h"
#include "valmora.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace grid {

namespace {

using g1::get2;
using g1::get3;
using g1::get4;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;

// GRIB1 angles are in thousandths of a degree.
constexpr double kMilli = 1e-3;
// GRIB2 angles are in millionths of a degree unless a basic angle says otherwise.
constexpr double kMicro = 1e-6;
// A GRIB2 number whose octets are all ones is missing.
constexpr uint32_t kMissing4 = 0xFFFFFFFF;
constexpr uint32_t kMissing2 = 0xFFFF;

// The earth's figures that the codes name, metres.
constexpr double kRadius1 = 6367470.0;                       // GRIB1 sphere, GRIB2 shape 0
constexpr double kIauMajor = 6378160.0, kIauMinor = 6356775.0; // IAU 1965 (GRIB1 oblate, GRIB2 shape 2)
constexpr double kGrs80Major = 6378137.0, kGrs80Minor = 6356752.314;
constexpr double kWgs84Minor = 6356752.314245;
constexpr double kRadius6 = 6371229.0;
constexpr double kRadius8 = 6371200.0;
constexpr double kOsgbMajor = 6377563.396, kOsgbMinor = 6356256.909;

// The latitude where GRIB1 polar stereographic increments hold.
constexpr double kGrib1PolarTrueLat = 60.0;

inline int getSigned4(const unsigned char *p) { return (int)g2::getSigned(p, 4); }

// ---- GRIB1 ------------------------------------------------------------------

inline double milli3(const unsigned char *p) { return g1::getSigned3(p) * kMilli; }

void earth1(unsigned resolution, Desc &d)
{
    // Resolution flag 0x40: the IAU 1965 spheroid, else a sphere.
    if (resolution & 0x40) {
        d.earthShape = 2;
        d.majorAxis = kIauMajor;
        d.minorAxis = kIauMinor;
        d.radius = 0;
    } else {
        d.earthShape = 0;
        d.radius = kRadius1;
    }
}

bool rotated1(int t) { return t == 10 || t == 14 || t == 30 || t == 34; }
bool stretched1(int t) { return t == 20 || t == 24 || t == 30 || t == 34; }

// ---- GRIB2 ------------------------------------------------------------------

// A scaled value: value x 10^-factor; NaN when either is missing.
double scaled(unsigned factor, uint32_t value)
{
    if (factor == 0xFF || value == kMissing4) return NAN;
    return value * std::pow(10.0, -(int)factor);
}

void earth2(const unsigned char *g, Desc &d)
{
    const int shape = g[14];
    d.earthShape = shape;
    d.radius = d.majorAxis = d.minorAxis = 0;
    switch (shape) {
    case 0: d.radius = kRadius1; break;
    case 1: d.radius = scaled(g[15], get4(g + 16)); break;
    case 2: d.majorAxis = kIauMajor, d.minorAxis = kIauMinor; break;
    case 3:
        d.majorAxis = 1000.0 * scaled(g[20], get4(g + 21));
        d.minorAxis = 1000.0 * scaled(g[25], get4(g + 26));
        break;
    case 4: d.majorAxis = kGrs80Major, d.minorAxis = kGrs80Minor; break;
    case 5: d.majorAxis = kGrs80Major, d.minorAxis = kWgs84Minor; break;
    case 6: d.radius = kRadius6; break;
    case 7:
        d.majorAxis = scaled(g[20], get4(g + 21));
        d.minorAxis = scaled(g[25], get4(g + 26));
        break;
    case 8: d.radius = kRadius8; break;
    case 9: d.majorAxis = kOsgbMajor, d.minorAxis = kOsgbMinor; break;
    default: break; // unknown: projections have no figure to work with
    }
}

// Points of row `row` of a reduced grid.
inline long rowCount(const Desc &d, long row)
{
    return (long)g1::getN(d.pl + (size_t)row * d.plOctets, d.plOctets);
}

// A reduced row of pl points on a parallel, cut to lon1 .. lon2 (pl counts
// the whole parallel): how many points lie in the cut and the index of the
// first, counted from longitude 0.
void reducedRow(long pl, double lon1, double lon2, long &count, long &first)
{
    double range = lon2 - lon1;
    if (range < 0) {
        range += 360;
        lon1 -= 360;
    }
    count = (long)(range * pl / 360.0) + 1;
    first = (long)(lon1 * pl / 360.0);
    long last = (long)(lon2 * pl / 360.0);
    long span = last - first + 1;
    if (span != count) {
        if (first * 360.0 / pl < lon1) ++first, --span;
        if (last * 360.0 / pl > lon2) --last, --span;
        count = span;
    }
    if (first < 0) first += pl;
}

// A reduced grid whose rows go round the globe: the last point lies less
// than one step of the longest row short of the first.
bool reducedGlobal(const Desc &d)
{
    long most = 0;
    for (long j = 0; j < d.nj; ++j) most = std::max(most, rowCount(d, j));
    if (most <= 0) return false;
    double span = d.lon2 - d.lon1;
    if (span < 0) span += 360;
    constexpr double kTolerance = 1e-3; // GRIB1 keeps longitudes to a thousandth of a degree
    return span + 360.0 / most >= 360.0 - kTolerance;
}

long reducedPoints(const Desc &d)
{
    const bool global = reducedGlobal(d);
    long total = 0;
    for (long j = 0; j < d.nj; ++j) {
        long count = rowCount(d, j), first = 0;
        if (!global && count > 0) reducedRow(count, d.lon1, d.lon2, count, first);
        total += count;
    }
    return total;
}

// The step from row to row of a regular latitude/longitude grid, southward
// positive: the stored increment, or the one that first and last give.
double rowStep(const Desc &d)
{
    double step = d.dj;
    if (!d.djGiven && d.nj > 1) step = std::fabs(d.lat1 - d.lat2) / (double)(d.nj - 1);
    return (d.scan & kScanJPositive) ? -step : step;
}

// Rows of a regular latitude/longitude grid all on the globe (the rows are
// evenly spaced but for the last, so the ends are the extremes).
bool rowsOnTheGlobe(const Desc &d)
{
    constexpr double kPole = 90.0 + 1e-6;
    const double beforeLast = d.lat1 - (double)std::max(0L, d.nj - 2) * rowStep(d);
    return std::fabs(d.lat1) <= kPole && std::fabs(d.lat2) <= kPole && std::fabs(beforeLast) <= kPole;
}

// Sets the points of a described grid; a layout that cannot hold is damaged.
int finish(Desc &d)
{
    if (d.ni < 0 || d.nj < 0) return kDamaged;
    if (d.pl) {
        d.points = reducedPoints(d);
    } else if (__builtin_mul_overflow(d.ni, d.nj, &d.points)) {
        return kDamaged;
    }
    if (d.kind == kGaussian && (d.gaussianN <= 0 || 2 * d.gaussianN < d.nj)) return kDamaged;
    if (d.kind == kGaussian && d.gaussianN > kGaussianMaxN) d.kind = kOther;
    if (d.kind == kLatLon && !rowsOnTheGlobe(d)) return kDamaged;
    return d.kind == kOther ? kNoLayout : 0;
}

} // namespace

int describe1(const unsigned char *g, size_t length, Desc &d)
{
    d = Desc();
    d.edition = 1;
    constexpr size_t kFixed = 32;
    if (!g || length < kFixed) return kDamaged;
    const int t = g[5];
    d.templateNumber = t;
    d.resolution = g[16];
    earth1(d.resolution, d);
    const unsigned nv = g[3], pv = g[4];
    d.scan = g[27];
    d.ni = get2(g + 6);
    d.nj = get2(g + 8);
    d.lat1 = milli3(g + 10);
    d.lon1 = milli3(g + 13);

    switch (t) {
    case 0: case 10: case 20: case 30:
    case 4: case 14: case 24: case 34: {
        const bool gaussian = t == 4 || t == 14 || t == 24 || t == 34;
        d.lat2 = milli3(g + 17);
        d.lon2 = milli3(g + 20);
        const unsigned di = get2(g + 23), dj = get2(g + 25);
        const bool given = d.resolution & 0x80;
        d.diGiven = given && di != kMissing2;
        d.di = di * kMilli;
        if (gaussian) {
            d.gaussianN = dj;
        } else {
            d.djGiven = given && dj != kMissing2;
            d.dj = dj * kMilli;
        }
        const size_t base = kFixed + (rotated1(t) ? 10 : 0) + (stretched1(t) ? 10 : 0);
        if (length < base) return kDamaged;
        if (rotated1(t)) {
            d.rotated = true;
            d.southPoleLat = milli3(g + 32);
            d.southPoleLon = milli3(g + 35);
            d.rotationAngle = decfp2((int)g[38], (int)get3(g + 39));
        }
        if (d.ni == kMissing2) { // quasi-regular: a count per row follows the vertical coordinates
            const size_t list = (pv == 0 || pv == 255) ? base : pv - 1;
            const size_t rows = list + 4 * (size_t)nv;
            if (rows + 2 * (size_t)d.nj > length) return kDamaged;
            d.ni = 0;
            d.pl = g + rows;
            d.plOctets = 2;
        }
        d.angular = true;
        // Stretched grids and reduced latitude/longitude grids have no layout here.
        d.kind = stretched1(t) || (d.pl && !gaussian) ? kOther : gaussian ? kGaussian : kLatLon;
        break;
    }
    case 5: // polar stereographic
        d.lov = milli3(g + 17);
        d.di = get3(g + 20);
        d.dj = get3(g + 23);
        d.diGiven = d.djGiven = true;
        d.projectionCentre = g[26];
        d.latD = d.projectionCentre & 0x80 ? -kGrib1PolarTrueLat : kGrib1PolarTrueLat;
        d.kind = kPolarStereographic;
        break;
    case 3: // Lambert conformal
        if (length < 40) return kDamaged;
        d.lov = milli3(g + 17);
        d.di = get3(g + 20);
        d.dj = get3(g + 23);
        d.diGiven = d.djGiven = true;
        d.projectionCentre = g[26];
        d.latin1 = milli3(g + 28);
        d.latin2 = milli3(g + 31);
        d.latD = d.latin1;
        d.southPoleLat = milli3(g + 34);
        d.southPoleLon = milli3(g + 37);
        d.kind = kLambert;
        break;
    case 1: // Mercator
        if (length < 34) return kDamaged;
        d.lat2 = milli3(g + 17);
        d.lon2 = milli3(g + 20);
        d.latD = milli3(g + 23);
        d.di = get3(g + 28);
        d.dj = get3(g + 31);
        d.diGiven = d.djGiven = true;
        d.kind = kMercator;
        break;
    default: // space view and the rest: the keys above, no layout
        d.kind = kOther;
        break;
    }
    return finish(d);
}

int describe2(const unsigned char *g, size_t length, Desc &d)
{
    d = Desc();
    d.edition = 2;
    constexpr size_t kHeader = 14;
    if (!g || length < kHeader || get4(g) != length || g[4] != 3) return kDamaged;
    const long declared = (long)get4(g + 6);
    const unsigned plOctets = g[10];
    const int t = (int)get2(g + 12);
    d.templateNumber = t;
    // Every template with a layout here starts with the shape of the earth
    // and the numbers of points along both axes (octets 15-38).
    constexpr size_t kEarthAndSize = 38;
    // Templates that start with the shape of the earth and the numbers of
    // points along both axes.
    static const int common[] = {0, 1, 2, 3, 10, 12, 20, 30, 31, 40, 41, 42, 43, 90, 110, 140};
    if (std::find(std::begin(common), std::end(common), t) == std::end(common) || length < kEarthAndSize) {
        d.points = declared;
        return kNoLayout;
    }
    earth2(g, d);
    const uint32_t ni = get4(g + 30), nj = get4(g + 34);
    d.nj = nj == kMissing4 ? 0 : (long)nj;
    d.ni = ni == kMissing4 ? 0 : (long)ni;
    size_t list = length; // where a list of row counts would start

    switch (t) {
    case 0: case 1: case 40: case 41: {
        const bool rot = t == 1 || t == 41;
        const size_t need = rot ? 84 : 72;
        if (length < need) return kDamaged;
        const uint32_t basic = get4(g + 38), sub = get4(g + 42);
        const double unit = (basic == 0 || basic == kMissing4 || sub == 0 || sub == kMissing4)
                                ? kMicro
                                : (double)basic / sub;
        d.lat1 = getSigned4(g + 46) * unit;
        d.lon1 = getSigned4(g + 50) * unit;
        d.resolution = g[54];
        d.lat2 = getSigned4(g + 55) * unit;
        d.lon2 = getSigned4(g + 59) * unit;
        const uint32_t di = get4(g + 63), dj = get4(g + 67);
        d.diGiven = di != kMissing4;
        d.di = di * unit;
        if (t >= 40) {
            d.gaussianN = dj;
            d.kind = kGaussian;
        } else {
            d.djGiven = dj != kMissing4;
            d.dj = dj * unit;
            d.kind = kLatLon;
        }
        d.scan = g[71];
        d.angular = true;
        if (rot) {
            d.rotated = true;
            d.southPoleLat = getSigned4(g + 72) * unit;
            d.southPoleLon = getSigned4(g + 76) * unit;
            d.rotationAngle = g2::getFloat(g + 80);
        }
        list = need;
        break;
    }
    case 10: // Mercator
        if (length < 72) return kDamaged;
        d.lat1 = getSigned4(g + 38) * kMicro;
        d.lon1 = getSigned4(g + 42) * kMicro;
        d.resolution = g[46];
        d.latD = getSigned4(g + 47) * kMicro;
        d.lat2 = getSigned4(g + 51) * kMicro;
        d.lon2 = getSigned4(g + 55) * kMicro;
        d.scan = g[59];
        d.di = get4(g + 64) * 1e-3; // millimetres
        d.dj = get4(g + 68) * 1e-3;
        d.diGiven = d.djGiven = true;
        d.kind = kMercator;
        break;
    case 20: // polar stereographic
    case 30: // Lambert conformal
        if (length < (t == 20 ? 65u : 81u)) return kDamaged;
        d.lat1 = getSigned4(g + 38) * kMicro;
        d.lon1 = getSigned4(g + 42) * kMicro;
        d.resolution = g[46];
        d.latD = getSigned4(g + 47) * kMicro;
        d.lov = getSigned4(g + 51) * kMicro;
        d.di = get4(g + 55) * 1e-3;
        d.dj = get4(g + 59) * 1e-3;
        d.diGiven = d.djGiven = true;
        d.projectionCentre = g[63];
        d.scan = g[64];
        d.kind = t == 20 ? kPolarStereographic : kLambert;
        if (t == 30) {
            d.latin1 = getSigned4(g + 65) * kMicro;
            d.latin2 = getSigned4(g + 69) * kMicro;
            d.southPoleLat = getSigned4(g + 73) * kMicro;
            d.southPoleLon = getSigned4(g + 77) * kMicro;
        }
        break;
    default: // space view and the rest: sizes and earth only
        d.points = declared;
        d.kind = kOther;
        return kNoLayout;
    }
    if (ni == kMissing4 && plOctets > 0 && (d.kind == kLatLon || d.kind == kGaussian)) {
        if (plOctets > 4 || list + (size_t)plOctets * d.nj > length) return kDamaged;
        d.pl = g + list;
        d.plOctets = plOctets;
        // Reduced latitude/longitude grids have no layout here.
        if (d.kind == kLatLon) d.kind = kOther;
    }
    const int status = finish(d);
    if (status == 0 && d.points != declared) return kDamaged;
    return status;
}

} // namespace grid

// ---- Coordinates ------------------------------------------------------------------

namespace grid {

namespace {

// Gaussian latitudes: the roots of the Legendre polynomial P_nlat, found by
// Newton's method from the asymptotic first guess. Roots are refined four
// at a time, so that the recurrences of independent roots overlap.
constexpr int kRootBlock = 4;
// A step this small leaves the root exact to double precision after it,
// the convergence being quadratic.
constexpr double kNewtonDone = 1e-12;
constexpr int kNewtonMax = 20;

// Latitudes (degrees) of the roots with the given indices (0 .. nlat-1,
// north to south), count <= kRootBlock.
void gaussianRoots(long nlat, const long *index, int count, double *out)
{
    double z[kRootBlock], sign[kRootBlock];
    for (int k = 0; k < kRootBlock; ++k) {
        long i = index[k < count ? k : 0];
        sign[k] = 1;
        if (i >= nlat / 2) { // southern half: the mirror of the north (nlat is even)
            i = nlat - 1 - i;
            sign[k] = -1;
        }
        const double theta = kPi * (4.0 * (double)i + 3.0) / (4.0 * (double)nlat + 2.0);
        const double n = (double)nlat;
        z[k] = (1.0 - (n - 1.0) / (8.0 * n * n * n)) * std::cos(theta);
    }
    for (int it = 0; it < kNewtonMax; ++it) {
        double p0[kRootBlock], p1[kRootBlock];
        for (int k = 0; k < kRootBlock; ++k) p0[k] = 1.0, p1[k] = z[k];
        for (long l = 2; l <= nlat; ++l) {
            const double a = (2.0 * (double)l - 1.0) / (double)l, b = ((double)l - 1.0) / (double)l;
            for (int k = 0; k < kRootBlock; ++k) {
                const double p2 = a * z[k] * p1[k] - b * p0[k];
                p0[k] = p1[k];
                p1[k] = p2;
            }
        }
        double largest = 0;
        for (int k = 0; k < kRootBlock; ++k) {
            const double dp = (double)nlat * (z[k] * p1[k] - p0[k]) / (z[k] * z[k] - 1.0);
            const double dz = p1[k] / dp;
            z[k] -= dz;
            largest = std::max(largest, std::fabs(dz));
        }
        if (largest < kNewtonDone) break;
    }
    for (int k = 0; k < count; ++k) out[k] = sign[k] * std::asin(z[k]) * kRadToDeg;
}

// Latitudes of rows first, first + step, ... (count of them; step +1 or -1).
// A row whose mirror across the equator came earlier takes its value
// negated, so a global grid computes each root once.
void gaussianRows(long nlat, long first, long step, long count, double *out)
{
    long index[kRootBlock], where[kRootBlock];
    double roots[kRootBlock];
    int n = 0;
    auto mirrorAt = [&](long j) { return (nlat - 1 - (first + step * j) - first) * step; };
    for (long j = 0; j < count; ++j) {
        const long m = mirrorAt(j);
        if (m >= 0 && m < j) continue;
        index[n] = first + step * j;
        where[n++] = j;
        if (n == kRootBlock || j == count - 1) {
            gaussianRoots(nlat, index, n, roots);
            for (int k = 0; k < n; ++k) out[where[k]] = roots[k];
            n = 0;
        }
    }
    if (n) {
        gaussianRoots(nlat, index, n, roots);
        for (int k = 0; k < n; ++k) out[where[k]] = roots[k];
    }
    for (long j = 0; j < count; ++j) {
        const long m = mirrorAt(j);
        if (m >= 0 && m < j) out[j] = -out[m];
    }
}

// The Gaussian row nearest to latitude lat: first guessed from the
// asymptotic spacing, then chosen among its neighbours.
long gaussianNearest(long nlat, double lat)
{
    if (nlat < 3) { // one or two rows
        double rows[2];
        const long index[2] = {0, 1};
        gaussianRoots(nlat, index, (int)nlat, rows);
        return nlat == 1 || std::fabs(rows[0] - lat) <= std::fabs(rows[1] - lat) ? 0 : 1;
    }
    const double theta = (90.0 - lat) * kDegToRad;
    long guess = std::lround(theta * (4.0 * (double)nlat + 2.0) / (4.0 * kPi) - 0.75);
    guess = std::max(1L, std::min(nlat - 2, guess));
    long index[3] = {guess - 1, guess, guess + 1};
    double rows[3];
    gaussianRoots(nlat, index, 3, rows);
    int best = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(rows[k] - lat) < std::fabs(rows[best] - lat)) best = k;
    return index[best];
}

// Longitudes of a row of ni points from lon1 to lon2, the step worked out
// from them (the increment as stored is often rounded).
void rowLongitudes(const Desc &d, double *out)
{
    const long ni = d.ni;
    double lon1 = d.lon1, step = d.di;
    const bool negative = d.scan & kScanINegative;
    if (ni > 1) {
        if (negative)
            step = (d.lon1 > d.lon2 ? d.lon1 - d.lon2 : d.lon1 + 360.0 - d.lon2) / (double)(ni - 1);
        else
            step = (d.lon2 > d.lon1 ? d.lon2 - d.lon1 : d.lon2 + 360.0 - d.lon1) / (double)(ni - 1);
    }
    if (negative)
        step = -step;
    else if (lon1 + (double)(ni - 2) * step > 360.0)
        lon1 -= 360.0;
    for (long i = 0; i < ni; ++i) out[i] = lon1 + (double)i * step;
}

// Latitudes of the rows of a regular latitude/longitude grid: the stored
// increment from the first row on, the last row exactly as stored.
void rowLatitudes(const Desc &d, double *out)
{
    const long nj = d.nj;
    const double step = rowStep(d);
    for (long j = 0; j < nj; ++j) out[j] = d.lat1 - (double)j * step;
    if (nj > 0) out[nj - 1] = d.lat2;
}

// The Gaussian rows of the grid, from the row nearest its first latitude.
int gaussianLatitudesOfRows(const Desc &d, double *out)
{
    const long nlat = 2 * d.gaussianN;
    const long first = gaussianNearest(nlat, d.lat1);
    const long step = (d.scan & kScanJPositive) ? -1 : 1;
    const long last = first + step * (d.nj - 1);
    if (last < 0 || last >= nlat) return kDamaged;
    gaussianRows(nlat, first, step, d.nj, out);
    return 0;
}

// Geographic coordinates of a point of a rotated grid (south pole of the
// rotation at spLat, spLon; then turned by angle about the new axis).
struct Rotation {
    double sinT, cosT, sinO, cosO, angle;
    explicit Rotation(const Desc &d)
    {
        const double t = -(90.0 + d.southPoleLat) * kDegToRad, o = -d.southPoleLon * kDegToRad;
        sinT = std::sin(t), cosT = std::cos(t), sinO = std::sin(o), cosO = std::cos(o);
        angle = d.rotationAngle;
    }
    void apply(double lat, double lon, double &outLat, double &outLon) const
    {
        const double la = lat * kDegToRad, lo = lon * kDegToRad;
        const double xd = std::cos(lo) * std::cos(la), yd = std::sin(lo) * std::cos(la), zd = std::sin(la);
        const double x = cosT * cosO * xd + sinO * yd + sinT * cosO * zd;
        const double y = -cosT * sinO * xd + cosO * yd - sinT * sinO * zd;
        const double z = std::max(-1.0, std::min(1.0, -sinT * xd + cosT * zd));
        outLat = std::asin(z) * kRadToDeg;
        outLon = std::atan2(y, x) * kRadToDeg - angle;
    }
};

// Calls f(k, i, j) for the k-th value at column i and row j of an ni x nj
// grid, in the order the scanning mode stores them.
template <typename F> void eachPoint(long ni, long nj, unsigned scan, F f)
{
    const bool alternate = scan & kScanAlternateRows;
    size_t k = 0;
    if (scan & kScanJConsecutive) {
        for (long i = 0; i < ni; ++i)
            for (long r = 0; r < nj; ++r) f(k++, i, alternate && (i & 1) ? nj - 1 - r : r);
    } else {
        for (long j = 0; j < nj; ++j)
            for (long c = 0; c < ni; ++c) f(k++, alternate && (j & 1) ? ni - 1 - c : c, j);
    }
}

int regularLatLons(const Desc &d, double *lats, double *lons)
{
    const size_t ni = (size_t)d.ni, nj = (size_t)d.nj;
    double *scratch = (double *)memAlloc((ni + nj) * sizeof(double));
    if (!scratch) return kNoMemory;
    double *rowLon = scratch, *rowLat = scratch + ni;
    rowLongitudes(d, rowLon);
    int status = d.kind == kGaussian ? gaussianLatitudesOfRows(d, rowLat) : (rowLatitudes(d, rowLat), 0);
    if (status == 0) {
        if (d.rotated) {
            const Rotation rot(d);
            eachPoint(d.ni, d.nj, d.scan, [&](size_t k, long i, long j) {
                double la, lo;
                rot.apply(rowLat[j], rowLon[i], la, lo);
                if (lats) lats[k] = la;
                if (lons) lons[k] = lo;
            });
        } else if (!(d.scan & (kScanJConsecutive | kScanAlternateRows))) {
            // The common order: whole rows, each the same longitudes.
            for (size_t j = 0; j < nj; ++j) {
                if (lats) std::fill(lats + j * ni, lats + (j + 1) * ni, rowLat[j]);
                if (lons) memcpy(lons + j * ni, rowLon, ni * sizeof(double));
            }
        } else {
            eachPoint(d.ni, d.nj, d.scan, [&](size_t k, long i, long j) {
                if (lats) lats[k] = rowLat[j];
                if (lons) lons[k] = rowLon[i];
            });
        }
    }
    memRelease(scratch);
    return status;
}

int reducedLatLons(const Desc &d, double *lats, double *lons)
{
    double *rowLat = (double *)memAlloc((size_t)d.nj * sizeof(double));
    if (!rowLat) return kNoMemory;
    int status = gaussianLatitudesOfRows(d, rowLat);
    if (status == 0) {
        const bool global = reducedGlobal(d);
        const Rotation rot(d);
        size_t k = 0;
        for (long j = 0; j < d.nj; ++j) {
            const long pl = rowCount(d, j);
            long count = pl, first = 0;
            if (!global && pl > 0) reducedRow(pl, d.lon1, d.lon2, count, first);
            const bool reverse = (d.scan & kScanAlternateRows) && (j & 1);
            for (long c = 0; c < count; ++c, ++k) {
                const long i = reverse ? count - 1 - c : c;
                double lon = global ? d.lon1 + (double)i * 360.0 / (double)pl : (double)(first + i) * 360.0 / (double)pl;
                double lat = rowLat[j];
                if (d.rotated) rot.apply(lat, lon, lat, lon);
                if (lats) lats[k] = lat;
                if (lons) lons[k] = lon;
            }
        }
    }
    memRelease(rowLat);
    return status;
}

// ---- Projections ------------------------------------------------------------------

// The conformal latitude function t of the ellipsoid and its inverse.
double tFunction(double phi, double e)
{
    const double s = e * std::sin(phi);
    return std::tan(kPi / 4 - phi / 2) / std::pow((1 - s) / (1 + s), e / 2);
}

double phiFromT(double t, double e)
{
    double phi = kPi / 2 - 2 * std::atan(t);
    if (e == 0) return phi;
    for (int it = 0; it < kNewtonMax; ++it) {
        const double s = e * std::sin(phi);
        const double next = kPi / 2 - 2 * std::atan(t * std::pow((1 - s) / (1 + s), e / 2));
        const double change = std::fabs(next - phi);
        phi = next;
        if (change < 1e-14) break;
    }
    return phi;
}

// The factor m = cos(phi) / sqrt(1 - e^2 sin^2 phi).
double mFunction(double phi, double e)
{
    const double s = e * std::sin(phi);
    return std::cos(phi) / std::sqrt(1 - s * s);
}

// Longitude difference in radians, brought into -pi .. pi.
double lonDelta(double lon, double lon0)
{
    double d = std::fmod(lon - lon0, 360.0);
    if (d < -180) d += 360;
    if (d >= 180) d -= 360;
    return d * kDegToRad;
}

// A longitude brought into 0 .. 360.
double lonPositive(double lon)
{
    while (lon < 0) lon += 360;
    while (lon >= 360) lon -= 360;
    return lon;
}

struct Projection {
    Kind kind;
    double a = 0, e = 0;  // semi-major axis (metres), eccentricity
    double lon0 = 0;      // central meridian, degrees
    double sign = 1;      // polar stereographic: -1 for a south pole projection
    double scale = 0;     // polar: a m_c / t_c (or its limit); Mercator: a k
    double n = 0, aF = 0, rho0 = 0; // Lambert

    bool setUp(const Desc &d)
    {
        kind = d.kind;
        if (d.majorAxis > 0 && d.minorAxis > 0 && d.minorAxis <= d.majorAxis) {
            a = d.majorAxis;
            e = std::sqrt(1 - (d.minorAxis * d.minorAxis) / (d.majorAxis * d.majorAxis));
        } else if (d.radius > 0) {
            a = d.radius;
        } else {
            return false; // no figure of the earth to project on
        }
        if (!(d.di >= 0) || !(d.dj >= 0)) return false;
        if (kind == kPolarStereographic) {
            sign = (d.projectionCentre & 0x80) ? -1 : 1;
            lon0 = d.lov;
            const double phiC = sign * d.latD * kDegToRad;
            if (std::fabs(phiC - kPi / 2) < 1e-10) {
                scale = 2 * a / std::sqrt(std::pow(1 + e, 1 + e) * std::pow(1 - e, 1 - e));
            } else {
                scale = a * mFunction(phiC, e) / tFunction(phiC, e);
            }
        } else if (kind == kLambert) {
            lon0 = d.lov;
            const double p1 = d.latin1 * kDegToRad, p2 = d.latin2 * kDegToRad;
            const double m1 = mFunction(p1, e), t1 = tFunction(p1, e);
            if (std::fabs(p1 - p2) < 1e-10)
                n = std::sin(p1);
            else
                n = (std::log(m1) - std::log(mFunction(p2, e))) / (std::log(t1) - std::log(tFunction(p2, e)));
            if (n == 0 || !std::isfinite(n)) return false;
            aF = a * m1 / (n * std::pow(t1, n));
            rho0 = aF * std::pow(tFunction(d.latD * kDegToRad, e), n);
        } else { // Mercator
            lon0 = d.lon1;
            scale = a * mFunction(d.latD * kDegToRad, e);
        }
        return std::isfinite(scale) && std::isfinite(aF) && std::isfinite(rho0);
    }

    void forward(double lat, double lon, double &x, double &y) const
    {
        const double phi = lat * kDegToRad, dl = lonDelta(lon, lon0);
        if (kind == kPolarStereographic) {
            const double rho = scale * tFunction(sign * phi, e);
            x = rho * std::sin(dl);
            y = -sign * rho * std::cos(dl);
        } else if (kind == kLambert) {
            const double rho = aF * std::pow(tFunction(phi, e), n);
            x = rho * std::sin(n * dl);
            y = rho0 - rho * std::cos(n * dl);
        } else {
            x = scale * dl;
            y = -scale * std::log(tFunction(phi, e));
        }
    }

    void inverse(double x, double y, double &lat, double &lon) const
    {
        double phi, lambda;
        if (kind == kPolarStereographic) {
            const double rho = std::hypot(x, y);
            phi = sign * phiFromT(rho / scale, e);
            lambda = std::atan2(x, -sign * y);
        } else if (kind == kLambert) {
            const double s = n < 0 ? -1 : 1;
            const double rho = s * std::hypot(x, rho0 - y);
            const double theta = std::atan2(s * x, s * (rho0 - y));
            phi = rho == 0 ? s * kPi / 2 : phiFromT(std::pow(rho / aF, 1 / n), e);
            lambda = theta / n;
        } else {
            phi = phiFromT(std::exp(-y / scale), e);
            lambda = x / scale;
        }
        lat = phi * kRadToDeg;
        lon = lonPositive(lon0 + lambda * kRadToDeg);
    }
};

int projectedLatLons(const Desc &d, double *lats, double *lons)
{
    Projection p;
    if (!p.setUp(d)) return kNoLayout;
    double x0, y0;
    p.forward(d.lat1, d.lon1, x0, y0);
    const double dx = (d.scan & kScanINegative) ? -d.di : d.di;
    const double dy = (d.scan & kScanJPositive) ? d.dj : -d.dj;
    eachPoint(d.ni, d.nj, d.scan, [&](size_t k, long i, long j) {
        double la, lo;
        p.inverse(x0 + (double)i * dx, y0 + (double)j * dy, la, lo);
        if (lats) lats[k] = la;
        if (lons) lons[k] = lo;
    });
    return 0;
}

} // namespace

void gaussianLatitudes(long n, double *lats) { gaussianRows(2 * n, 0, 1, 2 * n, lats); }

int latLons(const Desc &d, double *lats, double *lons)
{
    if (d.points == 0) return 0;
    switch (d.kind) {
    case kLatLon: return regularLatLons(d, lats, lons);
    case kGaussian: return d.pl ? reducedLatLons(d, lats, lons) : regularLatLons(d, lats, lons);
    case kPolarStereographic:
    case kLambert:
    case kMercator: return projectedLatLons(d, lats, lons);
    default: return kNoLayout;
    }
}

} // namespace grid

// ---- Keys and the public function -----------------------------------------------------

namespace {

using g1::get2;
using g1::get3;
using g1::get4;
using grid::Desc;

double given(double v, bool ok) { return ok && std::isfinite(v) ? v : VALMORA_FIELD_NOT_GIVEN; }

// Every grid member not given.
void clearGrid(gribField *f)
{
    f->gridDefinitionTemplateNumber = VALMORA_FIELD_MISSING;
    f->numberOfDataPoints = 0;
    f->shapeOfTheEarth = VALMORA_FIELD_MISSING;
    f->earthRadius = f->earthMajorAxis = f->earthMinorAxis = VALMORA_FIELD_NOT_GIVEN;
    f->Ni = f->Nj = VALMORA_FIELD_MISSING;
    f->latitudeOfFirstGridPoint = f->longitudeOfFirstGridPoint = VALMORA_FIELD_NOT_GIVEN;
    f->latitudeOfLastGridPoint = f->longitudeOfLastGridPoint = VALMORA_FIELD_NOT_GIVEN;
    f->iDirectionIncrement = f->jDirectionIncrement = VALMORA_FIELD_NOT_GIVEN;
    f->resolutionAndComponentFlags = f->scanningMode = VALMORA_FIELD_MISSING;
    f->N = VALMORA_FIELD_MISSING;
    f->isReduced = 0;
    f->plOffset = -1;
    f->plCount = 0;
    f->plOctets = 0;
    f->LaD = f->LoV = f->Dx = f->Dy = f->Latin1 = f->Latin2 = VALMORA_FIELD_NOT_GIVEN;
    f->projectionCentreFlag = VALMORA_FIELD_MISSING;
    f->latitudeOfSouthernPole = f->longitudeOfSouthernPole = f->angleOfRotation = VALMORA_FIELD_NOT_GIVEN;
    f->J = f->K = f->M = VALMORA_FIELD_MISSING;
    f->numberOfGridUsed = f->numberOfGridInReference = VALMORA_FIELD_MISSING;
    memset(f->uuidOfHGrid, 0, sizeof f->uuidOfHGrid);
}

// The members the common form holds.
void fillGrid(const Desc &d, const unsigned char *section, int sectionIndex, gribField *f)
{
    f->gridDefinitionTemplateNumber = d.templateNumber;
    f->numberOfDataPoints = d.points > 0 ? (size_t)d.points : 0;
    f->shapeOfTheEarth = d.earthShape;
    f->earthRadius = given(d.radius, d.radius > 0);
    f->earthMajorAxis = given(d.majorAxis, d.majorAxis > 0);
    f->earthMinorAxis = given(d.minorAxis, d.minorAxis > 0);
    f->Ni = d.pl ? VALMORA_FIELD_MISSING : d.ni;
    f->Nj = d.nj;
    f->resolutionAndComponentFlags = (int)d.resolution;
    f->scanningMode = (int)d.scan;
    if (d.kind != grid::kOther || d.angular) {
        f->latitudeOfFirstGridPoint = d.lat1;
        f->longitudeOfFirstGridPoint = d.lon1;
    }
    const bool angular = d.angular;
    if (angular || d.kind == grid::kMercator) {
        f->latitudeOfLastGridPoint = d.lat2;
        f->longitudeOfLastGridPoint = d.lon2;
    }
    if (angular) {
        f->iDirectionIncrement = given(d.di, d.diGiven);
        f->jDirectionIncrement = given(d.dj, d.djGiven);
        if (d.gaussianN > 0) f->N = (int)d.gaussianN;
    } else if (d.kind != grid::kOther) {
        f->Dx = d.di;
        f->Dy = d.dj;
        f->LaD = d.latD;
        if (d.kind != grid::kMercator) {
            f->LoV = d.lov;
            f->projectionCentreFlag = (int)d.projectionCentre;
        }
        if (d.kind == grid::kLambert) {
            f->Latin1 = d.latin1;
            f->Latin2 = d.latin2;
        }
    }
    if (d.rotated || d.kind == grid::kLambert) {
        f->latitudeOfSouthernPole = d.southPoleLat;
        f->longitudeOfSouthernPole = d.southPoleLon;
    }
    if (d.rotated) f->angleOfRotation = d.rotationAngle;
    if (d.pl) {
        f->isReduced = 1;
        f->plCount = (int)d.nj;
        f->plOctets = (int)d.plOctets;
        const int64_t base = f->sectionOffset[sectionIndex] >= 0 ? f->sectionOffset[sectionIndex] : 0;
        f->plOffset = base + (d.pl - section);
    }
}

// A status of the common form as the decoder's.
int keysStatus(int status) { return status == grid::kDamaged ? VALMORA_DECODE_DAMAGED : VALMORA_DECODE_OK; }

} // namespace

int gribGridKeys1(const unsigned char *gds, size_t gdsLength, gribField *field)
{
    clearGrid(field);
    Desc d;
    const int status = grid::describe1(gds, gdsLength, d);
    if (status == grid::kDamaged && d.templateNumber < 0) return VALMORA_DECODE_DAMAGED;
    fillGrid(d, gds, 2, field);
    if (d.templateNumber == 50 && gdsLength >= 13) { // spherical harmonics
        field->J = (int)get2(gds + 6);
        field->K = (int)get2(gds + 8);
        field->M = (int)get2(gds + 10);
        field->Ni = field->Nj = VALMORA_FIELD_MISSING;
        field->latitudeOfFirstGridPoint = field->longitudeOfFirstGridPoint = VALMORA_FIELD_NOT_GIVEN;
        field->scanningMode = field->resolutionAndComponentFlags = VALMORA_FIELD_MISSING;
        field->numberOfDataPoints = 0;
    }
    return keysStatus(status);
}

int gribGridKeys2(const unsigned char *sec3, size_t sec3Length, gribField *field)
{
    clearGrid(field);
    Desc d;
    const int status = grid::describe2(sec3, sec3Length, d);
    if (d.templateNumber < 0) return VALMORA_DECODE_DAMAGED;
    field->numberOfDataPoints = get4(sec3 + 6);
    field->gridDefinitionTemplateNumber = d.templateNumber;
    if (d.templateNumber == 101) {
        constexpr size_t kUuidEnd = 35;
        if (sec3Length < kUuidEnd) return VALMORA_DECODE_DAMAGED;
        field->shapeOfTheEarth = sec3[14];
        field->numberOfGridUsed = (int)get3(sec3 + 15);
        field->numberOfGridInReference = sec3[18];
        memcpy(field->uuidOfHGrid, sec3 + 19, sizeof field->uuidOfHGrid);
        return VALMORA_DECODE_OK;
    }
    if (d.templateNumber == 50 && sec3Length >= 26) {
        field->J = (int)get4(sec3 + 14);
        field->K = (int)get4(sec3 + 18);
        field->M = (int)get4(sec3 + 22);
        return VALMORA_DECODE_OK;
    }
    if (d.earthShape < 0) return keysStatus(status); // a template without the common start
    const size_t declared = field->numberOfDataPoints;
    fillGrid(d, sec3, 3, field);
    if (d.kind == grid::kOther && !d.pl) field->numberOfDataPoints = declared;
    if (status == grid::kDamaged) field->numberOfDataPoints = declared;
    return keysStatus(status);
}

namespace {

// The grid description of an edition 0 or 1 record (framed by the caller),
// null when it has none.
int grib1Grid(const unsigned char *r, size_t length, const unsigned char **gds, size_t *gdsLength)
{
    *gds = nullptr;
    *gdsLength = 0;
    const size_t pds = gribVersion(r, length) == 1 ? 8 : 4;
    constexpr unsigned kPdsFlagAt = 7;
    if (length < pds + kPdsFlagAt + 1) return VALMORA_DECODE_DAMAGED;
    const size_t pdsLength = get3(r + pds);
    if (!(r[pds + kPdsFlagAt] & g1::kPdsGds)) return VALMORA_DECODE_OK;
    const size_t at = pds + pdsLength;
    if (pdsLength < kPdsFlagAt + 1 || at + 3 > length) return VALMORA_DECODE_DAMAGED;
    const size_t n = get3(r + at);
    if (n > length - at) return VALMORA_DECODE_DAMAGED;
    *gds = r + at;
    *gdsLength = n;
    return VALMORA_DECODE_OK;
}

} // namespace

extern "C" {

int gribFieldLatLons(const unsigned char *record, size_t recordLength, int index, double *lats, double *lons,
                     size_t *size)
{
    if (!size) return VALMORA_DECODE_NO_ROOM;
    const size_t capacity = *size;
    *size = 0;
    const int edition = gribVersion(record, recordLength);
    if (!record || (edition != 0 && edition != 1 && edition != 2)) return VALMORA_DECODE_NOT_GRIB;
    const unsigned char *section;
    size_t sectionLength;
    Desc d;
    int status;
    if (edition == 2) {
        // The field decoder's walk, which frames the message too.
        const int found = g2::fieldSection(record, recordLength, index, 3, &section, &sectionLength);
        if (found != VALMORA_DECODE_OK) return found;
        if (!section) return VALMORA_DECODE_DAMAGED;
        status = grid::describe2(section, sectionLength, d);
    } else {
        size_t offset = 0, length = 0;
        const int framed = gribFindRecord(record, recordLength, &offset, &length);
        if (framed == 1 && offset == 0) return VALMORA_DECODE_TRUNCATED;
        if (framed != 0 || offset != 0) return VALMORA_DECODE_DAMAGED;
        if (index != 0) return VALMORA_DECODE_NO_FIELD;
        const int found = grib1Grid(record, length, &section, &sectionLength);
        if (found != VALMORA_DECODE_OK) return found;
        if (!section) return VALMORA_DECODE_GRID_UNSUPPORTED;
        status = grid::describe1(section, sectionLength, d);
    }
    if (status == grid::kDamaged) return VALMORA_DECODE_DAMAGED;
    if (status == grid::kNoLayout) return VALMORA_DECODE_GRID_UNSUPPORTED;
    *size = (size_t)d.points;
    if ((lats || lons) && capacity < (size_t)d.points) return VALMORA_DECODE_NO_ROOM;
    if (!lats && !lons) return VALMORA_DECODE_OK;
    switch (grid::latLons(d, lats, lons)) {
    case 0: return VALMORA_DECODE_OK;
    case grid::kNoLayout: return VALMORA_DECODE_GRID_UNSUPPORTED;
    case grid::kNoMemory: return VALMORA_DECODE_NO_MEMORY;
    default: return VALMORA_DECODE_DAMAGED;
    }
}

} // extern "C"
