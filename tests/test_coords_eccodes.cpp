// Coordinates and grid keys against ecCodes: the samples it ships (GRIB1
// and GRIB2, up to N640), grids it makes (Lambert conformal, Mercator,
// scanning-mode variants) and the real files of python-grib-doc give the
// same latitude and longitude at every point, and the same grid keys.
#include "grib1.h"
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <memory>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include "eccodes_util.h"
#endif

#ifndef VALMORA_HAVE_ECCODES_API

TEST(CoordsEcCodes, NeedsEccodes) { GTEST_SKIP() << "ecCodes' C API is not installed; interop tests skipped"; }

#else

namespace {

using testutil::Bytes;

constexpr double kDegreeTolerance = 1e-6;

using testutil::Handle;

// ecCodes' coordinates of the message, or false when it has none for its grid.
bool latLonsOf(const Handle &h, std::vector<double> &lats, std::vector<double> &lons)
{
    size_t n = 0;
    if (codes_get_size(h.h, "latitudes", &n) != 0 || n == 0) return false;
    lats.resize(n);
    lons.resize(n);
    size_t m = n;
    if (codes_get_double_array(h.h, "latitudes", lats.data(), &m) != 0 || m != n) return false;
    m = n;
    return codes_get_double_array(h.h, "longitudes", lons.data(), &m) == 0 && m == n;
}

std::vector<Handle *> messagesOf(const std::string &path)
{
    std::vector<Handle *> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    int err = 0;
    while (codes_handle *h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) out.push_back(new Handle(h));
    fclose(f);
    return out;
}

Handle *sample(const std::string &name)
{
    return new Handle(codes_grib_handle_new_from_samples(nullptr, name.c_str()));
}

// The difference of two longitudes, whole turns apart counting as none.
double lonDistance(double a, double b)
{
    double d = std::fmod(std::fabs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

// ecCodes rounds the geographic coordinates of rotated grids to six
// decimals in single precision: up to 4e-6 degree off near 90 or 180.
double roundedTolerance(double v)
{
    const float scaled = (float)(std::fabs(v) * 1e6);
    return kDegreeTolerance + (double)(std::nextafter(scaled, INFINITY) - scaled) / 1e6;
}

// ecCodes gives the values of a grid scanned in alternate rows (and their
// coordinates) with every row turned the common way; the values here stay
// in the record's order.
void alternateRows(const Handle &h, std::vector<double> &v)
{
    if (!(h.num("scanningMode") & 0x10) || h.num("jPointsAreConsecutive")) return;
    const size_t ni = (size_t)h.num("Ni");
    for (size_t row = 1; (row + 1) * ni <= v.size(); row += 2)
        std::reverse(v.begin() + (long)(row * ni), v.begin() + (long)((row + 1) * ni));
}

// Our coordinates of `rec` against ecCodes' for the same message.
void compareLatLons(const Handle &h, const Bytes &rec, const std::string &what)
{
    std::vector<double> theirLat, theirLon;
    ASSERT_TRUE(latLonsOf(h, theirLat, theirLon)) << what;
    alternateRows(h, theirLat);
    alternateRows(h, theirLon);
    const bool rounded = h.num("isRotatedGrid") == 1;
    size_t n = 0;
    ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_OK) << what;
    ASSERT_EQ(n, theirLat.size()) << what;
    std::vector<double> lat(n), lon(n);
    ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), &n), VALMORA_DECODE_OK) << what;
    double worstLat = 0, worstLon = 0;
    size_t atLat = 0, atLon = 0;
    for (size_t k = 0; k < n; ++k) {
        double dl = std::fabs(lat[k] - theirLat[k]);
        // Longitude means nothing at a pole.
        double dn = std::fabs(theirLat[k]) > 90 - 1e-9 ? 0 : lonDistance(lon[k], theirLon[k]);
        if (rounded) { // measured in tolerances
            dl *= kDegreeTolerance / roundedTolerance(theirLat[k]);
            dn *= kDegreeTolerance / roundedTolerance(theirLon[k]);
        }
        if (!(dl <= worstLat)) worstLat = dl, atLat = k;
        if (!(dn <= worstLon)) worstLon = dn, atLon = k;
    }
    EXPECT_LE(worstLat, kDegreeTolerance) << what << ": point " << atLat << " latitude " << lat[atLat] << " ecCodes "
                                          << theirLat[atLat];
    EXPECT_LE(worstLon, kDegreeTolerance) << what << ": point " << atLon << " longitude " << lon[atLon]
                                          << " ecCodes " << theirLon[atLon];
}

