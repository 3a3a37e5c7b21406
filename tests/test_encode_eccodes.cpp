// Records from both entry points read back by an independent decoder,
// ecCodes: its keys must match the section arrays and its values come
// within half a packing step of the input.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

using namespace encodeutil;

// The example program's record, checked with ecCodes' command-line tools.
TEST(EncodeExample, TemperatureRecordReadsBack)
{
    const std::string program = std::string(VALMORA_BUILD_DIR) + "/encode_temperature";
    if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "examples are not built";
    if (!testutil::haveCommand("grib_get")) GTEST_SKIP() << "grib_get (ecCodes) is not installed";
    testutil::TempDir dir;
    const std::string file = dir.file("t.grb");
    const auto made = testutil::run(program + " " + file);
    ASSERT_EQ(made.status, 0);
    const auto keys = testutil::run("grib_get -p centre:l,indicatorOfParameter,gridType,Ni,Nj,"
                                    "bitsPerValue,numberOfMissing,dataDate " + file);
    EXPECT_EQ(keys.out, "98 167 regular_ll 360 181 16 3600 20240701\n");
    // 0N 0E: 300 + 4 K; 85N is missing.
    const auto data = testutil::run("grib_get_data -m MISSING " + file +
                                    " | awk '($1 == 0 && $2 == 0) || ($1 == 85 && $2 == 10) {print $3}'");
    double equator = 0;
    char north[32] = {0};
    ASSERT_EQ(sscanf(data.out.c_str(), "%31s %lf", north, &equator), 2) << data.out;
    EXPECT_STREQ(north, "MISSING");
    EXPECT_NEAR(equator, 304.0, 0.01);
}

#ifndef VALMORA_HAVE_ECCODES_API

TEST(EncodeInterop, NeedsEccodes) { GTEST_SKIP() << "ecCodes' C API is not installed; interop tests skipped"; }

#else

