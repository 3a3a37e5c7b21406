// Records from both entry points, read back by an independent decoder
// (ecCodes' C API): metadata keys and values within half a packing step.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <unistd.h>
#include <map>
#include <string>
#include <vector>

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
    EXPECT_NE(made.out.find("3600 missing"), std::string::npos) << made.out;

    const auto keys = testutil::run("grib_get -p centre:l,indicatorOfParameter,gridType,Ni,Nj,"
                                    "bitsPerValue,numberOfMissing,dataDate " + file);
    EXPECT_EQ(keys.status, 0);
    EXPECT_EQ(keys.out, "98 167 regular_ll 360 181 16 3600 20240701\n");

    // Equator at 0E: 300 + 4 K; north of 80N: missing.
    const auto data = testutil::run("grib_get_data -m MISSING " + file + " | awk '$1 == 0 && $2 == 0 {print $3}'"
                                    " ; grib_get_data -m MISSING " + file + " | awk '$1 == 85 && $2 == 10 {print $3}'");
    EXPECT_EQ(data.status, 0);
    double equator = 0;
    char second[32] = {0};
    ASSERT_EQ(sscanf(data.out.c_str(), "%lf %31s", &equator, second), 2) << data.out;
    EXPECT_NEAR(equator, 304.0, 0.01);
    EXPECT_STREQ(second, "MISSING");
}

#ifndef VALMORA_HAVE_ECCODES_API

TEST(EncodeInterop, NeedsEccodes) { GTEST_SKIP() << "ecCodes' C API is not installed; interop tests skipped"; }

#else