// Grid keys against ecCodes' (in its units: degrees, metres).
void compareKeys(const Handle &h, const Bytes &rec, const std::string &what)
{
    // Through the field decoder, which takes them from the grid module.
    gribField f;
    ASSERT_EQ(grib_field_decode_double(rec.data(), rec.size(), 0, &f, nullptr, nullptr, 0), VALMORA_DECODE_OK)
        << what;
    if (f.edition == 2) {
        EXPECT_EQ(f.gridDefinitionTemplateNumber, h.num("gridDefinitionTemplateNumber")) << what;
    } else {
        EXPECT_EQ(f.gridDefinitionTemplateNumber, h.num("dataRepresentationType")) << what;
    }
    EXPECT_EQ((long)f.numberOfDataPoints, h.num("numberOfDataPoints")) << what;
    EXPECT_EQ(f.scanningMode, h.num("scanningMode")) << what;
    EXPECT_EQ(f.shapeOfTheEarth, h.num("shapeOfTheEarth")) << what;
    const std::string type = [&] {
        char buf[128] = {0};
        size_t n = sizeof buf;
        codes_get_string(h.h, "gridType", buf, &n);
        return std::string(buf);
    }();
    const bool projected = type == "polar_stereographic" || type == "lambert" || type == "mercator";
    EXPECT_EQ(f.Nj, h.num(projected && type != "mercator" ? "Ny" : "Nj")) << what;
    if (!f.isReduced) {
        EXPECT_EQ(f.Ni, h.num(projected && type != "mercator" ? "Nx" : "Ni")) << what;
    }
    EXPECT_NEAR(f.latitudeOfFirstGridPoint, h.real("latitudeOfFirstGridPointInDegrees"), 1e-9) << what;
    EXPECT_NEAR(f.longitudeOfFirstGridPoint, h.real("longitudeOfFirstGridPointInDegrees"), 1e-9) << what;
    if (!projected || type == "mercator") {
        EXPECT_NEAR(f.latitudeOfLastGridPoint, h.real("latitudeOfLastGridPointInDegrees"), 1e-9) << what;
        EXPECT_NEAR(f.longitudeOfLastGridPoint, h.real("longitudeOfLastGridPointInDegrees"), 1e-9) << what;
    }
    if (type.find("gg") != std::string::npos) {
        EXPECT_EQ(f.N, h.num("N")) << what;
    }
    if (f.isReduced) {
        std::vector<long> pl((size_t)f.plCount);
        size_t n = pl.size();
        ASSERT_EQ(codes_get_long_array(h.h, "pl", pl.data(), &n), 0) << what;
        ASSERT_GE(f.plOffset, 0);
        for (size_t j = 0; j < n; ++j)
            ASSERT_EQ((long)g1::getN(rec.data() + f.plOffset + j * (size_t)f.plOctets, (unsigned)f.plOctets), pl[j])
                << what << " row " << j;
    }
    if (type.find("rotated") != std::string::npos) {
        EXPECT_NEAR(f.latitudeOfSouthernPole, h.real("latitudeOfSouthernPoleInDegrees"), 1e-9) << what;
        EXPECT_NEAR(f.longitudeOfSouthernPole, h.real("longitudeOfSouthernPoleInDegrees"), 1e-9) << what;
        EXPECT_NEAR(f.angleOfRotation, h.real("angleOfRotationInDegrees"), 1e-6) << what;
    }
    if (type == "polar_stereographic" || type == "lambert") {
        EXPECT_NEAR(f.LoV, h.real(type == "lambert" ? "LoVInDegrees" : "orientationOfTheGridInDegrees"), 1e-9)
            << what;
        EXPECT_NEAR(f.Dx, h.real("DxInMetres"), 1e-6) << what;
        EXPECT_NEAR(f.Dy, h.real("DyInMetres"), 1e-6) << what;
        EXPECT_EQ(f.projectionCentreFlag, h.num("projectionCentreFlag")) << what;
    }
    if (type == "lambert") {
        EXPECT_NEAR(f.Latin1, h.real("Latin1InDegrees"), 1e-9) << what;
        EXPECT_NEAR(f.Latin2, h.real("Latin2InDegrees"), 1e-9) << what;
    }
    if (type == "mercator") {
        EXPECT_NEAR(f.LaD, h.real("LaDInDegrees"), 1e-9) << what;
        EXPECT_NEAR(f.Dx, h.real("DiInMetres"), 1e-6) << what;
        EXPECT_NEAR(f.Dy, h.real("DjInMetres"), 1e-6) << what;
    }
}

