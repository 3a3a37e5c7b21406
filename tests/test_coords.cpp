// Coordinates of records built here: every scanning order of a small grid,
// Gaussian latitudes against the roots of low-order Legendre polynomials,
// the capacity rules, the statuses of records that give no coordinates, the
// grid in force for each field of a GRIB2 message, and several threads at
// once.
#include "grib1.h"
#include "gribGrid.h"
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using testutil::Bytes;

// A GRIB1 record of the grid elements given (the encoder's isec2), smooth
// 16-bit values.
Bytes gribRecord(std::vector<int> grid)
{
    grid.resize(64 + 1024, 0);
    const bool reduced = grid[16] != 0;
    long points = 0;
    if (reduced)
        for (int j = 0; j < grid[2]; ++j) points += grid[22 + j];
    else
        points = (long)grid[1] * grid[2];
    int isec0[2], isec1[64] = {0}, isec3[2] = {0}, isec4[64] = {0};
    double fsec2[16] = {0}, fsec3[2] = {0, 0};
    isec1[0] = 128, isec1[1] = 98, isec1[2] = 145, isec1[3] = 255, isec1[4] = 128;
    isec1[5] = 130, isec1[6] = 1, isec1[9] = 24, isec1[10] = 1, isec1[11] = 1, isec1[14] = 1, isec1[20] = 21;
    isec4[0] = (int)points, isec4[1] = 16;
    std::vector<double> values((size_t)points);
    for (size_t k = 0; k < values.size(); ++k) values[k] = 280 + 10 * std::sin(0.01 * (double)k);
    std::vector<int> kgrib((size_t)points + 4096);
    int used = 0, status = 0;
    grib_encode_double(isec0, isec1, grid.data(), fsec2, isec3, fsec3, isec4, values.data(), 0, kgrib.data(),
                       (int)kgrib.size(), &used, 0, &status);
    EXPECT_EQ(status, 0);
    const auto *p = reinterpret_cast<const unsigned char *>(kgrib.data());
    return Bytes(p, p + (status ? 0 : isec0[0]));
}

// A 4 x 3 one-degree grid from (10N, 20E) to (8N, 23E) in the order the
// scanning mode asks, first and last points placed to match.
Bytes smallGrid(int scan)
{
    const bool iNeg = scan & 0x80, jPos = scan & 0x40;
    return gribRecord({0, 4, 3, jPos ? 8000 : 10000, iNeg ? 23000 : 20000, 128, jPos ? 10000 : 8000,
                       iNeg ? 20000 : 23000, 1000, 1000, scan});
}

struct Coords {
    int status;
    std::vector<double> lat, lon;
};

Coords coordsOf(const Bytes &rec, int index = 0)
{
    Coords c;
    size_t n = 0;
    c.status = gribFieldLatLons(rec.data(), rec.size(), index, nullptr, nullptr, &n);
    if (c.status != VALMORA_DECODE_OK) return c;
    c.lat.assign(n, NAN);
    c.lon.assign(n, NAN);
    c.status = gribFieldLatLons(rec.data(), rec.size(), index, c.lat.data(), c.lon.data(), &n);
    return c;
}