namespace {

using Keys = std::map<std::string, long>;

// A smooth global temperature-like field on an ni x nj grid.
std::vector<double> temperature(int ni, int nj)
{
    std::vector<double> v;
    for (int j = 0; j < nj; ++j)
        for (int i = 0; i < ni; ++i) {
            const double lat = M_PI * (0.5 - (double)j / (nj > 1 ? nj - 1 : 1));
            const double lon = 2 * M_PI * i / ni;
            v.push_back(250.0 + 40.0 * std::cos(lat) + 6.0 * std::sin(2 * lon) * std::cos(lat) + 0.01 * (i % 7));
        }
    return v;
}

template <typename T> Fields<T> latlon(int ni, int nj, const std::vector<double> &values)
{
    Fields<T> f;
    f.isec1[15] = 6; // +6 h
    f.isec2[1] = ni;
    f.isec2[2] = nj;
    f.isec2[3] = 90000;
    f.isec2[4] = 0;
    f.isec2[6] = -90000;
    f.isec2[7] = ni > 0 ? (ni - 1) * 360000 / ni : 0;
    f.isec2[8] = ni > 0 ? 360000 / ni : 0;
    f.isec2[9] = nj > 1 ? 180000 / (nj - 1) : 0;
    f.fsec4.assign(values.begin(), values.end());
    f.isec4[0] = (int)values.size();
    f.isec4[1] = 16;
    return f;
}

struct Handle {
    codes_handle *h = nullptr;
    explicit Handle(const Bytes &rec) { h = codes_handle_new_from_message(nullptr, rec.data(), rec.size()); }
    ~Handle()
    {
        if (h) codes_handle_delete(h);
    }
    long num(const char *key) const
    {
        long v = -999999;
        EXPECT_EQ(codes_get_long(h, key, &v), 0) << key;
        return v;
    }
    double real(const char *key) const
    {
        double v = NAN;
        EXPECT_EQ(codes_get_double(h, key, &v), 0) << key;
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
        EXPECT_EQ(codes_get_size(h, key, &n), 0) << key;
        std::vector<double> v(n);
        EXPECT_EQ(codes_get_double_array(h, key, v.data(), &n), 0) << key;
        return v;
    }
};

template <typename T> Result encodeOk(Fields<T> &f)
{
    Result r = encode(f, (int)(f.fsec4.size() + 8192));
    EXPECT_EQ(r.status, 0);
    return r;
}

// The keys every record carries, from the section arrays used.
template <typename T> void commonKeys(const Handle &h, const Fields<T> &f)
{
    EXPECT_EQ(h.num("editionNumber"), 1);
    EXPECT_EQ(h.num("centre"), f.isec1[1]);
    EXPECT_EQ(h.num("indicatorOfParameter"), f.isec1[5]);
    EXPECT_EQ(h.num("indicatorOfTypeOfLevel"), f.isec1[6]);
    EXPECT_EQ(h.num("level"), f.isec1[7]);
    EXPECT_EQ(h.num("dataDate"), (f.isec1[20] - 1) * 1000000L + f.isec1[9] * 10000L + f.isec1[10] * 100 + f.isec1[11]);
    EXPECT_EQ(h.num("dataTime"), f.isec1[12] * 100L + f.isec1[13]);
    EXPECT_EQ(h.num("timeRangeIndicator"), f.isec1[17]);
    EXPECT_EQ(h.num("P1"), f.isec1[15]);
}

// Values within half a step (2^E / 2 x 10^-D) plus the reference value's
// distance below the minimum and, for floats, the input's own rounding.
void checkValues(const Handle &h, const std::vector<double> &expect, const std::vector<bool> &missing, bool isFloat,
                 int d = 0, double extra = 0)
{
    const std::vector<double> got = h.doubles("values");
    ASSERT_EQ(got.size(), expect.size());
    double fmin = INFINITY, vmax = 0;
    for (size_t i = 0; i < expect.size(); ++i)
        if (missing.empty() || !missing[i]) {
            fmin = std::min(fmin, expect[i] * std::pow(10.0, d));
            vmax = std::max(vmax, std::fabs(expect[i]));
        }
    const double ref = h.real("referenceValue");
    const long e = h.num("binaryScaleFactor");
    const double tol = std::ldexp(1.0, (int)e) / 2 / std::pow(10.0, d) + (fmin - ref) / std::pow(10.0, d) +
                       (isFloat ? vmax * 1.2e-7 : vmax * 1e-12) + extra;
    const double missingValue = h.real("missingValue");
    size_t nmiss = 0;
    for (size_t i = 0; i < expect.size(); ++i) {
        if (!missing.empty() && missing[i]) {
            ++nmiss;
            ASSERT_EQ(got[i], missingValue) << i;
        } else {
            ASSERT_NEAR(got[i], expect[i], tol) << i;
        }
    }
    EXPECT_EQ(h.num("numberOfMissing"), (long)nmiss);
}

template <typename T> class EncodeInterop : public testing::Test {};
using Types = testing::Types<double, float>;
TYPED_TEST_SUITE(EncodeInterop, Types);

} // namespace

TYPED_TEST(EncodeInterop, RegularLatLonWithAndWithoutBitmap)
{
    using T = TypeParam;
    const std::vector<double> v = temperature(360, 181);
    for (bool bitmap : {false, true}) {
        Fields<T> f = latlon<T>(360, 181, v);
        std::vector<bool> missing;
        if (bitmap) {
            f.isec1[4] = 192;
            f.fsec3[1] = (T)-9999;
            missing.assign(v.size(), false);
            for (size_t i = 0; i < v.size(); i += 10) {
                missing[i] = true;
                f.fsec4[i] = (T)-9999;
            }
        }
        const Result r = encodeOk(f);
        Handle h(r.rec);
        ASSERT_NE(h.h, nullptr);
        commonKeys(h, f);
        EXPECT_EQ(h.str("gridType"), "regular_ll");
        EXPECT_EQ(h.num("Ni"), 360);
        EXPECT_EQ(h.num("Nj"), 181);
        EXPECT_EQ(h.num("latitudeOfFirstGridPoint"), 90000);
        EXPECT_EQ(h.num("longitudeOfFirstGridPoint"), 0);
        EXPECT_EQ(h.num("latitudeOfLastGridPoint"), -90000);
        EXPECT_EQ(h.num("longitudeOfLastGridPoint"), 359000);
        EXPECT_EQ(h.num("iDirectionIncrement"), 1000);
        EXPECT_EQ(h.num("jDirectionIncrement"), 1000);
        EXPECT_EQ(h.num("scanningMode"), 0);
        EXPECT_EQ(h.num("bitsPerValue"), 16);
        EXPECT_EQ(h.num("numberOfDataPoints"), 65160);
        EXPECT_EQ(h.num("bitmapPresent"), bitmap ? 1 : 0);
        EXPECT_EQ(h.num("totalLength"), (long)testutil::get3(r.rec, 4));
        checkValues(h, v, missing, sizeof(T) == 4);
    }
}