void compareAll(const Handle &h, const std::string &what)
{
    const Bytes rec = h.message();
    compareKeys(h, rec, what);
    compareLatLons(h, rec, what);
}

std::vector<std::string> samples()
{
    std::vector<std::string> out;
    DIR *d = opendir("/usr/share/eccodes/samples");
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".tmpl") continue;
        name.resize(name.size() - 5);
        // Leave out the finest grids (slow to compare), the bi-Fourier
        // Lambert, spherical harmonics and the non-GRIB templates.
        if (name.find("1280") != std::string::npos || name.find("2000") != std::string::npos ||
            name.find("1024") != std::string::npos || name.find("lambert_bf") != std::string::npos ||
            name.rfind("sh_", 0) == 0 || name.rfind("BUFR", 0) == 0 || name.find("grib") == std::string::npos)
            continue;
        out.push_back(name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(CoordsEcCodes, Samples)
{
    int compared = 0;
    for (const std::string &name : samples()) {
        std::unique_ptr<Handle> h(sample(name));
        if (!h->h) continue;
        std::vector<double> lat, lon;
        if (!latLonsOf(*h, lat, lon)) continue;
        // ecCodes steps polar stereographic grids northward whatever their
        // scanning mode says: compare on the grids that do scan so.
        if (name.rfind("polar_stereographic", 0) == 0) codes_set_long(h->h, "jScansPositively", 1);
        // It gives rotated Gaussian grids in rotated coordinates (see below).
        if (name.find("rotated_gg") != std::string::npos) continue;
        // Reduced latitude/longitude grids have no coordinates here.
        if (name.find("reduced_ll") != std::string::npos) {
            const Bytes rec = h->message();
            size_t n = 0;
            EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, nullptr, nullptr, &n),
                      VALMORA_DECODE_GRID_UNSUPPORTED);
            continue;
        }
        compareAll(*h, name);
        ++compared;
    }
    EXPECT_GE(compared, 40);
}

TEST(CoordsEcCodes, RealFiles)
{
    const std::string dir = "/usr/share/doc/python-grib-doc/examples/";
    int compared = 0;
    for (const char *file : {"CMC_reg_WIND_ISBL_300_ps60km_2010052400_P012.grib", "cl00010000_ecoclimap_rot.grib1",
                             "ds.maxt.bin", "dspr.temp.bin", "ecmwf_tigge.grb", "eta.grb", "flux.grb", "gfs.grb",
                             "ngm.grb", "regular_latlon_surface.grib1", "regular_latlon_surface.grib2",
                             "rotated_ll.grib1", "safrica.grib2"}) {
        std::vector<Handle *> hs = messagesOf(dir + file);
        if (hs.empty()) continue;
        // The first message of each file: the others share its grid.
        compareAll(*hs[0], file);
        ++compared;
        for (Handle *h : hs) delete h;
    }
    if (compared == 0) GTEST_SKIP() << "python-grib-doc's examples are not installed";
    EXPECT_EQ(compared, 13);
}

// gridType values for made().
constexpr double kLambert = 1, kMercator = 2;

