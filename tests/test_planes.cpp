// The byte-plane detector and gribcheck on real records: ecCodes samples
// given smooth and categorical fields at 24 bits (grid-point with and without
// a bit map, and spectral), then the same records with their data split into
// planes here. Healthy records are never reported; every split one is, and
// the repaired copy is the original file octet for octet.
#include "listings_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <valmora.h>

#include "support.h"

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

using namespace listings;
using testutil::Bytes;
using testutil::grib1;

namespace {

std::string tool(const std::string &name) { return std::string(VALMORA_BUILD_DIR) + "/" + name; }

// Extent of the packed 24-bit values of a grid-point record: offset of the
// first data octet and the number of whole values, as the repair sees them.
void dataExtent(const Bytes &rec, size_t &at, size_t &n)
{
    size_t bds = bdsOffset(rec);
    size_t L = testutil::get3(rec, bds);
    size_t bits = (L - 11) * 8 - (rec[bds + 3] & 15);
    at = bds + 11;
    n = bits / 24;
}

// The record with its values split into three byte planes.
Bytes splitPlanes(const Bytes &rec)
{
    size_t at, n;
    dataExtent(rec, at, n);
    Bytes out = rec;
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < 3; ++k) out[at + k * n + i] = rec[at + 3 * i + k];
    return out;
}

// A grid-point 24-bit record of the given values (already packed).
Bytes record24(const std::vector<uint32_t> &values) { return grib1(pds(), {}, {}, testutil::simpleBds(values, 24)); }

std::vector<uint32_t> smoothValues(size_t n)
{
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint32_t)(8000000.0 + 6000000.0 * std::sin((double)i / 40.0) + 3000.0 * std::cos((double)i / 3.0));
    return v;
}

int planes(const Bytes &rec, double *ratio = nullptr)
{
    return gribPlanes1(rec.data(), (long)rec.size(), ratio);
}

