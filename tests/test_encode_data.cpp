// The data section: kinds of data, binary scale search, reference value,
// bit packing at every width, complex packing and the failure statuses.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

extern "C" long memBlocksInUse(void);

using namespace encodeutil;
using testutil::get3;

namespace {

struct Bds {
    size_t at;
    unsigned length, flags, unused, bits;
    int e;
    double ref;
};

Bds bds(const Bytes &rec)
{
    Bds b;
    b.at = layout(rec).bds;
    b.length = get3(rec, b.at);
    b.flags = rec[b.at + 3] & 0xF0;
    b.unused = rec[b.at + 3] & 0x0F;
    const unsigned e = get2(rec, b.at + 4);
    b.e = e & 0x8000 ? -(int)(e & 0x7FFF) : (int)e;
    b.ref = ibm(rec, b.at + 6);
    b.bits = rec[b.at + 10];
    return b;
}

// Reads `count` packed values of `bits` bits starting at octet `from`.
std::vector<uint64_t> unpack(const Bytes &rec, size_t from, size_t count, unsigned bits)
{
    std::vector<uint64_t> out(count, 0);
    size_t bit = from * 8;
    for (size_t i = 0; i < count; ++i)
        for (unsigned k = 0; k < bits; ++k, ++bit) out[i] = out[i] << 1 | (rec[bit / 8] >> (7 - bit % 8) & 1);
    return out;
}

// Reconstructs the values as any decoder does: R + u * 2^E, over 10^D.
std::vector<double> decode(const Bytes &rec, size_t count, int d = 0)
{
    const Bds b = bds(rec);
    const size_t h = b.flags & 0x40 ? 0 : b.flags & 0x80 ? 15 : 11;
    std::vector<double> v;
    for (uint64_t u : unpack(rec, b.at + h, count, b.bits))
        v.push_back((b.ref + (double)u * std::ldexp(1.0, b.e)) / std::pow(10.0, d));
    return v;
}

Fields<double> grid(std::vector<double> values, int bits)
{
    Fields<double> f;
    f.isec1[4] = 0;
    f.fsec4 = values;
    f.isec4[0] = (int)values.size();
    f.isec4[1] = bits;
    return f;
}

} // namespace