// A sample changed by keys, with values (and points) to match its new grid.
struct Key {
    const char *name;
    double value;
};

std::unique_ptr<Handle> made(const char *sampleName, std::initializer_list<Key> keys)
{
    std::unique_ptr<Handle> h(sample(sampleName));
    if (!h->h) return h;
    for (const Key &k : keys) {
        const double integral = std::floor(k.value);
        const bool whole = integral == k.value && std::strstr(k.name, "InDegrees") == nullptr &&
                           std::strstr(k.name, "InMetres") == nullptr;
        const int err = k.name == std::string("gridType")
                            ? codes_set_string(h->h, "gridType", k.value == kLambert ? "lambert" : "mercator", nullptr)
                        : whole ? codes_set_long(h->h, k.name, (long)k.value)
                                : codes_set_double(h->h, k.name, k.value);
        EXPECT_EQ(err, 0) << sampleName << " " << k.name;
    }
    const bool projected = !h->has("Ni");
    const long ni = h->num(projected ? "Nx" : "Ni"), nj = h->num(projected ? "Ny" : "Nj");
    if (h->num("edition") == 2) codes_set_long(h->h, "numberOfDataPoints", ni * nj);
    std::vector<double> v((size_t)(ni * nj));
    for (size_t k = 0; k < v.size(); ++k) v[k] = 280 + std::sin(0.01 * (double)k);
    EXPECT_EQ(codes_set_double_array(h->h, "values", v.data(), v.size()), 0) << sampleName;
    return h;
}


TEST(CoordsEcCodes, ProjectionsMadeByEcCodes)
{
    struct Case {
        const char *what, *sample;
        std::initializer_list<Key> keys;
    };
    const Case cases[] = {
        {"lambert grib2 tangent", "regular_ll_sfc_grib2",
         {{"gridType", kLambert}, {"Nx", 30}, {"Ny", 20}, {"latitudeOfFirstGridPointInDegrees", 40},
          {"longitudeOfFirstGridPointInDegrees", 0}, {"LaDInDegrees", 50}, {"LoVInDegrees", 10},
          {"Latin1InDegrees", 50}, {"Latin2InDegrees", 50}, {"DxInMetres", 25000}, {"DyInMetres", 25000},
          {"jScansPositively", 1}}},
        {"lambert grib2", "regular_ll_sfc_grib2",
         {{"gridType", kLambert}, {"Nx", 40}, {"Ny", 30}, {"latitudeOfFirstGridPointInDegrees", 20},
          {"longitudeOfFirstGridPointInDegrees", 240}, {"LaDInDegrees", 30}, {"LoVInDegrees", 265},
          {"Latin1InDegrees", 30}, {"Latin2InDegrees", 50}, {"DxInMetres", 50000}, {"DyInMetres", 50000},
          {"jScansPositively", 1}}},
        {"lambert grib1", "regular_ll_sfc_grib1",
         {{"gridType", kLambert}, {"Nx", 40}, {"Ny", 30}, {"latitudeOfFirstGridPointInDegrees", 20},
          {"longitudeOfFirstGridPointInDegrees", 240}, {"LoVInDegrees", 265}, {"Latin1InDegrees", 30},
          {"Latin2InDegrees", 50}, {"DxInMetres", 50000}, {"DyInMetres", 50000}, {"jScansPositively", 1}}},
        {"mercator grib2", "regular_ll_sfc_grib2",
         {{"gridType", kMercator}, {"Ni", 40}, {"Nj", 30}, {"latitudeOfFirstGridPointInDegrees", -10},
          {"longitudeOfFirstGridPointInDegrees", 100}, {"latitudeOfLastGridPointInDegrees", 16.7},
          {"longitudeOfLastGridPointInDegrees", 135.3}, {"LaDInDegrees", 10}, {"DiInMetres", 100000},
          {"LaDInDegrees", 40}, {"DiInMetres", 80000}, {"DjInMetres", 80000}, {"jScansPositively", 1}}},
        {"mercator grib1", "regular_ll_sfc_grib1",
         {{"gridType", kMercator}, {"Ni", 40}, {"Nj", 30}, {"latitudeOfFirstGridPointInDegrees", -10},
          {"longitudeOfFirstGridPointInDegrees", 100}, {"latitudeOfLastGridPointInDegrees", 16.7},
          {"longitudeOfLastGridPointInDegrees", 135.3}, {"LaDInDegrees", 10}, {"DiInMetres", 100000},
          {"DjInMetres", 100000}, {"jScansPositively", 1}}},
        {"polar stereographic grib2 south", "polar_stereographic_pl_grib2",
         {{"Nx", 30}, {"Ny", 20}, {"latitudeOfFirstGridPointInDegrees", -50},
          {"longitudeOfFirstGridPointInDegrees", 0}, {"LaDInDegrees", -60},
          {"orientationOfTheGridInDegrees", 20}, {"DxInMetres", 60000}, {"DyInMetres", 60000},
          {"jScansPositively", 1}, {"projectionCentreFlag", 128}}},
        {"polar stereographic grib1", "polar_stereographic_pl_grib1",
         {{"Nx", 30}, {"Ny", 20}, {"latitudeOfFirstGridPointInDegrees", 50},
          {"longitudeOfFirstGridPointInDegrees", 200}, {"orientationOfTheGridInDegrees", 250},
          {"DxInMetres", 60000}, {"DyInMetres", 60000}, {"jScansPositively", 1}}},
    };
    for (const Case &c : cases) {
        std::unique_ptr<Handle> h = made(c.sample, c.keys);
        ASSERT_NE(h->h, nullptr) << c.what;
        compareAll(*h, c.what);
    }
}