namespace {

// A smooth global temperature-like field.
std::vector<double> temperature(size_t count, int ni)
{
    std::vector<double> v(count);
    for (size_t k = 0; k < count; ++k) {
        const double lat = M_PI * (0.5 - (double)(k / (size_t)ni) / 180.0), lon = 2 * M_PI * (double)(k % (size_t)ni) / ni;
        v[k] = 250.0 + 40.0 * std::cos(lat) + 6.0 * std::sin(2 * lon) * std::cos(lat) + 0.01 * (double)(k % 7);
    }
    return v;
}

std::vector<double> harmonics(int t)
{
    std::vector<double> v;
    for (int m = 0; m <= t; ++m)
        for (int n = m; n <= t; ++n) {
            const double amp = 100.0 * std::pow(n * (n + 1.0) + 1.0, -1.2);
            v.push_back(amp * std::cos(0.7 * m + n));
            v.push_back(m == 0 ? 0.0 : amp * std::sin(1.3 * m - n));
        }
    return v;
}

struct Config {
    const char *what;
    std::function<void(Fields<double> &)> setup; // arrays for the double twin, copied for the float one
    std::map<std::string, long> keys;
    const char *gridType, *packingType;
    double tolFactor = 1.0; // complex packing divides the step by the smallest n(n+1) packed
};

void latlon(Fields<double> &f, int ni, int nj)
{
    const int g[10] = {0, ni, nj, 90000, 0, 128, -90000, (ni - 1) * 360000 / ni, 360000 / ni, 180000 / (nj - 1)};
    std::copy(g, g + 10, f.isec2.begin());
    f.isec1[15] = 6;
    f.values(temperature((size_t)ni * nj, ni));
    f.isec4[1] = 16;
}

void spectral(Fields<double> &f, int t, bool complex)
{
    f.isec1[6] = 109, f.isec1[7] = 1;
    const int g[6] = {50, t, t, t, 1, complex ? 2 : 1};
    std::copy(g, g + 6, f.isec2.begin());
    f.values(harmonics(t));
    f.isec4[1] = 16, f.isec4[3] = complex ? 64 : 0, f.isec4[16] = 1000, f.isec4[17] = complex ? 20 : 0;
}

const std::vector<int> kRows = {20, 27, 32, 36, 36, 32, 27, 20};

const Config kConfigs[] = {
    {"regular lat/lon", [](Fields<double> &f) { latlon(f, 360, 181); },
     {{"Ni", 360}, {"Nj", 181}, {"latitudeOfFirstGridPoint", 90000}, {"longitudeOfFirstGridPoint", 0},
      {"latitudeOfLastGridPoint", -90000}, {"longitudeOfLastGridPoint", 359000}, {"iDirectionIncrement", 1000},
      {"jDirectionIncrement", 1000}, {"scanningMode", 0}, {"bitsPerValue", 16}, {"numberOfMissing", 0}},
     "regular_ll", "grid_simple"},
    {"regular lat/lon with a bit map",
     [](Fields<double> &f) {
         latlon(f, 360, 181);
         f.isec1[4] = 192, f.fsec3[1] = -9999;
         for (size_t i = 0; i < f.fsec4.size(); i += 10) f.fsec4[i] = -9999;
     },
     {{"bitmapPresent", 1}, {"numberOfMissing", 6516}, {"numberOfDataPoints", 65160}, {"numberOfCodedValues", 58644}},
     "regular_ll", "grid_simple"},
    {"rotated with vertical coordinates and decimal scaling",
     [](Fields<double> &f) {
         latlon(f, 40, 21);
         f.isec1[6] = 109, f.isec1[7] = 60, f.isec1[22] = 1;
         f.isec2[0] = 10, f.isec2[3] = -10000, f.isec2[6] = -30000, f.isec2[10] = 64;
         f.isec2[12] = -40000, f.isec2[13] = 10000, f.isec2[11] = 4;
         f.fsec2[10] = 0, f.fsec2[11] = 2000, f.fsec2[12] = 0.5, f.fsec2[13] = 1;
     },
     {{"latitudeOfFirstGridPoint", -10000}, {"latitudeOfSouthernPole", -40000}, {"longitudeOfSouthernPole", 10000},
      {"scanningMode", 64}, {"decimalScaleFactor", 1}, {"numberOfVerticalCoordinateValues", 4}},
     "rotated_ll", "grid_simple"},
    {"Gaussian", [](Fields<double> &f) { latlon(f, 40, 21), f.isec2[0] = 4, f.isec2[9] = 10, f.isec1[17] = 4, f.isec1[16] = 12; },
     {{"N", 10}, {"Ni", 40}, {"Nj", 21}, {"P2", 12}, {"timeRangeIndicator", 4}}, "regular_gg", "grid_simple"},
    {"quasi-regular Gaussian with vertical coordinates",
     [](Fields<double> &f) {
         const int g[10] = {4, 0, 8, 80000, 0, 0, -80000, 350000, 0, 4};
         std::copy(g, g + 10, f.isec2.begin());
         f.isec2[16] = 1, f.isec2[11] = 2, f.fsec2[10] = 3, f.fsec2[11] = 4;
         std::copy(kRows.begin(), kRows.end(), f.isec2.begin() + 22);
         f.values(temperature(230, 36));
         f.isec4[1] = 12;
     },
     {{"Nj", 8}, {"bitsPerValue", 12}, {"numberOfDataPoints", 230}, {"numberOfVerticalCoordinateValues", 2}},
     "reduced_gg", "grid_simple"},
    {"Lambert",
     [](Fields<double> &f) {
         latlon(f, 93, 65);
         const int l[21] = {3, 93, 65, 12190, -133459, 8, -95000, 0, 81271, 81271, 64,
                            0, 0, 25000, 25000, 0, 0, 0, 0, -90000, 0};
         std::copy(l, l + 21, f.isec2.begin());
     },
     {{"Nx", 93}, {"Ny", 65}, {"latitudeOfFirstGridPoint", 12190}, {"longitudeOfFirstGridPoint", -133459},
      {"LoV", -95000}, {"DxInMetres", 81271}, {"Latin1", 25000}, {"scanningMode", 64}},
     "lambert", "grid_simple"},
    {"spectral simple T21", [](Fields<double> &f) { spectral(f, 21, false); }, {{"J", 21}, {"numberOfValues", 506}},
     "sh", "spectral_simple"},
    {"spectral simple T63", [](Fields<double> &f) { spectral(f, 63, false); }, {{"J", 63}}, "sh", "spectral_simple"},
    {"spectral complex T21", [](Fields<double> &f) { spectral(f, 21, true); }, {{"J", 21}, {"numberOfValues", 506}},
     "sh", "spectral_complex", 1 / 420.0},
    {"spectral complex T106", [](Fields<double> &f) { spectral(f, 106, true); }, {{"J", 106}, {"bitsPerValue", 16}},
     "sh", "spectral_complex", 1 / 420.0},
    {"local extension of centre 98",
     [](Fields<double> &f) {
         latlon(f, 36, 19);
         f.isec1[23] = 1, f.isec1[36] = 1, f.isec1[37] = 1, f.isec1[38] = 11, f.isec1[39] = 1035;
         memcpy(&f.isec1[40], "0001", 4);
         f.isec1[41] = 7, f.isec1[42] = 51;
     },
     {{"localDefinitionNumber", 1}, {"marsClass", 1}, {"marsType", 11}, {"marsStream", 1035},
      {"perturbationNumber", 7}, {"numberOfForecastsInEnsemble", 51}},
     "regular_ll", "grid_simple"},
};

struct Handle {
    codes_handle *h;
    explicit Handle(const Bytes &rec) : h(codes_handle_new_from_message(nullptr, rec.data(), rec.size())) {}
    ~Handle() { codes_handle_delete(h); }
    long num(const char *key) const
    {
        long v = -999999;
        EXPECT_EQ(codes_get_long(h, key, &v), 0) << key;
        return v;
    }
    std::string str(const char *key) const
    {
        char buf[256] = {0};
        size_t len = sizeof buf;
        EXPECT_EQ(codes_get_string(h, key, buf, &len), 0) << key;
        return buf;
    }
    std::vector<double> doubles(const char *key) const
    {
        size_t n = 0;
        codes_get_size(h, key, &n);
        std::vector<double> v(n);
        EXPECT_EQ(codes_get_double_array(h, key, v.data(), &n), 0) << key;
        return v;
    }
};

template <typename T> Fields<T> twin(const Fields<double> &d)
{
    Fields<T> f;
    f.isec1 = d.isec1, f.isec2 = d.isec2, f.isec4 = d.isec4;
    f.fsec2.assign(d.fsec2.begin(), d.fsec2.end());
    f.fsec3.assign(d.fsec3.begin(), d.fsec3.end());
    f.fsec4.assign(d.fsec4.begin(), d.fsec4.end());
    return f;
}

template <typename T> class EncodeInterop : public testing::Test {};
using Types = testing::Types<double, float>;
TYPED_TEST_SUITE(EncodeInterop, Types);

} // namespace