TEST(Planes, RecordsTheTestDoesNotApplyTo)
{
    Bytes smooth = record24(smoothValues(500));
    EXPECT_EQ(planes(smooth), GRIB_PLANES_WHOLE);
    EXPECT_EQ(planes(splitPlanes(smooth)), GRIB_PLANES_SPLIT);

    // 63 values are too few, 64 are tested.
    EXPECT_EQ(planes(splitPlanes(record24(smoothValues(63)))), GRIB_PLANES_NOT_TESTED);
    EXPECT_EQ(planes(splitPlanes(record24(smoothValues(64)))), GRIB_PLANES_SPLIT);
    // Constant fields, whichever way they are read.
    EXPECT_EQ(planes(record24(std::vector<uint32_t>(1000, 0x123456))), GRIB_PLANES_NOT_TESTED);
    EXPECT_EQ(planes(splitPlanes(record24(std::vector<uint32_t>(1000, 0x123456)))), GRIB_PLANES_NOT_TESTED);
    // Other widths, spectral, second-order and szip-form sections.
    EXPECT_EQ(planes(grib1(pds(), {}, {}, testutil::simpleBds(std::vector<uint32_t>(500, 7), 16))),
              GRIB_PLANES_NOT_TESTED);
    for (unsigned flag : {0x80u, 0x40u, 0x10u}) {
        Bytes r = splitPlanes(smooth);
        r[bdsOffset(r) + 3] |= (unsigned char)flag;
        EXPECT_EQ(planes(r), GRIB_PLANES_NOT_TESTED) << flag;
    }
    // An edition 2 record is not tested; a damaged one says so, and the ratio
    // is cleared whenever there is none.
    double ratio = 5;
    EXPECT_EQ(planes(grib2(Grib2Spec()), &ratio), GRIB_PLANES_NOT_TESTED);
    EXPECT_EQ(ratio, 0.0);
    Bytes cut(smooth.begin(), smooth.end() - 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(planes(cut), GRIB_PLANES_DAMAGED);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(gribPlanes1(nullptr, 100, nullptr), GRIB_PLANES_DAMAGED);
}

TEST(Planes, JudgesTheExtentTheRepairJoins)
{
    // Two octets after the last whole value (less than a value): the
    // detector and the repair both take 300 values and leave those alone.
    std::vector<uint32_t> v = smoothValues(300);
    Bytes data;
    for (uint32_t x : v)
        for (int k = 2; k >= 0; --k) data.push_back((unsigned char)(x >> (8 * k)));
    data.push_back(0xAB);
    data.push_back(0xCD);
    Bytes healthy = grib1(pds(), {}, {}, rawBds(data, 24, 0));
    Bytes rec = healthy;
    size_t at = bdsOffset(rec) + 11;
    for (size_t i = 0; i < 300; ++i)
        for (size_t k = 0; k < 3; ++k) rec[at + k * 300 + i] = healthy[at + 3 * i + k];
    Bytes before = rec;
    double ratio = 0;
    EXPECT_EQ(planes(rec, &ratio), GRIB_PLANES_SPLIT) << ratio;
    EXPECT_LT(ratio, 0.95);
    EXPECT_EQ(rec, before); // never written
    Output o = inChild([&] { gribRepair1(1, (long)rec.size(), rec.data()); fwrite(rec.data(), 1, rec.size(), stderr); });
    EXPECT_EQ(Bytes(o.err.begin(), o.err.end()), healthy);
    EXPECT_EQ(planes(healthy, &ratio), GRIB_PLANES_WHOLE);
    EXPECT_GE(ratio, 1.0);
    EXPECT_EQ(memBlocksInUse(), 0);
}

TEST(PlanesThreads, SameVerdictFromSeveralThreads)
{
    Bytes whole = record24(smoothValues(5000)), split = splitPlanes(whole);
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                if (planes(whole) != GRIB_PLANES_WHOLE || planes(split) != GRIB_PLANES_SPLIT) ++bad[t];
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

#ifdef VALMORA_HAVE_ECCODES_API

const std::string kSamples = "/usr/share/eccodes/samples/";

enum class Field { smooth, categorical };

// Latitudes and longitudes of the points of a sample's grid.
bool gridPoints(codes_handle *h, std::vector<double> &lat, std::vector<double> &lon)
{
    size_t n = 0;
    if (codes_get_size(h, "values", &n) != 0 || n == 0) return false;
    lat.resize(n);
    lon.resize(n);
    std::vector<double> val(n);
    return codes_grib_get_data(h, lat.data(), lon.data(), val.data()) == 0;
}

double fieldValue(Field f, double lat, double lon)
{
    const double r = M_PI / 180.0;
    if (f == Field::smooth) // a temperature with waves of several scales
        return 250.0 + 40.0 * std::cos(lat * r) + 6.0 * std::sin(2 * lon * r) * std::cos(lat * r) +
               1.5 * std::sin(7 * lon * r + 3 * lat * r) + 0.2 * std::cos(23 * lon * r - 11 * lat * r);
    // soil-type-like classes 0 to 7 in patches
    int band = (int)std::floor((lat + 90.0) / 17.0), sector = (int)std::floor(std::fmod(lon + 360.0, 360.0) / 31.0);
    return (double)((band * 5 + sector * 3 + (std::sin(lon * r * 4) > 0.3 ? 2 : 0)) % 8);
}

// The first message of one of ecCodes' samples, or null.
codes_handle *openSample(const std::string &sample)
{
    FILE *in = fopen((kSamples + sample).c_str(), "rb");
    if (!in) return nullptr;
    int err = 0;
    codes_handle *h = codes_handle_new_from_file(nullptr, in, PRODUCT_GRIB, &err);
    fclose(in);
    return h;
}

// A sample's record at 24 bits carrying the field; with a bit map, the
// points north of 75 N and a sector of 30 degrees are missing.
Bytes makeGridRecord(const std::string &sample, Field f, bool bitmap)
{
    codes_handle *h = openSample(sample);
    if (!h) return {};
    std::vector<double> lat, lon;
    Bytes out;
    if (gridPoints(h, lat, lon)) {
        const double missing = 9999.0;
        std::vector<double> v(lat.size());
        for (size_t i = 0; i < v.size(); ++i) {
            double east = std::fmod(lon[i] + 360.0, 360.0);
            bool gap = lat[i] > 75.0 || (east > 100.0 && east < 130.0);
            v[i] = bitmap && gap ? missing : fieldValue(f, lat[i], lon[i]);
        }
        if (bitmap) {
            codes_set_double(h, "missingValue", missing);
            codes_set_long(h, "bitmapPresent", 1);
        }
        // The values twice: the width set before them does not hold for a
        // constant sample, the one set after them repacks the old values.
        codes_set_double_array(h, "values", v.data(), v.size());
        codes_set_long(h, "bitsPerValue", 24);
        codes_set_double_array(h, "values", v.data(), v.size());
        long bits = 0;
        codes_get_long(h, "bitsPerValue", &bits);
        const void *msg;
        size_t len;
        if (bits == 24 && codes_get_message(h, &msg, &len) == 0)
            out.assign((const unsigned char *)msg, (const unsigned char *)msg + len);
    }
    codes_handle_delete(h);
    return out;
}

// A spherical-harmonics sample at 24 bits with decaying coefficients.
Bytes makeSpectralRecord(const std::string &sample, const char *packing)
{
    codes_handle *h = openSample(sample);
    if (!h) return {};
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 100.0 * std::sin(0.37 * (double)i) / (1.0 + 0.05 * (double)i);
    codes_set_string(h, "packingType", packing, &n);
    codes_set_long(h, "bitsPerValue", 24);
    codes_set_double_array(h, "values", v.data(), v.size());
    Bytes out;
    const void *msg;
    size_t len;
    long bits = 0;
    codes_get_long(h, "bitsPerValue", &bits);
    if (bits == 24 && codes_get_message(h, &msg, &len) == 0)
        out.assign((const unsigned char *)msg, (const unsigned char *)msg + len);
    codes_handle_delete(h);
    return out;
}

struct Real {
    std::string what;
    Bytes rec;
    bool gridPoint;
};

std::vector<Real> realRecords()
{
    std::vector<Real> all;
    const char *grids[] = {"GRIB1.tmpl",         "regular_gg_ml_grib1.tmpl",       "reduced_gg_pl_96_grib1.tmpl",
                           "gg_sfc_grib1.tmpl",  "reduced_ll_sfc_grib1.tmpl", "rotated_ll_sfc_grib1.tmpl",
                           "clusters_grib1.tmpl", "regular_ll_pl_grib1.tmpl"};
    for (const char *g : grids)
        for (Field f : {Field::smooth, Field::categorical})
            for (bool bitmap : {false, true}) {
                Bytes r = makeGridRecord(g, f, bitmap);
                if (r.empty()) continue;
                all.push_back({std::string(g) + (f == Field::smooth ? " smooth" : " categorical") +
                                   (bitmap ? " bitmap" : ""),
                               r, true});
            }
    for (const char *packing : {"spectral_complex", "spectral_simple"}) {
        Bytes r = makeSpectralRecord("sh_ml_grib1.tmpl", packing);
        if (!r.empty()) all.push_back({std::string("sh_ml_grib1.tmpl ") + packing, r, false});
    }
    return all;
}

Bytes concat(const std::vector<Bytes> &parts)
{
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(PlanesEccodes, HealthyRecordsWholeSplitOnesFoundAndRepaired)
{
    std::vector<Real> recs = realRecords();
    ASSERT_GE(recs.size(), 20u) << "the ecCodes samples could not be given 24-bit fields";
    std::vector<Bytes> healthy, split;
    const Bytes gap = {0, 0, 0, 'x', 'G', 'R', 'I'}; // octets between records are carried too
    int gridPoints = 0;
    for (const Real &r : recs) {
        double whole = 0, planesRatio = 0;
        int verdict = planes(r.rec, &whole);
        Bytes s = r.gridPoint ? splitPlanes(r.rec) : r.rec;
        int splitVerdict = planes(s, &planesRatio);
        printf("  %-52s healthy %6.3f  split %6.3f\n", r.what.c_str(), whole, planesRatio);
        if (r.gridPoint) {
            ++gridPoints;
            EXPECT_EQ(verdict, GRIB_PLANES_WHOLE) << r.what << " ratio " << whole;
            EXPECT_EQ(splitVerdict, GRIB_PLANES_SPLIT) << r.what << " ratio " << planesRatio;
        } else {
            EXPECT_EQ(verdict, GRIB_PLANES_NOT_TESTED) << r.what;
        }
        healthy.push_back(r.rec);
        healthy.push_back(gap);
        split.push_back(s);
        split.push_back(gap);
    }
    EXPECT_GE(gridPoints, 20);

    struct stat st;
    if (stat(tool("gribcheck").c_str(), &st) != 0) GTEST_SKIP() << "gribcheck is not built";
    testutil::TempDir dir;
    std::string good = dir.file("healthy.grb"), bad = dir.file("split.grb"), fixed = dir.file("fixed.grb");
    testutil::writeFile(good, concat(healthy));
    testutil::writeFile(bad, concat(split));

    testutil::CommandResult r = testutil::run(tool("gribcheck") + " " + good);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    std::string want, wantRepair;
    for (size_t i = 0; i < recs.size(); ++i)
        if (recs[i].gridPoint) {
            Output o = inChild([&] {
                Bytes s = split[2 * i];
                gribCheck1((int)i + 1, 0, (long)s.size(), s.data());
                gribRepair1((int)i + 1, (long)s.size(), s.data());
            });
            size_t cut = o.out.find("Repair ");
            want += o.out.substr(0, cut);
            wantRepair += o.out.substr(cut);
        }
    r = testutil::run(tool("gribcheck") + " " + bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, want);

    r = testutil::run(tool("gribcheck") + " -r " + fixed + " " + bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, wantRepair);
    EXPECT_TRUE(testutil::readFile(fixed) == concat(healthy)) << "the repaired copy differs from the original file";

    r = testutil::run(tool("gribcheck") + " " + fixed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // The healthy file's copy is the file itself.
    r = testutil::run(tool("gribcheck") + " -f -r " + fixed + " " + good);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(testutil::readFile(fixed) == concat(healthy));
}

#endif

} // namespace