// Coordinates of a record made by ecCodes (which has none of its own for
// it: ecCodes gives no coordinates on a spheroid for these projections).
std::vector<double> ours(const Handle &h, bool latitudes)
{
    const Bytes rec = h.message();
    size_t n = 0;
    EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_OK);
    std::vector<double> lat(n), lon(n);
    EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), &n), VALMORA_DECODE_OK);
    return latitudes ? lat : lon;
}

TEST(CoordsEcCodes, SouthernLambertMirrorsTheNorthern)
{
    // ecCodes places a Lambert grid south of the equator in the north; a
    // mirror image of a northern grid serves instead.
    std::initializer_list<Key> north = {
        {"gridType", kLambert}, {"Nx", 20}, {"Ny", 20}, {"latitudeOfFirstGridPointInDegrees", 20},
        {"longitudeOfFirstGridPointInDegrees", 130}, {"LaDInDegrees", 35}, {"LoVInDegrees", 140},
        {"Latin1InDegrees", 30}, {"Latin2InDegrees", 45}, {"DxInMetres", 40000}, {"DyInMetres", 40000},
        {"jScansPositively", 1}};
    std::initializer_list<Key> south = {
        {"gridType", kLambert}, {"Nx", 20}, {"Ny", 20}, {"latitudeOfFirstGridPointInDegrees", -20},
        {"longitudeOfFirstGridPointInDegrees", 130}, {"LaDInDegrees", -35}, {"LoVInDegrees", 140},
        {"Latin1InDegrees", -30}, {"Latin2InDegrees", -45}, {"DxInMetres", 40000}, {"DyInMetres", 40000},
        {"projectionCentreFlag", 128}, {"jScansPositively", 0}};
    std::unique_ptr<Handle> n = made("regular_ll_sfc_grib2", north), s = made("regular_ll_sfc_grib2", south);
    compareLatLons(*n, n->message(), "lambert north");
    const std::vector<double> nLat = ours(*n, true), nLon = ours(*n, false);
    const std::vector<double> sLat = ours(*s, true), sLon = ours(*s, false);
    ASSERT_EQ(nLat.size(), sLat.size());
    for (size_t k = 0; k < nLat.size(); ++k) {
        EXPECT_NEAR(sLat[k], -nLat[k], 1e-9) << k;
        EXPECT_NEAR(sLon[k], nLon[k], 1e-9) << k;
    }
}