TYPED_TEST(EncodeInterop, RotatedGaussianAndVerticalCoordinates)
{
    using T = TypeParam;
    const std::vector<double> v = temperature(40, 21);
    Fields<T> f = latlon<T>(40, 21, v);
    f.isec2[0] = 10;
    f.isec2[3] = -10000;
    f.isec2[6] = -30000;
    f.isec2[4] = 1000;
    f.isec2[7] = 40000;
    f.isec2[8] = 1000;
    f.isec2[9] = 1000;
    f.isec2[10] = 64; // j scans positively
    f.isec2[12] = -40000;
    f.isec2[13] = 10000;
    f.isec2[11] = 4;
    f.fsec2[0] = (T)0;
    const double pv[4] = {0.0, 2000.0, 0.5, 1.0};
    for (int i = 0; i < 4; ++i) f.fsec2[10 + i] = (T)pv[i];
    f.isec1[6] = 109; // hybrid level
    f.isec1[7] = 60;
    f.isec1[22] = 1;  // decimal scale
    Result r = encodeOk(f);
    Handle h(r.rec);
    ASSERT_NE(h.h, nullptr);
    commonKeys(h, f);
    EXPECT_EQ(h.str("gridType"), "rotated_ll");
    EXPECT_EQ(h.num("latitudeOfFirstGridPoint"), -10000);
    EXPECT_EQ(h.num("latitudeOfSouthernPole"), -40000);
    EXPECT_EQ(h.num("longitudeOfSouthernPole"), 10000);
    EXPECT_EQ(h.num("scanningMode"), 64);
    EXPECT_EQ(h.num("decimalScaleFactor"), 1);
    EXPECT_EQ(h.doubles("pv"), std::vector<double>(pv, pv + 4));
    checkValues(h, v, {}, sizeof(T) == 4, 1);

    Fields<T> g = latlon<T>(40, 21, v);
    g.isec2[0] = 4;
    g.isec2[9] = 10; // parallels between a pole and the equator
    g.isec2[3] = 85000;
    g.isec2[6] = -85000;
    g.isec2[11] = 2;
    g.fsec2[10] = (T)1.0;
    g.fsec2[11] = (T)-0.5;
    r = encodeOk(g);
    Handle hg(r.rec);
    ASSERT_NE(hg.h, nullptr);
    EXPECT_EQ(hg.str("gridType"), "regular_gg");
    EXPECT_EQ(hg.num("N"), 10);
    EXPECT_EQ(hg.num("Ni"), 40);
    EXPECT_EQ(hg.num("latitudeOfLastGridPoint"), -85000);
    EXPECT_EQ(hg.doubles("pv"), (std::vector<double>{1.0, -0.5}));
    checkValues(hg, v, {}, sizeof(T) == 4);
}

