// Whole-record behaviour of the encoder: packing at every width, the
// constant-field switch, the buffer bounds, the plain/large boundary and
// the failure statuses.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

extern "C" long memBlocksInUse(void);

using namespace encodeutil;

namespace {

template <typename T> Fields<T> grid(const std::vector<double> &v, int bits)
{
    Fields<T> f;
    f.isec1[4] = 0;
    f.values(v);
    f.isec4[1] = bits;
    return f;
}

std::string stderrOf(const std::function<void()> &fn)
{
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

} // namespace

// Every width and both entry points: decoded as R + u x 2^E the values come
// back within half a step plus what R lost to its rounding; the range fills
// the width, and the bits after the last value are zero.
TEST(EncodeRecords, EveryWidthRoundTrips)
{
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> dist(-300.0, 5000.0);
    for (int bits = 1; bits <= 32; ++bits) {
        std::vector<double> v(37);
        for (double &x : v) x = dist(rng);
        v[5] = 5000.0;
        v[9] = -300.0;
        Fields<double> fd = grid<double>(v, bits);
        Fields<float> ff = grid<float>(v, bits);
        const Result results[2] = {encode(fd), encode(ff)};
        for (const Result &r : results) {
            ASSERT_EQ(r.status, 0);
            const Bds b = bds(r.rec);
            const size_t nbits = (size_t)bits * v.size(), len = 11 + (nbits + 7) / 8 + (11 + (nbits + 7) / 8) % 2;
            ASSERT_EQ(b.length, len) << bits;
            EXPECT_EQ(b.unused, (len - 11) * 8 - nbits) << bits;
            EXPECT_LE(b.ref, -300.0);
            const double tol = std::ldexp(1.0, b.e) / 2 + (-300.0 - b.ref) + (&r == &results[1] ? 1e-3 : 1e-9);
            const std::vector<uint64_t> u = unpack(r.rec, b.at + 11, v.size(), b.bits);
            for (size_t i = 0; i < v.size(); ++i)
                ASSERT_NEAR(b.ref + (double)u[i] * std::ldexp(1.0, b.e), v[i], tol) << "bits " << bits << " #" << i;
            EXPECT_GE(u[5], (uint64_t)1 << (bits - 1)) << bits;
            for (size_t bit = b.at * 8 + 88 + nbits; bit < (b.at + b.length) * 8; ++bit)
                ASSERT_EQ(r.rec[bit / 8] >> (7 - bit % 8) & 1, 0) << bits;
        }
    }
}

TEST(EncodeRecords, ConstantFieldSwitchAndDecimalScaling)
{
    grsdef(); // the environment is applied before the switch is set
    gribSetConst(1);
    Fields<double> f = grid<double>({5, 5, 5, 5, 5}, 16);
    Bds b = bds(encode(f).rec);
    EXPECT_EQ(b.bits, 0u);
    EXPECT_EQ(b.ref, 5.0);
    EXPECT_EQ(b.length, 12u);
    EXPECT_EQ(b.unused, 8u);
    EXPECT_EQ(f.isec4[1], 16); // the request itself is kept

    gribSetConst(0);
    f = grid<double>({5, 5, 5, 5, 5}, 16);
    Result r = encode(f);
    b = bds(r.rec);
    EXPECT_EQ(b.bits, 16u);
    EXPECT_EQ(b.length, 22u);
    for (uint64_t u : unpack(r.rec, b.at + 11, 5, 16)) EXPECT_EQ(u, 0u);

    // Values are scaled by 10^D in place before packing.
    f = grid<double>({1.23, 4.56, -7.89, 0.01}, 16);
    f.isec1[22] = 2;
    r = encode(f);
    b = bds(r.rec);
    EXPECT_DOUBLE_EQ(f.fsec4[0], 123.0);
    EXPECT_LE(b.ref, -789.0);
    const std::vector<uint64_t> u = unpack(r.rec, b.at + 11, 4, 16);
    EXPECT_NEAR((b.ref + (double)u[0] * std::ldexp(1.0, b.e)) / 100, 1.23, std::ldexp(1.0, b.e) / 200 + 1e-6);
}

TEST(EncodeRecords, BitMapCompactsAndWarnsOnceAboutNaN)
{
    Fields<double> f;
    f.isec1[4] = 192;
    f.fsec3[1] = 9999;
    f.values({1, 9999, 3, 4, 5, 6, 7, 8, 9999, 10, 11});
    encode(f);
    EXPECT_EQ(std::vector<double>(f.fsec4.begin(), f.fsec4.begin() + 9),
              (std::vector<double>{1, 3, 4, 5, 6, 7, 8, 10, 11}));

    for (int call = 0; call < 2; ++call) {
        Fields<float> g;
        g.isec1[4] = 192;
        g.fsec3[1] = NAN;
        g.values({1, 2, 3, 4, 5, 6, 7, 8, 9});
        Result r;
        const std::string err = stderrOf([&] { r = encode(g); });
        EXPECT_EQ(err.find("encodeBMS_float") != std::string::npos &&
                      err.find("Missing value = NaN is unsupported!") != std::string::npos,
                  call == 0)
            << err;
        const Layout l = layout(r.rec);
        EXPECT_EQ(get2(r.rec, l.bms + 6), 0u);
        EXPECT_EQ(get3(r.rec, l.bds), 12u); // nothing packed
    }
}

TEST(EncodeRecords, LengthsReturnedAndBufferOneWordShort)
{
    Fields<double> ample;
    const Result full = encode(ample);
    const int len = ample.isec0[0];
    EXPECT_EQ(len, 88); // 8 + 28 + 32 + 16 + 4
    EXPECT_EQ(full.used, 22);
    EXPECT_EQ(ample.isec0[1], 1);

    // Each octet written into a short buffer is the record's own, the rest
    // is untouched; the report gives the full record's length, the status
    // says the record is not whole, and the lengths say the room it needs.
    for (int kleng : {len / 4 - 1, 1, 0, -3}) {
        Fields<double> f;
        Result r;
        const std::string err = stderrOf([&] { r = encode(f, kleng); });
        EXPECT_NE(err.find("kgrib buffer too small! kleng = " + std::to_string(kleng) + "  gribLen = 88"),
                  std::string::npos)
            << kleng << ": " << err;
        EXPECT_EQ(r.status, VALMORA_ENCODE_NO_ROOM);
        EXPECT_EQ(f.isec0[0], 88);
        EXPECT_EQ(f.isec0[1], 1);
        EXPECT_EQ(r.used, 22);
        for (size_t i = 0; kleng > 0 && i < r.rec.size(); ++i)
            ASSERT_TRUE(r.rec[i] == full.rec[i] || r.rec[i] == 0x5a) << kleng << " #" << i;
        if (kleng == len / 4 - 1) {
            EXPECT_EQ(get3(r.rec, 4), 88u); // the indicator is complete
        }
    }
    // The single-precision twin alike.
    Fields<float> g;
    Result r;
    stderrOf([&] { r = encode(g, len / 4 - 1); });
    EXPECT_EQ(r.status, VALMORA_ENCODE_NO_ROOM);
    EXPECT_EQ(g.isec0[0], 88);
    EXPECT_EQ(r.used, 22);
}

TEST(EncodeRecords, PlainAndLargeFormBoundary)
{
    // "7777" at 16777211: a bit map of 4105256 points, 4066000 present,
    // packed at 32 bits (BDS 16264012 octets): still the plain form.
    {
        Fields<float> f;
        f.isec1[4] = 64;
        f.fsec3[1] = -1;
        f.fsec4.assign(4105256, -1);
        for (int i = 0; i < 4066000; ++i) f.fsec4[(size_t)i] = (float)(i % 1000);
        f.isec4[0] = 4105256;
        f.isec4[1] = 32;
        const Result r = encode(f, 16777216 / 4);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(get3(r.rec, 4), 16777215u);
        EXPECT_EQ(f.isec0[0], 16777216);
        EXPECT_EQ(std::string(&r.rec[16777211], &r.rec[16777215]), "7777");
        EXPECT_EQ(get3(r.rec, layout(r.rec).bds), 16264012u);
    }
    // At 16777212 (4194291 values at 32 bits) the large form takes over.
    {
        Fields<float> f = grid<float>({}, 32);
        f.fsec4.resize(4194291);
        for (size_t i = 0; i < f.fsec4.size(); ++i) f.fsec4[i] = (float)(i % 4096);
        f.isec4[0] = 4194291;
        const Result r = encode(f, 16777320 / 4);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(f.isec0[0], 16777320);
        EXPECT_EQ(r.used, 16777320 / 4);
        EXPECT_EQ(get3(r.rec, 4), 0x822223u);
        EXPECT_EQ(get3(r.rec, 36), 108u); // 104 octets of padding + 4
        EXPECT_EQ(std::string(&r.rec[16777212], &r.rec[16777216]), "7777");
        for (size_t i = 16777216; i < 16777320; ++i) ASSERT_EQ(r.rec[i], 0) << i;
    }
}

TEST(EncodeRecords, ComplexPackingStoresTheSubsetAndFreesScratch)
{
    for (int js : {0, 3, 20}) {
        const int t = 21, n = (t + 1) * (t + 2);
        Fields<double> f;
        f.isec2[0] = 50;
        f.isec2[1] = f.isec2[2] = f.isec2[3] = t;
        f.isec2[5] = 2;
        std::vector<double> v((size_t)n);
        for (int i = 0; i < n; ++i) v[(size_t)i] = std::sin(0.37 * i) / (1 + i / 2);
        f.values(v);
        f.isec4[1] = 16;
        f.isec4[3] = 64;
        f.isec4[16] = 1000;
        f.isec4[17] = js;
        const long blocks = memBlocksInUse();
        const Result r = encode(f);
        EXPECT_EQ(memBlocksInUse(), blocks);
        ASSERT_EQ(r.status, 0);
        // The subset in its own order (m outer, n <= js), each scaled by
        // n(n+1) from n = js on.
        const Bds b = bds(r.rec);
        size_t k = 0, in = 0;
        for (int m = 0; m <= t; ++m)
            for (int nn = m; nn <= t; ++nn, in += 2)
                if (nn <= js)
                    for (int part = 0; part < 2; ++part, ++k) {
                        const double expect = v[in + (size_t)part] * (nn >= js && nn > 0 ? nn * (nn + 1.0) : 1.0);
                        ASSERT_NEAR(ibm(r.rec, b.at + 18 + 4 * k), expect, 1e-6 * std::fabs(expect) + 1e-30);
                    }
        EXPECT_EQ(k, (size_t)(js + 1) * (js + 2));
    }
}

TEST(EncodeRecords, FailureStatusesAndReports)
{
    struct Case {
        const char *what;
        int packing, mode, js, bits;
        std::vector<double> values;
        int status;
        const char *text;
    } cases[] = {
        {"complex with mode 1", 64, 1, 0, 8, std::vector<double>(6, 1.0), 807, "COMPLEX mismatch. isec2[5] = 1"},
        {"simple with mode 2", 0, 2, 0, 8, std::vector<double>(6, 1.0), 807, "COMPLEX mismatch. isec4[3] = 0"},
        {"subset beyond the field", 64, 2, 2, 8, std::vector<double>(6, 1.0), 807, "Unpacked subset J = 2"},
        {"infinite minimum", -1, 0, 0, 8, {-INFINITY, 1.0}, 707, "Minimum value out of range: -inf!"},
        {"not-a-number value", -1, 0, 0, 8, {1, 2, 3, 4, 5, NAN, 7, 8, 9}, 707, "Minimum value out of range: nan!"},
        {"not-a-number and infinity", -1, 0, 0, 8, {1, 2, 3, INFINITY, 5, 6, 7, 8, NAN}, 707,
         "Minimum value out of range: nan!"},
        {"minimum beyond the IBM range", -1, 0, 0, 8, {1e76, 1e76}, 707, "Minimum value out of range: 1e+76!"},
        {"infinite maximum", -1, 0, 0, 8, {1, 2, 3, 4, 5, 6, INFINITY, 8, 9}, 707, "> range inf"},
        {"range too large", -1, 0, 0, 8, {-1e300, 1e300}, 707,
         "Problem calculating binary scale value for encode code 130!"},
        {"40 bits", -1, 0, 0, 40, {1.0, 2.0}, 707, "Unimplemented packing factor 40!"},
        {"negative bits", -1, 0, 0, -3, {1.0, 2.0}, 707, "Unimplemented packing factor -3!"},
    };
    for (const Case &c : cases) {
        Fields<double> f = grid<double>(c.values, c.bits);
        if (c.packing >= 0) {
            f.isec1[4] = 128;
            f.isec2[0] = 50;
            f.isec2[1] = f.isec2[2] = f.isec2[3] = 1;
            f.isec2[5] = c.mode;
            f.isec4[3] = c.packing;
            f.isec4[17] = c.js;
        }
        Result r;
        const std::string err = stderrOf([&] { r = encode(f); });
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_NE(err.find(c.text), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(f.isec0[0], -1) << c.what; // left as they were
        EXPECT_EQ(r.used, -1) << c.what;
        EXPECT_EQ(f.isec4[2], c.packing >= 0 ? 128 : 0) << c.what;
    }
}