TEST(CoordsEcCodes, SpheroidProjectionsMatchPublishedExamples)
{
    // Worked examples of the projections on a spheroid: a grid from the
    // projection's origin whose point (1, 1) lies at the example's x and y.
    // Lambert conformal, Clarke 1866, secant at 33 and 45 N, origin 23 N
    // 96 W: 35 N 75 W lies at x 1,894,410.9 m, y 1,564,649.5 m.
    std::unique_ptr<Handle> l = made("regular_ll_sfc_grib2",
        {{"gridType", kLambert}, {"shapeOfTheEarth", 7}, {"scaleFactorOfEarthMajorAxis", 1},
         {"scaledValueOfEarthMajorAxis", 63782064}, {"scaleFactorOfEarthMinorAxis", 1},
         {"scaledValueOfEarthMinorAxis", 63565838}, {"Nx", 2}, {"Ny", 2},
         {"latitudeOfFirstGridPointInDegrees", 23}, {"longitudeOfFirstGridPointInDegrees", 264},
         {"LaDInDegrees", 23}, {"LoVInDegrees", 264}, {"Latin1InDegrees", 33}, {"Latin2InDegrees", 45},
         {"DxInMetres", 1894410.9}, {"DyInMetres", 1564649.5}, {"jScansPositively", 1}});
    std::vector<double> lat = ours(*l, true), lon = ours(*l, false);
    ASSERT_EQ(lat.size(), 4u);
    EXPECT_NEAR(lat[3], 35, 2e-6);
    EXPECT_NEAR(lon[3], 285, 2e-6);

    // Polar stereographic, International 1924, true at 71 S, 100 W up:
    // 75 S 150 E lies at x -1,540,033.6 m, y -560,526.4 m.
    std::unique_ptr<Handle> p = made("polar_stereographic_pl_grib2",
        {{"shapeOfTheEarth", 7}, {"scaleFactorOfEarthMajorAxis", 0}, {"scaledValueOfEarthMajorAxis", 6378388},
         {"scaleFactorOfEarthMinorAxis", 1}, {"scaledValueOfEarthMinorAxis", 63569119}, {"Nx", 2}, {"Ny", 2},
         {"latitudeOfFirstGridPointInDegrees", -90}, {"longitudeOfFirstGridPointInDegrees", 0},
         {"LaDInDegrees", -71}, {"orientationOfTheGridInDegrees", 260}, {"DxInMetres", 1540033.6},
         {"DyInMetres", 560526.4}, {"projectionCentreFlag", 128}, {"iScansNegatively", 1},
         {"jScansPositively", 0}});
    lat = ours(*p, true), lon = ours(*p, false);
    ASSERT_EQ(lat.size(), 4u);
    EXPECT_NEAR(lat[3], -75, 2e-6);
    EXPECT_NEAR(lon[3], 150, 2e-6);
}