TEST(Coords, EveryScanningOrderOfASmallGrid)
{
    // The values of each order, written out: latitude, longitude.
    struct Case {
        int scan;
        std::vector<std::pair<int, int>> points;
    };
    const Case cases[] = {
        {0x00, {{10, 20}, {10, 21}, {10, 22}, {10, 23}, {9, 20}, {9, 21}, {9, 22}, {9, 23}, {8, 20}, {8, 21}, {8, 22}, {8, 23}}},
        {0x80, {{10, 23}, {10, 22}, {10, 21}, {10, 20}, {9, 23}, {9, 22}, {9, 21}, {9, 20}, {8, 23}, {8, 22}, {8, 21}, {8, 20}}},
        {0x40, {{8, 20}, {8, 21}, {8, 22}, {8, 23}, {9, 20}, {9, 21}, {9, 22}, {9, 23}, {10, 20}, {10, 21}, {10, 22}, {10, 23}}},
        {0x20, {{10, 20}, {9, 20}, {8, 20}, {10, 21}, {9, 21}, {8, 21}, {10, 22}, {9, 22}, {8, 22}, {10, 23}, {9, 23}, {8, 23}}},
        {0x10, {{10, 20}, {10, 21}, {10, 22}, {10, 23}, {9, 23}, {9, 22}, {9, 21}, {9, 20}, {8, 20}, {8, 21}, {8, 22}, {8, 23}}},
        {0x30, {{10, 20}, {9, 20}, {8, 20}, {8, 21}, {9, 21}, {10, 21}, {10, 22}, {9, 22}, {8, 22}, {8, 23}, {9, 23}, {10, 23}}},
        {0xD0, {{8, 23}, {8, 22}, {8, 21}, {8, 20}, {9, 20}, {9, 21}, {9, 22}, {9, 23}, {10, 23}, {10, 22}, {10, 21}, {10, 20}}},
    };
    for (const Case &c : cases) {
        const Coords got = coordsOf(smallGrid(c.scan));
        ASSERT_EQ(got.status, VALMORA_DECODE_OK) << "scan " << c.scan;
        ASSERT_EQ(got.lat.size(), c.points.size()) << "scan " << c.scan;
        for (size_t k = 0; k < c.points.size(); ++k) {
            EXPECT_NEAR(got.lat[k], c.points[k].first, 1e-12) << "scan " << c.scan << " point " << k;
            EXPECT_NEAR(got.lon[k], c.points[k].second, 1e-12) << "scan " << c.scan << " point " << k;
        }
    }
}

TEST(Coords, GaussianLatitudesAreTheRootsOfLegendrePolynomials)
{
    // P2 and P4 have their roots in closed form.
    const double p2 = std::asin(1 / std::sqrt(3.0)) * 180 / M_PI;
    const double p4a = std::asin(std::sqrt((3 + 2 * std::sqrt(6.0 / 5)) / 7)) * 180 / M_PI;
    const double p4b = std::asin(std::sqrt((3 - 2 * std::sqrt(6.0 / 5)) / 7)) * 180 / M_PI;
    double lat[4];
    grid::gaussianLatitudes(1, lat);
    EXPECT_NEAR(lat[0], p2, 1e-13);
    EXPECT_NEAR(lat[1], -p2, 1e-13);
    grid::gaussianLatitudes(2, lat);
    EXPECT_NEAR(lat[0], p4a, 1e-13);
    EXPECT_NEAR(lat[1], p4b, 1e-13);
    EXPECT_NEAR(lat[2], -p4b, 1e-13);
    EXPECT_NEAR(lat[3], -p4a, 1e-13);

    // A fine grid: each latitude a root of P_2N (the recurrence gives ~0
    // there), in order, and the two hemispheres mirrors of each other.
    const long n = 640;
    std::vector<double> lats(2 * n);
    grid::gaussianLatitudes(n, lats.data());
    for (long i = 0; i < 2 * n; ++i) {
        ASSERT_LT(std::fabs(lats[i] + lats[2 * n - 1 - i]), 1e-12) << i;
        if (i) {
            ASSERT_LT(lats[i], lats[i - 1]) << i;
        }
    }
    for (long i : {0L, 1L, 319L, 639L}) {
        const double z = std::sin(lats[i] * M_PI / 180);
        double p0 = 1, p1 = z;
        for (long l = 2; l <= 2 * n; ++l) {
            const double p = ((2.0 * l - 1) * z * p1 - (l - 1.0) * p0) / l;
            p0 = p1, p1 = p;
        }
        // P_2N' is about 2N / cos(lat) near a root; a root off by e gives P ~ e x P'.
        EXPECT_LT(std::fabs(p1), 1e-11 * 2 * n / std::cos(lats[i] * M_PI / 180)) << "row " << i;
    }
}