TEST(EncodeScale, SmallIntegersAtTwoAndEightBits)
{
    Fields<double> f = grid({0, 1, 2, 3}, 2);
    Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    Bds b = bds(r.rec);
    EXPECT_EQ(b.length, 12u);
    EXPECT_EQ(r.rec[b.at + 3], 0);
    EXPECT_EQ(b.e, 0);
    EXPECT_EQ(b.ref, 0.0);
    EXPECT_EQ(b.bits, 2u);
    EXPECT_EQ(r.rec[b.at + 11], 0x1B);

    f = grid({0, 1, 2, 3}, 8);
    r = encode(f);
    b = bds(r.rec);
    EXPECT_EQ(r.rec[b.at + 4], 0x80);
    EXPECT_EQ(r.rec[b.at + 5], 0x06);
    EXPECT_EQ(b.length, 16u);
    EXPECT_EQ(r.rec[b.at + 3], 8);
    const unsigned char packed[] = {0, 64, 128, 192, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(r.rec[b.at + 11 + i], packed[i]);
}

TEST(EncodeScale, ConstantFieldWithAndWithoutSwitch)
{
    grsdef(); // the environment is applied before the switch is set
    gribSetConst(1);
    Fields<double> f = grid({5, 5, 5, 5, 5}, 16);
    Result r = encode(f);
    Bds b = bds(r.rec);
    EXPECT_EQ(b.bits, 0u);
    EXPECT_EQ(b.e, 0);
    EXPECT_EQ(b.ref, 5.0);
    EXPECT_EQ(b.length, 12u);
    EXPECT_EQ(r.rec[b.at + 3], 8);
    EXPECT_EQ(r.rec[b.at + 11], 0);
    EXPECT_EQ(f.isec4[1], 16); // the request itself is kept

    gribSetConst(0);
    f = grid({5, 5, 5, 5, 5}, 16);
    r = encode(f);
    b = bds(r.rec);
    EXPECT_EQ(b.bits, 16u);
    EXPECT_EQ(b.length, 22u);
    for (uint64_t u : unpack(r.rec, b.at + 11, 5, 16)) EXPECT_EQ(u, 0u);
}

TEST(EncodeScale, TinyMinimumTwelveBitsAndOverflowAtLZero)
{
    Fields<double> f = grid({-1e-40, 0.001}, 16);
    Result r = encode(f);
    Bds b = bds(r.rec);
    EXPECT_EQ(b.e, -25);
    EXPECT_EQ(r.rec[b.at + 4], 0x80);
    EXPECT_EQ(r.rec[b.at + 5], 0x19);

    f = grid({0, 4095, 0x5A5}, 12);
    r = encode(f);
    b = bds(r.rec);
    EXPECT_EQ(b.e, 0);
    EXPECT_EQ(b.length, 16u);
    EXPECT_EQ(b.unused, 4u);
    const unsigned char packed[] = {0x00, 0x0F, 0xFF, 0x5A, 0x50};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(r.rec[b.at + 11 + i], packed[i]) << i;

    // 255.7 rounds to 256 at E = 0; it is kept at the top code, not wrapped.
    f = grid({0, 255.7}, 8);
    r = encode(f);
    b = bds(r.rec);
    EXPECT_EQ(b.e, 0);
    EXPECT_EQ(r.rec[b.at + 12], 255);
}

TEST(EncodeScale, DecimalScalingAndReferenceValue)
{
    Fields<double> f = grid({1.23, 4.56, -7.89, 0.01}, 16);
    f.isec1[22] = 2;
    Result r = encode(f);
    const Bds b = bds(r.rec);
    EXPECT_DOUBLE_EQ(f.fsec4[0], 123.0); // scaled in place
    EXPECT_LE(b.ref, -789.0);
    EXPECT_GT(b.ref, -789.0 - 1e-3);
    const std::vector<double> v = decode(r.rec, 4, 2);
    const double tol = std::ldexp(1.0, b.e) / 2 / 100 + 1e-5;
    EXPECT_NEAR(v[0], 1.23, tol);
    EXPECT_NEAR(v[2], -7.89, tol);
    EXPECT_NEAR(v[3], 0.01, tol);

    // 0.1's nearest IBM neighbour lies above it: the reference goes below.
    f = grid({0.1, 0.2}, 8);
    r = encode(f);
    EXPECT_EQ(bds(r.rec).ref, 0.09999996423721313);
}

// Every width, both entry points: values come back within half a step,
// plus what the reference value lost to its rounding.
TEST(EncodePack, EveryWidthRoundTrips)
{
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> dist(-300.0, 5000.0);
    for (int bits = 1; bits <= 32; ++bits) {
        std::vector<double> values(37);
        for (double &x : values) x = dist(rng);
        values[5] = 5000.0;
        values[9] = -300.0;

        Fields<double> fd = grid(values, bits);
        Result rd = encode(fd);
        ASSERT_EQ(rd.status, 0);
        Fields<float> ff;
        ff.isec1[4] = 0;
        ff.fsec4.assign(values.begin(), values.end());
        ff.isec4[0] = (int)values.size();
        ff.isec4[1] = bits;
        Result rf = encode(ff);
        ASSERT_EQ(rf.status, 0);

        for (const Result *r : {&rd, &rf}) {
            const Bds b = bds(r->rec);
            const uint64_t nbits = (uint64_t)bits * values.size();
            size_t len = 11 + (nbits + 7) / 8;
            len += len % 2;
            ASSERT_EQ(b.length, len) << bits;
            EXPECT_EQ(b.unused, (len - 11) * 8 - nbits) << bits;
            EXPECT_LE(b.ref, -300.0);
            const std::vector<double> v = decode(r->rec, values.size());
            const double tol = std::ldexp(1.0, b.e) / 2 + (-300.0 - b.ref) + 1e-3 * (r == &rf);
            for (size_t i = 0; i < values.size(); ++i)
                ASSERT_NEAR(v[i], values[i], tol * (1 + 1e-9)) << "bits " << bits << " value " << i;
            // The range fills the width: the largest code is near the top.
            const std::vector<uint64_t> u = unpack(r->rec, b.at + 11, values.size(), b.bits);
            EXPECT_GE(u[5], (uint64_t)1 << (bits - 1)) << bits;
            // Bits after the last value are zero.
            for (size_t bit = b.at * 8 + 88 + nbits; bit < (b.at + b.length) * 8; ++bit)
                ASSERT_EQ(r->rec[bit / 8] >> (7 - bit % 8) & 1, 0) << bits;
        }
    }
}

TEST(EncodePack, SpectralSimpleKeepsFirstCoefficient)
{
    Fields<double> f;
    f.isec2[0] = 50;
    f.isec2[1] = f.isec2[2] = f.isec2[3] = 2;
    f.isec2[5] = 1;
    f.fsec4 = {1000.0, 0.0, 1.0, 2.0, 3.0, 0.5, 0.25, -1.0, 1.5, 2.5, -0.5, 0.75};
    f.isec4[0] = 12;
    f.isec4[1] = 8;
    Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    const Bds b = bds(r.rec);
    EXPECT_EQ(b.flags, 128u);
    EXPECT_EQ(r.rec[b.at + 3], 128 + b.unused);
    EXPECT_EQ(ibm(r.rec, b.at + 11), 1000.0);
    EXPECT_EQ(b.ref, -1.0); // 1000 takes no part in the minimum and maximum
    EXPECT_EQ(b.length, 26u); // 15 + 11 values
    EXPECT_EQ(f.isec4[2], 128);
}

TEST(EncodePack, ComplexPackingLayout)
{
    for (int js : {20, 127}) {
        const int t = js == 20 ? 21 : 127;
        Fields<double> f;
        f.isec2[0] = 50;
        f.isec2[1] = f.isec2[2] = f.isec2[3] = t;
        f.isec2[5] = 2;
        const int n = (t + 1) * (t + 2);
        f.fsec4.resize((size_t)n);
        for (int i = 0; i < n; ++i) f.fsec4[(size_t)i] = std::sin(0.37 * i) / (1 + i / 2);
        f.isec4[0] = n;
        f.isec4[1] = 16;
        f.isec4[3] = 64;
        f.isec4[16] = 0; // no spectral scaling, so the subset is the input's
        f.isec4[17] = js;
        const std::vector<double> input = f.fsec4;
        const long blocks = memBlocksInUse();
        Result r = encode(f, n + 20000);
        EXPECT_EQ(memBlocksInUse(), blocks);
        ASSERT_EQ(r.status, 0);
        const Bds b = bds(r.rec);
        const size_t first = (size_t)(js + 1) * (js + 2);
        const size_t h = 18 + 4 * first;
        EXPECT_EQ(b.flags, 192u);
        EXPECT_EQ(r.rec[b.at + 15], js);
        EXPECT_EQ(r.rec[b.at + 16], js);
        EXPECT_EQ(r.rec[b.at + 17], js);
        EXPECT_EQ(get2(r.rec, b.at + 11), b.at + h < 65536 ? b.at + h : 0u);
        size_t len = h + 2 * ((size_t)n - first);
        EXPECT_EQ(b.length, len + len % 2);
        // The subset in its own order: (m, n <= js), m outer.
        size_t k = 0, in = 0;
        for (int m = 0; m <= t; ++m)
            for (int nn = m; nn <= t; ++nn, in += 2)
                if (nn <= js) {
                    ASSERT_NEAR(ibm(r.rec, b.at + 18 + 4 * k), input[in], 1e-6 * std::fabs(input[in]) + 1e-30);
                    k += 2;
                }
        EXPECT_EQ(k, first);
    }
    EXPECT_EQ(18 + 4 * 462, 1866);
}

TEST(EncodePack, ComplexScalingPowerIsWritten)
{
    Fields<float> f;
    f.isec2[0] = 50;
    f.isec2[1] = f.isec2[2] = f.isec2[3] = 3;
    f.isec2[5] = 2;
    f.fsec4.assign(20, 1.0f);
    f.isec4[0] = 20;
    f.isec4[1] = 12;
    f.isec4[3] = 64;
    f.isec4[16] = -500;
    f.isec4[17] = 1;
    Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    const Bds b = bds(r.rec);
    EXPECT_EQ(get2(r.rec, b.at + 13), 0x8000u + 500u);
    // (0,1) is scaled by 2^-0.5 before it is stored unpacked.
    EXPECT_NEAR(ibm(r.rec, b.at + 18 + 8), 1.0 / std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(ibm(r.rec, b.at + 18), 1.0, 1e-7);
}

TEST(EncodeFailures, StatusesAndReports)
{
    struct Case {
        const char *what;
        int packing, mode, bits;
        std::vector<double> values;
        int status;
        const char *text;
    } cases[] = {
        {"complex with mode 1", 64, 1, 8, std::vector<double>(6, 1.0), 807, "COMPLEX mismatch. isec2[5] = 1"},
        {"simple with mode 2", 0, 2, 8, std::vector<double>(6, 1.0), 807, "COMPLEX mismatch. isec4[3] = 0"},
        {"subset beyond field", 64, 2, 8, std::vector<double>(6, 1.0), 807, "Unpacked subset"},
        {"infinite minimum", -1, 0, 8, {-INFINITY, 1.0}, 707, "Minimum value out of range: -inf!"},
        {"not-a-number value", -1, 0, 8, {1.0, NAN, 2.0}, 707, "Minimum value out of range"},
        {"range too large", -1, 0, 8, {-1e300, 1e300}, 707, "Problem calculating binary scale value for encode code 130!"},
        {"40 bits", -1, 0, 40, {1.0, 2.0}, 707, "Unimplemented packing factor 40!"},
        {"negative bits", -1, 0, -3, {1.0, 2.0}, 707, "Unimplemented packing factor -3!"},
    };
    for (const Case &c : cases) {
        Fields<double> f;
        if (c.packing >= 0) {
            f.isec2[0] = 50;
            f.isec2[1] = f.isec2[2] = f.isec2[3] = 1;
            f.isec2[5] = c.mode;
            f.isec4[3] = c.packing;
            f.isec4[17] = std::string(c.what) == "subset beyond field" ? 2 : 0;
        } else {
            f.isec1[4] = 0;
        }
        f.fsec4 = c.values;
        f.isec4[0] = (int)c.values.size();
        f.isec4[1] = c.bits;
        testing::internal::CaptureStderr();
        Result r = encode(f);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_NE(err.find(c.text), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(f.isec0[0], -1) << c.what; // left as it was
        EXPECT_EQ(r.used, -1) << c.what;
        if (c.packing >= 0) {
            EXPECT_EQ(f.isec4[2], 128);
        }
    }
}

TEST(EncodeTwins, FloatAndDoubleAgreeOnExactValues)
{
    Fields<double> fd;
    Fields<float> ff;
    fd.isec1[4] = ff.isec1[4] = 192;
    fd.fsec3[1] = ff.fsec3[1] = -1;
    std::vector<double> values;
    for (int i = 0; i < 100; ++i) values.push_back(i % 7 == 0 ? -1 : 0.25 * i);
    fd.fsec4 = values;
    ff.fsec4.assign(values.begin(), values.end());
    fd.isec4[0] = ff.isec4[0] = 100;
    fd.isec4[1] = ff.isec4[1] = 16;
    fd.isec2[0] = ff.isec2[0] = 10;
    fd.fsec2[0] = 0.5;
    ff.fsec2[0] = 0.5f;
    const Result rd = encode(fd), rf = encode(ff);
    ASSERT_EQ(rd.status, 0);
    EXPECT_EQ(rd.rec, rf.rec);
    EXPECT_EQ(fd.isec0[0], ff.isec0[0]);
}

TEST(EncodeTwins, NoGridDescriptionTakesKindFromIsec4)
{
    Fields<double> f;
    f.isec1[4] = 0;
    f.withGds = false;
    f.fsec4 = {7.0, 1.0, 2.0, 3.0};
    f.isec4[0] = 4;
    f.isec4[2] = 128;
    Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(bds(r.rec).flags, 128u);
    EXPECT_EQ(ibm(r.rec, bds(r.rec).at + 11), 7.0);

    f = Fields<double>();
    f.isec1[4] = 0;
    f.withGds = false;
    f.fsec4 = {7.0, 1.0, 2.0, 3.0};
    f.isec4[0] = 4;
    f.isec4[2] = 128;
    f.isec4[3] = 64; // subset J = 0: two values unpacked
    r = encode(f);
    ASSERT_EQ(r.status, 0);
    const Bds b = bds(r.rec);
    EXPECT_EQ(b.flags, 192u);
    EXPECT_EQ(ibm(r.rec, b.at + 18), 7.0);
    EXPECT_EQ(ibm(r.rec, b.at + 22), 1.0);
    EXPECT_EQ(b.ref, 2.0);
}