TEST(CoordsEcCodes, RotatedGaussianGridsInGeographicCoordinates)
{
    // ecCodes gives a rotated Gaussian grid in its rotated coordinates; its
    // rotated latitude/longitude grid of one row at a Gaussian latitude
    // gives that row in geographic coordinates.
    for (const char *name : {"rotated_gg_sfc_grib2", "rotated_gg_sfc_grib1", "reduced_rotated_gg_pl_32_grib2",
                             "reduced_rotated_gg_pl_32_grib1"}) {
        std::unique_ptr<Handle> gg(sample(name));
        codes_set_double(gg->h, "latitudeOfSouthernPoleInDegrees", -40);
        codes_set_double(gg->h, "longitudeOfSouthernPoleInDegrees", 20);
        std::vector<double> rotLat, rotLon;
        ASSERT_TRUE(latLonsOf(*gg, rotLat, rotLon)) << name;
        const Bytes rec = gg->message();
        size_t n = rotLat.size();
        std::vector<double> lat(n), lon(n);
        ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), &n), VALMORA_DECODE_OK);
        ASSERT_EQ(n, rotLat.size());
        // Where each row starts and how many points it has.
        const long nj = gg->num("Nj");
        std::vector<long> rowLength((size_t)nj, gg->num("Ni"));
        if (gg->num("PLPresent") == 1) {
            size_t rows = rowLength.size();
            ASSERT_EQ(codes_get_long_array(gg->h, "pl", rowLength.data(), &rows), 0) << name;
        }
        std::vector<size_t> rowStart(1, 0);
        for (long len : rowLength) rowStart.push_back(rowStart.back() + (size_t)len);
        for (long row : {0L, nj / 3, nj - 1}) {
            const std::string what = std::string(name) + " row " + std::to_string(row);
            const size_t first = rowStart[(size_t)row];
            const long ni = rowLength[(size_t)row];
            std::unique_ptr<Handle> ll = made("rotated_ll_sfc_grib2",
                {{"Ni", (double)ni}, {"Nj", 1}, {"latitudeOfFirstGridPointInDegrees", rotLat[first]},
                 {"latitudeOfLastGridPointInDegrees", rotLat[first]},
                 {"longitudeOfFirstGridPointInDegrees", rotLon[first]},
                 {"longitudeOfLastGridPointInDegrees", rotLon[first + (size_t)ni - 1]},
                 {"iDirectionIncrementInDegrees", rotLon[first + 1] - rotLon[first]},
                 {"jDirectionIncrementInDegrees", 1}, {"latitudeOfSouthernPoleInDegrees", -40},
                 {"longitudeOfSouthernPoleInDegrees", 20}});
            std::vector<double> geoLat, geoLon;
            ASSERT_TRUE(latLonsOf(*ll, geoLat, geoLon)) << what;
            ASSERT_EQ((long)geoLat.size(), ni) << what;
            for (long i = 0; i < ni; ++i) {
                // The row's latitude is stored to a millionth of a degree there.
                const size_t k = first + (size_t)i;
                EXPECT_NEAR(lat[k], geoLat[(size_t)i], roundedTolerance(geoLat[(size_t)i]) + 1e-6) << what << " " << i;
                EXPECT_NEAR(lonDistance(lon[k], geoLon[(size_t)i]), 0, roundedTolerance(geoLon[(size_t)i]) + 2e-6)
                    << what << " " << i;
            }
        }
    }
}

TEST(CoordsEcCodes, ScanningModesOfRegularGrids)
{
    for (const char *name : {"regular_ll_sfc_grib2", "regular_ll_sfc_grib1", "regular_gg_sfc_grib2",
                             "regular_gg_sfc_grib1", "rotated_ll_sfc_grib2"}) {
        std::unique_ptr<Handle> plain(sample(name));
        const double lat1 = plain->real("latitudeOfFirstGridPointInDegrees"),
                     lat2 = plain->real("latitudeOfLastGridPointInDegrees"),
                     lon1 = plain->real("longitudeOfFirstGridPointInDegrees"),
                     lon2 = plain->real("longitudeOfLastGridPointInDegrees");
        const std::string what = name;
        {
            std::unique_ptr<Handle> h(sample(name));
            codes_set_long(h->h, "iScansNegatively", 1);
            codes_set_double(h->h, "longitudeOfFirstGridPointInDegrees", lon2);
            codes_set_double(h->h, "longitudeOfLastGridPointInDegrees", lon1);
            compareAll(*h, what + " i negative");
        }
        {
            std::unique_ptr<Handle> h(sample(name));
            codes_set_long(h->h, "jScansPositively", 1);
            codes_set_double(h->h, "latitudeOfFirstGridPointInDegrees", lat2);
            codes_set_double(h->h, "latitudeOfLastGridPointInDegrees", lat1);
            compareAll(*h, what + " j positive");
        }
        if (what.find("gg") == std::string::npos) {
            std::unique_ptr<Handle> h(sample(name));
            codes_set_long(h->h, "jPointsAreConsecutive", 1);
            compareAll(*h, what + " j consecutive");
        }
        {
            std::unique_ptr<Handle> h(sample(name));
            codes_set_long(h->h, "alternativeRowScanning", 1);
            compareAll(*h, what + " alternate rows");
        }
    }
}

} // namespace

#endif