TEST(Coords, RegularAndReducedGaussianRows)
{
    // N2 regular: rows at the roots of P4, first from the northernmost.
    Bytes rec = gribRecord({4, 8, 4, 59444, 0, 128, -59444, 315000, 45000, 2, 0});
    Coords c = coordsOf(rec);
    ASSERT_EQ(c.status, VALMORA_DECODE_OK);
    ASSERT_EQ(c.lat.size(), 32u);
    double lat[4];
    grid::gaussianLatitudes(2, lat);
    for (size_t k = 0; k < 32; ++k) {
        EXPECT_DOUBLE_EQ(c.lat[k], lat[k / 8]) << k;
        EXPECT_NEAR(c.lon[k], 45.0 * (double)(k % 8), 1e-12) << k;
    }
    // The same rows reduced to 4, 8, 8, 4 points.
    std::vector<int> g = {4, 0, 4, 59444, 0, 128, -59444, 315000, 0, 2, 0};
    g.resize(22);
    g[16] = 1;
    for (int pl : {4, 8, 8, 4}) g.push_back(pl);
    c = coordsOf(gribRecord(g));
    ASSERT_EQ(c.status, VALMORA_DECODE_OK);
    ASSERT_EQ(c.lat.size(), 24u);
    EXPECT_DOUBLE_EQ(c.lat[3], lat[0]);
    EXPECT_DOUBLE_EQ(c.lat[4], lat[1]);
    EXPECT_NEAR(c.lon[3], 270, 1e-12);
    EXPECT_NEAR(c.lon[5], 45, 1e-12);
    EXPECT_NEAR(c.lon[23], 270, 1e-12);
}

TEST(Coords, ARecordPackedByRecpackHasTheSameCoordinates)
{
    const Bytes plain = gribRecord({4, 64, 32, 85761, 0, 128, -85761, 354375, 5625, 16, 0});
    Bytes packed(plain), work(plain.size());
    const int length = recPack(packed.data(), packed.size(), work.data(), work.size());
    ASSERT_GT(length, 0);
    ASSERT_LT((size_t)length, plain.size()); // compressed
    packed.resize((size_t)length);
    const Coords a = coordsOf(plain), b = coordsOf(packed);
    ASSERT_EQ(a.status, VALMORA_DECODE_OK);
    ASSERT_EQ(b.status, VALMORA_DECODE_OK);
    EXPECT_EQ(a.lat, b.lat);
    EXPECT_EQ(a.lon, b.lon);
}

TEST(Coords, CapacityAndArraysAskedFor)
{
    const Bytes rec = smallGrid(0);
    std::vector<double> lat(20, -7), lon(20, -7);
    size_t n = 11; // one short
    EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), &n), VALMORA_DECODE_NO_ROOM);
    EXPECT_EQ(n, 12u);
    for (size_t k = 0; k < lat.size(); ++k) ASSERT_TRUE(lat[k] == -7 && lon[k] == -7) << k;
    // Room for exactly the points: nothing written past them.
    n = 12;
    ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), &n), VALMORA_DECODE_OK);
    EXPECT_EQ(lat[12], -7);
    EXPECT_EQ(lon[12], -7);
    // Latitudes alone, longitudes alone.
    std::vector<double> only(12, -7);
    n = 12;
    ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, only.data(), nullptr, &n), VALMORA_DECODE_OK);
    EXPECT_EQ(only, std::vector<double>(lat.begin(), lat.begin() + 12));
    ASSERT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, nullptr, only.data(), &n), VALMORA_DECODE_OK);
    EXPECT_EQ(only, std::vector<double>(lon.begin(), lon.begin() + 12));
    EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 0, lat.data(), lon.data(), nullptr), VALMORA_DECODE_NO_ROOM);
}