TYPED_TEST(EncodeInterop, QuasiRegularGaussian)
{
    using T = TypeParam;
    const std::vector<int> rows = {20, 27, 32, 36, 36, 32, 27, 20};
    std::vector<double> v;
    for (int j = 0; j < (int)rows.size(); ++j)
        for (int i = 0; i < rows[(size_t)j]; ++i) v.push_back(280.0 + 10 * std::sin(0.3 * i + j));
    for (bool withPv : {false, true}) {
        Fields<T> f = latlon<T>(0, 8, v);
        f.isec2[0] = 4;
        f.isec2[1] = 0;
        f.isec2[5] = 0;
        f.isec2[8] = 0;
        f.isec2[9] = 4;
        f.isec2[3] = 80000;
        f.isec2[6] = -80000;
        f.isec2[7] = 350000;
        f.isec2[16] = 1;
        for (size_t j = 0; j < rows.size(); ++j) f.isec2[22 + j] = rows[j];
        if (withPv) {
            f.isec2[11] = 2;
            f.fsec2[10] = (T)3.0;
            f.fsec2[11] = (T)4.0;
        }
        f.isec4[1] = 12;
        const Result r = encodeOk(f);
        Handle h(r.rec);
        ASSERT_NE(h.h, nullptr);
        EXPECT_EQ(h.str("gridType"), "reduced_gg");
        EXPECT_EQ(h.num("Nj"), 8);
        EXPECT_EQ(h.num("bitsPerValue"), 12);
        EXPECT_EQ(h.num("numberOfDataPoints"), (long)v.size());
        const std::vector<double> pl = h.doubles("pl");
        ASSERT_EQ(pl.size(), rows.size());
        for (size_t j = 0; j < rows.size(); ++j) EXPECT_EQ(pl[j], rows[j]);
        if (withPv) {
            EXPECT_EQ(h.doubles("pv"), (std::vector<double>{3.0, 4.0}));
        }
        checkValues(h, v, {}, sizeof(T) == 4);
    }
}

TYPED_TEST(EncodeInterop, Lambert)
{
    using T = TypeParam;
    const std::vector<double> v = temperature(93, 65);
    Fields<T> f = latlon<T>(93, 65, v);
    const int lambert[21] = {3, 93, 65, 12190, -133459, 8, -95000, 0, 81271, 81271, 64,
                             0, 0, 25000, 25000, 0, 0, 0, 0, -90000, 0};
    for (int i = 0; i < 21; ++i) f.isec2[i] = lambert[i];
    const Result r = encodeOk(f);
    Handle h(r.rec);
    ASSERT_NE(h.h, nullptr);
    commonKeys(h, f);
    EXPECT_EQ(h.str("gridType"), "lambert");
    EXPECT_EQ(h.num("Nx"), 93);
    EXPECT_EQ(h.num("Ny"), 65);
    EXPECT_EQ(h.num("latitudeOfFirstGridPoint"), 12190);
    EXPECT_EQ(h.num("longitudeOfFirstGridPoint"), -133459);
    EXPECT_EQ(h.num("LoV"), -95000);
    EXPECT_EQ(h.num("DxInMetres"), 81271);
    EXPECT_EQ(h.num("Latin1"), 25000);
    EXPECT_EQ(h.num("scanningMode"), 64);
    checkValues(h, v, {}, sizeof(T) == 4);
}

// Spherical harmonics at T21 and T63, simple and complex packing.
TYPED_TEST(EncodeInterop, SpectralSimpleAndComplex)
{
    using T = TypeParam;
    for (int t : {21, 63}) {
        for (bool complex : {false, true}) {
            std::vector<double> v;
            for (int m = 0; m <= t; ++m)
                for (int n = m; n <= t; ++n) {
                    const double amp = 100.0 * std::pow((double)(n * (n + 1) + 1), -1.2);
                    v.push_back(amp * std::cos(0.7 * m + n));
                    v.push_back(m == 0 ? 0.0 : amp * std::sin(1.3 * m - n));
                }
            Fields<T> f;
            f.isec1[6] = 109;
            f.isec1[7] = 1;
            f.isec2[0] = 50;
            f.isec2[1] = f.isec2[2] = f.isec2[3] = t;
            f.isec2[4] = 1;
            f.isec2[5] = complex ? 2 : 1;
            f.fsec4.assign(v.begin(), v.end());
            f.isec4[0] = (int)v.size();
            f.isec4[1] = 16;
            f.isec4[3] = complex ? 64 : 0;
            f.isec4[16] = 1000;
            f.isec4[17] = complex ? 20 : 0;
            const Result r = encodeOk(f);
            Handle h(r.rec);
            ASSERT_NE(h.h, nullptr) << t;
            commonKeys(h, f);
            EXPECT_EQ(h.str("gridType"), "sh");
            EXPECT_EQ(h.str("packingType"), complex ? "spectral_complex" : "spectral_simple");
            EXPECT_EQ(h.num("J"), t);
            EXPECT_EQ(h.num("numberOfValues"), (long)v.size());
            const std::vector<double> got = h.doubles("values");
            ASSERT_EQ(got.size(), v.size());
            // Complex packing scaled the packed part by n(n+1) >= 420 (n > 20),
            // so the step shrinks by that much once unscaled.
            const double step = std::ldexp(1.0, (int)h.num("binaryScaleFactor"));
            const double tol = (complex ? step / 2 / 420.0 : step / 2) + 1e-6 * 100.0 + (sizeof(T) == 4 ? 1e-5 : 0);
            for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(got[i], v[i], tol) << "T" << t << " value " << i;
        }
    }
}