TYPED_TEST(EncodeInterop, EveryGridTypeReadsBack)
{
    for (const Config &c : kConfigs) {
        Fields<double> d;
        c.setup(d);
        Fields<TypeParam> f = twin<TypeParam>(d);
        const std::vector<double> input(f.fsec4.begin(), f.fsec4.end());
        const Result r = encode(f);
        ASSERT_EQ(r.status, 0) << c.what;
        Handle h(r.rec);
        ASSERT_NE(h.h, nullptr) << c.what;
        EXPECT_EQ(h.num("editionNumber"), 1);
        EXPECT_EQ(h.num("totalLength"), (long)get3(r.rec, 4));
        const std::vector<int> &p = f.isec1;
        const std::map<std::string, long> common = {
            {"centre", p[1]}, {"indicatorOfParameter", p[5]}, {"indicatorOfTypeOfLevel", p[6]}, {"level", p[7]},
            {"dataDate", (p[20] - 1) * 1000000L + p[9] * 10000L + p[10] * 100 + p[11]},
            {"dataTime", p[12] * 100L + p[13]}, {"timeRangeIndicator", p[17]}, {"P1", p[15]}};
        for (const auto *keys : {&common, &c.keys})
            for (const auto &[key, value] : *keys) EXPECT_EQ(h.num(key.c_str()), value) << c.what << ": " << key;
        EXPECT_EQ(h.str("gridType"), c.gridType) << c.what;
        EXPECT_EQ(h.str("packingType"), c.packingType) << c.what;
        if (f.isec2[11] > 0) {
            const std::vector<double> pv = h.doubles("pv");
            for (size_t i = 0; i < pv.size(); ++i) EXPECT_EQ(pv[i], (double)f.fsec2[10 + i]) << c.what;
        }
        if (f.isec2[16]) {
            EXPECT_EQ(h.doubles("pl"), std::vector<double>(kRows.begin(), kRows.end())) << c.what;
        }

        // Half a step, plus the reference value's distance below the
        // minimum, plus the input's own rounding in single precision.
        const double scale = std::pow(10.0, f.isec1[22]), ref = [&] {
            double v = 0;
            codes_get_double(h.h, "referenceValue", &v);
            return v;
        }();
        double fmin = INFINITY, vmax = 0;
        const size_t first = h.str("packingType") == "spectral_simple" ? 1 : 0;
        for (size_t i = first; i < input.size(); ++i)
            if (!(f.isec1[4] & 64) || input[i] != -9999) fmin = std::min(fmin, input[i] * scale), vmax = std::max(vmax, std::fabs(input[i]));
        // Complex packing: the reference is that of the scaled values, and
        // the unpacked subset carries the IBM rounding of its own values.
        const bool complex = c.tolFactor < 1;
        const double below = complex ? std::fabs(ref) * 1e-6 : fmin - ref;
        const double tol = (std::ldexp(1.0, (int)h.num("binaryScaleFactor")) / 2 + below) * c.tolFactor / scale +
                           vmax * (sizeof(TypeParam) == 4 ? 1.2e-7 : 1e-12) + (complex ? 1e-4 : 0);
        const std::vector<double> got = h.doubles("values");
        ASSERT_EQ(got.size(), input.size()) << c.what;
        const double missing = (double)h.num("missingValue");
        for (size_t i = 0; i < got.size(); ++i) {
            if ((f.isec1[4] & 64) && input[i] == -9999) {
                ASSERT_EQ(got[i], missing) << c.what << " #" << i;
            } else {
                ASSERT_NEAR(got[i], input[i], tol) << c.what << " #" << i;
            }
        }
    }
}