TEST(Coords, RecordsWithoutCoordinates)
{
    const Bytes rec = smallGrid(0);
    size_t n = 99;
    EXPECT_EQ(gribFieldLatLons(nullptr, 0, 0, nullptr, nullptr, &n), VALMORA_DECODE_NOT_GRIB);
    EXPECT_EQ(n, 0u);
    const Bytes text = {'G', 'R', 'I', 'D', 0, 0, 0, 1};
    EXPECT_EQ(gribFieldLatLons(text.data(), text.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_NOT_GRIB);
    size_t at = 0, length = 0; // the record without the encoder's padding
    ASSERT_EQ(gribFindRecord(rec.data(), rec.size(), &at, &length), 0);
    EXPECT_EQ(gribFieldLatLons(rec.data(), length - 1, 0, nullptr, nullptr, &n), VALMORA_DECODE_TRUNCATED);
    EXPECT_EQ(gribFieldLatLons(rec.data(), rec.size(), 1, nullptr, nullptr, &n), VALMORA_DECODE_NO_FIELD);

    Bytes broken = rec;
    broken[length - 1] = '6'; // no end section
    EXPECT_EQ(gribFieldLatLons(broken.data(), broken.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_DAMAGED);

    // A GDS whose row counts would run past its end.
    broken = rec;
    const size_t gds = 8 + g1::get3(rec.data() + 8);
    broken[gds + 6] = 0xFF, broken[gds + 7] = 0xFF; // Ni missing: quasi-regular
    EXPECT_EQ(gribFieldLatLons(broken.data(), broken.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_DAMAGED);

    // Rows that run past a pole.
    const Bytes pastThePole = gribRecord({0, 4, 3, 89000, 0, 128, 91000, 3000, 1000, 1000, 0x40});
    EXPECT_EQ(gribFieldLatLons(pastThePole.data(), pastThePole.size(), 0, nullptr, nullptr, &n),
              VALMORA_DECODE_DAMAGED);

    // No grid description at all, and a grid type without a layout here.
    Bytes noGrid = rec;
    noGrid[8 + 7] &= (unsigned char)~g1::kPdsGds;
    EXPECT_EQ(gribFieldLatLons(noGrid.data(), noGrid.size(), 0, nullptr, nullptr, &n),
              VALMORA_DECODE_GRID_UNSUPPORTED);
    Bytes spaceView = rec;
    spaceView[gds + 5] = 90;
    EXPECT_EQ(gribFieldLatLons(spaceView.data(), spaceView.size(), 0, nullptr, nullptr, &n),
              VALMORA_DECODE_GRID_UNSUPPORTED);
}

// The GRIB2 samples that ecCodes installs, read as plain files.
Bytes grib2Sample(const char *name)
{
    return testutil::readFile(std::string("/usr/share/eccodes/samples/") + name + ".tmpl");
}

// Sections 3 to 7 of a one-field GRIB2 message (from section 3 to "7777").
Bytes fieldSections(const Bytes &m)
{
    size_t at = 16;
    while (m[at + 4] != 3) at += g1::get4(m.data() + at);
    return Bytes(m.begin() + (long)at, m.end() - 4);
}

TEST(Coords, EachFieldOfAGrib2MessageHasTheGridInForce)
{
    const Bytes ll = grib2Sample("regular_ll_sfc_grib2"), gg = grib2Sample("regular_gg_sfc_grib2");
    if (ll.empty() || gg.empty()) GTEST_SKIP() << "ecCodes' samples are not installed";
    // Field 0 on the lat/lon grid, fields 1 and 2 on the Gaussian grid (the
    // second without a grid section of its own: the last one holds).
    Bytes m(ll.begin(), ll.end() - 4);
    const Bytes g = fieldSections(gg);
    m.insert(m.end(), g.begin(), g.end());
    const size_t sec4 = g1::get4(g.data());
    m.insert(m.end(), g.begin() + (long)sec4, g.end());
    m.insert(m.end(), {'7', '7', '7', '7'});
    for (int k = 0; k < 8; ++k) m[8 + k] = (unsigned char)((uint64_t)m.size() >> (56 - 8 * k));

    const Coords a = coordsOf(ll), b = coordsOf(gg);
    ASSERT_EQ(a.status, VALMORA_DECODE_OK);
    ASSERT_EQ(b.status, VALMORA_DECODE_OK);
    for (int field = 0; field < 3; ++field) {
        const Coords c = coordsOf(m, field);
        ASSERT_EQ(c.status, VALMORA_DECODE_OK) << field;
        EXPECT_EQ(c.lat, field == 0 ? a.lat : b.lat) << field;
        EXPECT_EQ(c.lon, field == 0 ? a.lon : b.lon) << field;
    }
    size_t n = 0;
    EXPECT_EQ(gribFieldLatLons(m.data(), m.size(), 3, nullptr, nullptr, &n), VALMORA_DECODE_NO_FIELD);
    EXPECT_EQ(gribFieldLatLons(m.data(), m.size(), -1, nullptr, nullptr, &n), VALMORA_DECODE_NO_FIELD);
    // A section that claims more octets than the message holds.
    Bytes bad = m;
    bad[16] = 0x7F;
    EXPECT_EQ(gribFieldLatLons(bad.data(), bad.size(), 0, nullptr, nullptr, &n), VALMORA_DECODE_DAMAGED);
}

TEST(Coords, KeysOfAnUnstructuredGrid)
{
    // Template 3.101: the number of points, the grid's number and UUID.
    Bytes sec3 = {0, 0, 0, 35, 3, 0, 0, 0, 0x30, 0x39, 0, 0, 0, 101, 6, 0, 0, 7, 1};
    for (int k = 0; k < 16; ++k) sec3.push_back((unsigned char)(0xA0 + k));
    gribField f;
    memset(&f, 0, sizeof f);
    f.sectionOffset[3] = -1;
    ASSERT_EQ(gribGridKeys2(sec3.data(), sec3.size(), &f), VALMORA_DECODE_OK);
    EXPECT_EQ(f.gridDefinitionTemplateNumber, 101);
    EXPECT_EQ(f.numberOfDataPoints, 12345u);
    EXPECT_EQ(f.shapeOfTheEarth, 6);
    EXPECT_EQ(f.numberOfGridUsed, 7);
    EXPECT_EQ(f.numberOfGridInReference, 1);
    EXPECT_EQ(f.uuidOfHGrid[0], 0xA0);
    EXPECT_EQ(f.uuidOfHGrid[15], 0xAF);
    EXPECT_EQ(f.Ni, VALMORA_FIELD_MISSING);
    EXPECT_EQ(f.latitudeOfFirstGridPoint, VALMORA_FIELD_NOT_GIVEN);
    // A section shorter than its UUID.
    sec3.resize(30);
    sec3[3] = 30;
    EXPECT_EQ(gribGridKeys2(sec3.data(), sec3.size(), &f), VALMORA_DECODE_DAMAGED);
}

TEST(CoordsThreads, SeveralThreadsComputeTheSameCoordinates)
{
    std::vector<int> g = {4, 0, 4, 59444, 0, 128, -59444, 315000, 0, 2, 0};
    g.resize(22);
    g[16] = 1;
    for (int pl : {4, 8, 8, 4}) g.push_back(pl);
    const Bytes records[] = {smallGrid(0x10), gribRecord(g),
                             gribRecord({4, 64, 32, 85761, 0, 128, -85761, 354375, 5625, 16, 0})};
    std::vector<Coords> expected;
    for (const Bytes &r : records) expected.push_back(coordsOf(r));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                for (size_t r = 0; r < expected.size(); ++r) {
                    const Coords c = coordsOf(records[r]);
                    if (c.status != VALMORA_DECODE_OK || c.lat != expected[r].lat || c.lon != expected[r].lon)
                        ++mismatches[(size_t)t];
                }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