TYPED_TEST(EncodeInterop, LocalExtensionOfCentre98)
{
    using T = TypeParam;
    const std::vector<double> v = temperature(36, 19);
    Fields<T> f = latlon<T>(36, 19, v);
    f.isec1[23] = 1;
    f.isec1[36] = 1;
    f.isec1[37] = 1;  // class od
    f.isec1[38] = 11; // type cf
    f.isec1[39] = 1035; // stream enfo
    memcpy(&f.isec1[40], "0001", 4);
    f.isec1[41] = 7;
    f.isec1[42] = 51;
    const Result r = encodeOk(f);
    Handle h(r.rec);
    ASSERT_NE(h.h, nullptr);
    commonKeys(h, f);
    EXPECT_EQ(h.num("localDefinitionNumber"), 1);
    EXPECT_EQ(h.num("marsClass"), 1);
    EXPECT_EQ(h.num("marsType"), 11);
    EXPECT_EQ(h.num("marsStream"), 1035);
    EXPECT_EQ(h.str("experimentVersionNumber"), "0001");
    EXPECT_EQ(h.num("perturbationNumber"), 7);
    EXPECT_EQ(h.num("numberOfForecastsInEnsemble"), 51);
    checkValues(h, v, {}, sizeof(T) == 4);
}

TYPED_TEST(EncodeInterop, LargeFormOverSixteenMegabytes)
{
    using T = TypeParam;
    // 2049 x 2047 values at 32 bits: "7777" starts beyond 16777212, so
    // the record takes the large form.
    const int n = 4194291;
    Fields<T> f;
    f.isec1[4] = 128;
    f.isec2[1] = 2049;
    f.isec2[2] = 2047;
    f.isec2[3] = 90000;
    f.isec2[6] = -90000;
    f.isec2[7] = 359824;
    f.isec2[5] = 0;
    f.fsec4.resize((size_t)n);
    for (int i = 0; i < n; ++i) f.fsec4[(size_t)i] = (T)(i % 100000) * (T)0.5;
    f.isec4[0] = 4194303; // Ni x Nj
    f.fsec4.resize(4194303, (T)1.0);
    f.isec4[1] = 32;
    const Result r = encode(f, 4194303 + 4096);
    ASSERT_EQ(r.status, 0);
    ASSERT_GT(f.isec0[0], 16777215);
    EXPECT_EQ(r.rec[4] & 0x80, 0x80);
    EXPECT_EQ(f.isec0[0] % 120, 0);
    Handle h(r.rec);
    ASSERT_NE(h.h, nullptr);
    EXPECT_EQ(h.num("numberOfValues"), 4194303);
    EXPECT_EQ(h.num("Ni"), 2049);
    EXPECT_EQ(h.num("bitsPerValue"), 32);
    const std::vector<double> got = h.doubles("values");
    ASSERT_EQ(got.size(), (size_t)4194303);
    for (size_t i = 0; i < got.size(); i += 997) {
        const double expect = i < (size_t)n ? (double)(i % 100000) * 0.5 : 1.0;
        ASSERT_NEAR(got[i], expect, 0.01) << i;
    }
}

#endif