TYPED_TEST(EncodeInterop, LargeFormOverSixteenMegabytes)
{
    // 2049 x 2047 points at 32 bits: the end section lies past 16777212.
    Fields<TypeParam> f;
    const int g[10] = {0, 2049, 2047, 90000, 0, 0, -90000, 359824, 0, 0};
    std::copy(g, g + 10, f.isec2.begin());
    f.fsec4.resize(4194303);
    for (size_t i = 0; i < f.fsec4.size(); ++i) f.fsec4[i] = (TypeParam)(i % 100000) * (TypeParam)0.5;
    f.isec4[0] = 4194303;
    f.isec4[1] = 32;
    const Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.rec[4] & 0x80, 0x80);
    EXPECT_EQ(f.isec0[0] % 120, 0);
    Handle h(r.rec);
    ASSERT_NE(h.h, nullptr);
    EXPECT_EQ(h.num("numberOfValues"), 4194303);
    EXPECT_EQ(h.num("Ni"), 2049);
    EXPECT_EQ(h.num("bitsPerValue"), 32);
    const std::vector<double> got = h.doubles("values");
    ASSERT_EQ(got.size(), (size_t)4194303);
    for (size_t i = 0; i < got.size(); i += 997) ASSERT_NEAR(got[i], (double)(i % 100000) * 0.5, 0.01) << i;
}

#endif
