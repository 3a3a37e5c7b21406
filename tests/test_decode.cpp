// The decoder as the inverse of the encoder: records written from random
// section arrays decode to the arrays that went in, with every status the
// decoder documents, records of other producers built octet by octet, and
// many records decoded at once on several threads.
#include "encode_util.h"
#include "record_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

using namespace encodeutil;
using testutil::Bytes;

namespace {

// Arrays sized as valmora.h offers them, for one call of either twin.
template <typename T> struct Decoded {
    std::vector<int> isec0 = std::vector<int>(VALMORA_ISEC0_SIZE), isec1 = std::vector<int>(VALMORA_ISEC1_SIZE);
    std::vector<int> isec2 = std::vector<int>(VALMORA_ISEC2_SIZE), isec3 = std::vector<int>(VALMORA_ISEC3_SIZE, -7);
    std::vector<int> isec4 = std::vector<int>(VALMORA_ISEC4_SIZE);
    std::vector<T> fsec2 = std::vector<T>(VALMORA_FSEC2_SIZE), fsec3 = std::vector<T>(VALMORA_FSEC3_SIZE);
    std::vector<T> fsec4;
    size_t n2 = 0, nf2 = 0, n4 = 0;
    int status = -99;

    int run(const Bytes &rec, bool values = true, size_t len = SIZE_MAX)
    {
        n2 = isec2.size(), nf2 = fsec2.size(), n4 = fsec4.size();
        status = call(rec.data(), len == SIZE_MAX ? rec.size() : len, values);
        return status;
    }
    // Headers first, then the values into an array of the size asked for.
    int full(const Bytes &rec, T missing = 0)
    {
        fsec3[1] = missing;
        fsec4.clear();
        if (run(rec, false) < 0) return status;
        fsec4.assign(n4, (T)-12345);
        return run(rec);
    }
    int call(const unsigned char *p, size_t len, bool values);
};

template <> int Decoded<double>::call(const unsigned char *p, size_t len, bool values)
{
    return grib_decode_double(p, len, isec0.data(), isec1.data(), isec2.data(), &n2, fsec2.data(), &nf2,
                              isec3.data(), fsec3.data(), isec4.data(), values ? fsec4.data() : nullptr, &n4);
}
template <> int Decoded<float>::call(const unsigned char *p, size_t len, bool values)
{
    return grib_decode_float(p, len, isec0.data(), isec1.data(), isec2.data(), &n2, fsec2.data(), &nf2,
                             isec3.data(), fsec3.data(), isec4.data(), values ? fsec4.data() : nullptr, &n4);
}

template <typename T> class DecodeRoundTrip : public testing::Test {};
using Types = testing::Types<double, float>;
TYPED_TEST_SUITE(DecodeRoundTrip, Types);

enum Kind { LatLon, Gaussian, Rotated, Lambert, Triangular, Reduced, SpectralSimple, SpectralComplex, Kinds };

// A random record description of the given kind and width.
template <typename T> void describe(Fields<T> &f, Kind kind, int bits, std::mt19937 &rng)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    f.isec1[5] = pick(1, 254), f.isec1[6] = pick(0, 1) ? 100 : 109, f.isec1[7] = pick(1, 1000);
    f.isec1[22] = pick(-2, 3);
    f.isec1[4] = 128;
    const int ni = pick(2, 40), nj = pick(2, 30);
    const int g[11] = {0, ni, nj, pick(-90000, 90000), pick(-180000, 180000), 128, pick(-90000, 90000),
                       pick(-180000, 180000), pick(1, 9000), pick(1, 9000), pick(0, 1) * 64};
    std::copy(g, g + 11, f.isec2.begin());
    if (pick(0, 2) == 0) {
        f.isec2[11] = pick(1, 6);
        for (int i = 0; i < f.isec2[11]; ++i) f.fsec2[10 + i] = (T)(pick(-100000, 100000) / 64.0);
    }
    size_t count = (size_t)ni * nj;
    switch (kind) {
    case Gaussian: f.isec2[0] = 4, f.isec2[9] = nj / 2 + 1; break;
    case Rotated: f.isec2[0] = 10, f.isec2[12] = pick(-90000, 0), f.isec2[13] = pick(0, 360000), f.fsec2[0] = (T)pick(-90, 90); break;
    case Lambert: f.isec2[0] = 3, f.isec2[12] = 128, f.isec2[13] = 25000, f.isec2[14] = 35000, f.isec2[19] = -90000, f.isec2[20] = 5000; break;
    case Triangular: f.isec2[0] = 192, f.isec2[3] = 10, f.isec2[4] = 32, f.isec2[9] = 1; break;
    case Reduced: {
        f.isec2[0] = 4, f.isec2[16] = 1, f.isec2[5] = 0, f.isec2[9] = nj / 2;
        count = 0;
        for (int j = 0; j < nj; ++j) count += (size_t)(f.isec2[22 + j] = pick(4, 30));
        break;
    }
    case SpectralSimple:
    case SpectralComplex: {
        const int t = pick(1, 30);
        const int s[6] = {50, t, t, t, 1, kind == SpectralComplex ? 2 : 1};
        std::copy(s, s + 6, f.isec2.begin());
        f.isec2[11] = 0;
        count = (size_t)(t + 1) * (t + 2);
        f.isec4[3] = kind == SpectralComplex ? 64 : 0;
        f.isec4[16] = pick(-1000, 2000), f.isec4[17] = pick(0, t);
        break;
    }
    default: break;
    }
    const double base = pick(-3000, 3000), amp = std::ldexp(1.0, pick(-8, 12));
    std::vector<double> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = base + amp * std::sin(0.37 * (double)i + base) * std::cos(0.011 * (double)i);
    f.values(v);
    f.isec4[1] = bits;
    if (kind != SpectralSimple && kind != SpectralComplex && pick(0, 3) == 0) {
        f.isec1[4] = 192, f.fsec3[1] = (T)-9999;
        for (size_t i = 0; i < count; ++i)
            if (pick(0, 9) == 0) f.fsec4[i] = (T)-9999;
    }
}

} // namespace

TYPED_TEST(DecodeRoundTrip, RandomRecordsGiveBackTheirArrays)
{
    using T = TypeParam;
    std::mt19937 rng(20241209);
    for (int trial = 0; trial < 400; ++trial) {
        const Kind kind = (Kind)(trial % Kinds);
        const int bits = 1 + trial / Kinds % 32;
        Fields<T> f;
        describe(f, kind, bits, rng);
        const Fields<T> in = f; // the encoder rewrites fsec4
        const Result r = encode(f);
        ASSERT_EQ(r.status, 0) << trial;
        Decoded<T> d;
        ASSERT_EQ(d.full(r.rec, (T)-9999), 0) << trial;
        SCOPED_TRACE(testing::Message() << "trial " << trial << " kind " << kind << " bits " << bits);

        EXPECT_EQ(d.isec0[0], (int)get3(r.rec, 4));
        EXPECT_EQ(d.isec0[1], 1);
        for (int i = 0; i <= 22; ++i) {
            if (i != 8 || in.isec1[6] != 100) {
                EXPECT_EQ(d.isec1[i], in.isec1[i]) << "isec1 " << i;
            }
        }
        // Elements each layout carries.
        std::vector<int> carried = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        if (kind == Rotated) carried.insert(carried.end(), {12, 13});
        if (kind == Lambert) carried = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 19, 20};
        if (kind == Triangular) carried = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11};
        if (kind == Reduced) carried = {0, 2, 3, 4, 5, 6, 7, 9, 10, 11, 16};
        if (kind == SpectralSimple || kind == SpectralComplex) carried = {0, 1, 2, 3, 4, 5, 11};
        for (int i : carried) EXPECT_EQ(d.isec2[i], in.isec2[i]) << "isec2 " << i;
        for (int j = 0; kind == Reduced && j < in.isec2[2]; ++j) EXPECT_EQ(d.isec2[22 + j], in.isec2[22 + j]);
        EXPECT_EQ(d.n2, (size_t)(22 + (kind == Reduced ? in.isec2[2] : 0)));
        EXPECT_EQ(d.nf2, (size_t)(10 + in.isec2[11]));
        for (int i = 0; i < in.isec2[11]; ++i) EXPECT_NEAR(d.fsec2[10 + i], in.fsec2[10 + i], 1e-6 * std::fabs(in.fsec2[10 + i]));
        if (kind == Rotated) {
            EXPECT_EQ(d.fsec2[0], in.fsec2[0]);
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(d.isec4[i], f.isec4[i]) << "isec4 " << i;
        for (int i = 16; kind == SpectralComplex && i <= 19; ++i) EXPECT_EQ(d.isec4[i], i == 16 ? in.isec4[16] : in.isec4[17]);
        ASSERT_EQ(d.fsec4.size(), in.fsec4.size());

        // Half a step plus the reference value's distance below the minimum;
        // a whole step where the scale search ends at E = 0 and the largest
        // value may round one past the top code.
        const Bds b = bds(r.rec);
        const double dec = std::pow(10.0, -in.isec1[22]);
        double fmin = INFINITY, vmax = 0;
        const bool bitmap = in.isec1[4] & 64;
        for (size_t i = kind == SpectralSimple ? 1 : 0; i < in.fsec4.size(); ++i)
            if (!bitmap || in.fsec4[i] != (T)-9999) {
                fmin = std::min(fmin, (double)in.fsec4[i] / dec);
                vmax = std::max(vmax, std::fabs((double)in.fsec4[i]));
            }
        double tol = (std::ldexp(1.0, b.e) / (b.e == 0 ? 1 : 2) + (kind == SpectralComplex ? 0 : std::max(0.0, fmin - b.ref))) * dec * 1.0000001;
        if (kind == SpectralComplex) {
            // Unscaling by (n(n+1))^-P grows the step for a negative P.
            const double t = in.isec2[1], p = in.isec4[16] / 1000.0;
            tol = (tol + std::ldexp(std::fabs(b.ref) * dec, -20)) * (p < 0 ? std::pow(t * (t + 1), -p) : 1.0);
        }
        tol += vmax * (sizeof(T) == 4 ? 3e-7 : 1e-12) + (kind == SpectralSimple ? vmax * 1e-6 : 0);
        for (size_t i = 0; i < d.fsec4.size(); ++i) {
            if (bitmap && in.fsec4[i] == (T)-9999) {
                ASSERT_EQ(d.fsec4[i], (T)-9999) << i;
            } else {
                const double want = in.fsec4[i];
                const double slack = kind == SpectralComplex ? std::fabs(want) * 2e-6 : 0;
                ASSERT_NEAR(d.fsec4[i], want, tol + slack) << i;
            }
        }
    }
}

TYPED_TEST(DecodeRoundTrip, ConstantFieldsAndLargeForm)
{
    using T = TypeParam;
    Fields<T> f;
    f.values(std::vector<double>(4, 5.0));
    gribSetConst(1);
    Result r = encode(f);
    gribSetConst(0);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.rec[f.isec0[0] > 0 ? layout(r.rec).bds + 10 : 0], 0); // no bits: a constant field
    Decoded<T> d;
    ASSERT_EQ(d.full(r.rec), 0);
    EXPECT_EQ(d.isec4[0], 4);
    EXPECT_EQ(d.isec4[1], 0);
    EXPECT_EQ(d.fsec4, std::vector<T>(4, (T)5.0));

    // Past 16 MB the record takes the large form.
    Fields<T> big;
    const int g[10] = {0, 2049, 2047, 90000, 0, 0, -90000, 359824, 0, 0};
    std::copy(g, g + 10, big.isec2.begin());
    std::vector<double> v(4194303);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (double)(i % 1000);
    big.values(v);
    big.isec4[1] = 32;
    r = encode(big);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.rec[4] & 0x80, 0x80);
    ASSERT_EQ(d.full(r.rec), 0);
    ASSERT_EQ(d.fsec4.size(), v.size());
    for (size_t i = 0; i < v.size(); i += 4099) ASSERT_EQ(d.fsec4[i], (T)v[i]) << i;
}

// ---- Statuses ------------------------------------------------------------------

namespace {

Bytes sampleRecord(int bits = 12, bool bitmap = false)
{
    Fields<double> f;
    const int g[10] = {0, 30, 20, 90000, 0, 128, -90000, 348000, 12000, 9000};
    std::copy(g, g + 10, f.isec2.begin());
    std::vector<double> v(600);
    for (size_t i = 0; i < v.size(); ++i) v[i] = 270 + 10 * std::sin(0.1 * (double)i);
    f.values(v);
    f.isec4[1] = bits;
    if (bitmap) {
        f.isec1[4] = 192;
        f.fsec3[1] = -1;
        for (size_t i = 0; i < v.size(); i += 7) f.fsec4[i] = -1;
    }
    return encode(f).rec;
}

} // namespace

TEST(Decode, CapacitiesAreNeverPassed)
{
    const Bytes rec = sampleRecord();
    Decoded<double> d;
    // Headers only: the sizes come back, fsec4 is not touched.
    ASSERT_EQ(d.run(rec, false), 0);
    EXPECT_EQ(d.n4, 600u);
    EXPECT_EQ(d.isec4[0], 600);
    EXPECT_EQ(d.n2, 22u);
    EXPECT_EQ(d.nf2, 10u);

    // One value short: nothing written, the size needed returned.
    d.fsec4.assign(600, -5.0);
    std::vector<double> guard(d.fsec4);
    d.fsec4.resize(599);
    ASSERT_EQ(d.run(rec), VALMORA_DECODE_NO_ROOM);
    EXPECT_EQ(d.n4, 600u);
    EXPECT_TRUE(std::all_of(d.fsec4.begin(), d.fsec4.end(), [](double x) { return x == -5.0; }));

    // isec2 and fsec2 too small.
    d.fsec4.assign(600, 0);
    d.isec2.assign(21, -3);
    ASSERT_EQ(d.run(rec), VALMORA_DECODE_NO_ROOM);
    EXPECT_EQ(d.n2, 22u);
    EXPECT_TRUE(std::all_of(d.isec2.begin(), d.isec2.end(), [](int x) { return x == -3; }));
    d.isec2.assign(22, 0);
    d.fsec2.assign(9, 0);
    ASSERT_EQ(d.run(rec), VALMORA_DECODE_NO_ROOM);
    EXPECT_EQ(d.nf2, 10u);
    d.fsec2.assign(10, 0);
    ASSERT_EQ(d.run(rec), 0);
    EXPECT_EQ(d.isec2[1], 30);
}

TEST(Decode, HeadersAloneWithoutTheGrid)
{
    const Bytes rec = sampleRecord(16, true);
    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec3[VALMORA_ISEC3_SIZE] = {0, 0};
    int isec4[VALMORA_ISEC4_SIZE];
    double fsec3[VALMORA_FSEC3_SIZE] = {0, -1};
    size_t n4 = 0;
    ASSERT_EQ(grib_decode_double(rec.data(), rec.size(), isec0, isec1, nullptr, nullptr, nullptr, nullptr, isec3, fsec3,
                                 isec4, nullptr, &n4),
              0);
    EXPECT_EQ(n4, 600u);
    EXPECT_EQ(isec4[0], 600);
    EXPECT_EQ(isec4[20], 514); // present: all but every seventh point
    EXPECT_EQ(isec1[4], 192);
    // A fixed array missing has no room.
    EXPECT_EQ(grib_decode_double(rec.data(), rec.size(), isec0, nullptr, nullptr, nullptr, nullptr, nullptr, isec3,
                                 fsec3, isec4, nullptr, &n4),
              VALMORA_DECODE_NO_ROOM);
}

TEST(Decode, DamagedAndTruncatedRecords)
{
    const Bytes rec = sampleRecord();
    Decoded<double> d;
    d.fsec4.assign(600, 0);
    const size_t len = get3(rec, 4);
    recutil::stderrOf([&] {
        EXPECT_EQ(d.run(rec, true, len - 1), VALMORA_DECODE_TRUNCATED);
        Bytes other = rec;
        other[0] = 'X';
        EXPECT_EQ(d.run(other), VALMORA_DECODE_NOT_GRIB1);
        other = rec;
        other[len - 1] = '6';
        EXPECT_EQ(d.run(other), VALMORA_DECODE_DAMAGED);
        // A data section that holds fewer values than its bit map marks.
        const Bytes mapped = sampleRecord(12, true);
        other = mapped;
        const size_t bmsAt = layout(other).bms;
        for (size_t i = bmsAt + 6; i < layout(other).bds; ++i) other[i] = 0xFF;
        EXPECT_EQ(d.run(other), VALMORA_DECODE_DAMAGED);
        // A grid description too short for its vertical coordinates.
        other = rec;
        other[layout(other).gds + 3] = 200;
        EXPECT_EQ(d.run(other), VALMORA_DECODE_DAMAGED);
    });
}

TEST(Decode, UnsupportedPackingsAreNamed)
{
    Decoded<double> d;
    d.fsec4.assign(600, 7.0);
    struct Case {
        const char *what;
        std::function<void(Bytes &)> change;
    };
    const Case cases[] = {
        {"second-order packing", [](Bytes &r) { r[layout(r).bds + 3] |= 0x40; }},
        {"matrix values", [](Bytes &r) { r[layout(r).bds + 3] |= 0x10; r[layout(r).bds + 13] = 64; }},
        {"predefined bit map", [](Bytes &r) { r[layout(r).bms + 5] = 3; }},
    };
    for (const Case &c : cases) {
        Bytes rec = sampleRecord(12, true);
        c.change(rec);
        const std::string err = recutil::stderrOf([&] { EXPECT_EQ(d.run(rec), VALMORA_DECODE_UNSUPPORTED) << c.what; });
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
        EXPECT_EQ(d.isec4[0] > 0, true); // headers are filled
        EXPECT_EQ(d.fsec4[0], 7.0);      // values are not
    }
}

TEST(Decode, PackedRecordsAndTheirCheck)
{
    for (int bits : {8, 16, 24, 32}) {
        const Bytes plain = sampleRecord(bits, bits == 16);
        Bytes packed = plain, work(plain.size() + 1000);
        packed.resize(plain.size() + 1000);
        packed.resize((size_t)recPack(packed.data(), packed.size(), work.data(), work.size()));
        size_t before = 0;
        ASSERT_EQ(gribGetZip((long)packed.size(), packed.data(), &before), 128) << bits;
        Decoded<double> a, b;
        ASSERT_EQ(a.full(plain, -1), 0);
        ASSERT_EQ(b.full(packed, -1), 0);
        EXPECT_EQ(b.isec1, a.isec1);
        EXPECT_EQ(b.isec4, a.isec4) << "a packed record reads as the record before";
        ASSERT_EQ(b.fsec4.size(), a.fsec4.size());
        EXPECT_EQ(memcmp(b.fsec4.data(), a.fsec4.data(), a.fsec4.size() * sizeof(double)), 0) << bits;

        // A stored check that disagrees: no values.
        const size_t at = layout(packed).bds;
        Bytes bad = packed;
        bad[at + 12] ^= 1;
        b.fsec4.assign(a.fsec4.size(), 3.0);
        recutil::stderrOf([&] { EXPECT_EQ(b.run(bad), VALMORA_DECODE_CHECK_MISMATCH) << bits; });
        EXPECT_EQ(b.fsec4[0], 3.0);
        // A compressed length past the section: damaged.
        bad = packed;
        bad[at + 20] = 0x7F;
        recutil::stderrOf([&] { EXPECT_EQ(b.run(bad), VALMORA_DECODE_DAMAGED) << bits; });
    }
}

// ---- Records of other producers, built octet by octet ----------------------------

namespace {

Bytes pdsOf(size_t length, int centre)
{
    Bytes pds(length, 0);
    pds[3] = length > 24 ? 3 : 0; // edition 0 has no table version here
    pds[4] = (unsigned char)centre, pds[8] = 11, pds[9] = 1, pds[12] = 99, pds[13] = 12, pds[14] = 31;
    if (length >= 28) pds[24] = 20, pds[27] = 1; // D = 1
    return pds;
}

Bytes gdsOf(int type, size_t length)
{
    Bytes gds(length, 0);
    gds[4] = 255, gds[5] = (unsigned char)type;
    gds[6] = 0, gds[7] = 4, gds[8] = 0, gds[9] = 3; // 4 x 3
    return gds;
}

} // namespace

TEST(Decode, GridTypesOfOtherProducers)
{
    const std::vector<uint32_t> codes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Decoded<double> d;
    // Polar stereographic: its flag octet goes where the printer reads it.
    Bytes g = gdsOf(5, 32);
    g[16] = 0x88, g[17] = 0x01, g[18] = 0x5F, g[19] = 0x90, g[26] = 128, g[27] = 64;
    Bytes rec = testutil::grib1(pdsOf(28, 7), g, {}, testutil::simpleBds(codes, 4));
    ASSERT_EQ(d.full(rec), 0);
    EXPECT_EQ(d.isec2[0], 5);
    EXPECT_EQ(d.isec2[1], 4);
    EXPECT_EQ(d.isec2[6], 90000);
    EXPECT_EQ(d.isec2[17], 0x88);
    EXPECT_EQ(d.isec2[12], 128);
    EXPECT_EQ(d.isec2[10], 64);
    ASSERT_EQ(d.fsec4.size(), 12u);
    EXPECT_DOUBLE_EQ(d.fsec4[11], 1.1);
    EXPECT_EQ(d.isec1[22], 1);

    // Rotated and stretched Gaussian: both blocks, in that order.
    g = gdsOf(34, 52);
    g[26] = 2;
    g[32] = 0x80, g[34] = 10; // southern pole latitude -10
    g[38] = 65, g[39] = 0x10; // angle 1.0 (IBM)
    g[47] = 20;               // stretching pole longitude 20
    g[48] = 65, g[49] = 0x20; // factor 2.0 (IBM)
    rec = testutil::grib1(pdsOf(28, 7), g, {}, testutil::simpleBds(codes, 4));
    ASSERT_EQ(d.full(rec), 0);
    EXPECT_EQ(d.isec2[0], 34);
    EXPECT_EQ(d.isec2[9], 2);
    EXPECT_EQ(d.isec2[12], -10);
    EXPECT_EQ(d.fsec2[0], 1.0);
    EXPECT_EQ(d.isec2[15], 20);
    EXPECT_EQ(d.fsec2[1], 2.0);
    for (int t : {14, 24}) {
        rec = testutil::grib1(pdsOf(28, 7), gdsOf(t, 42), {}, testutil::simpleBds(codes, 4));
        EXPECT_EQ(d.full(rec), 0) << t;
        EXPECT_EQ(d.isec2[0], t);
    }

    // Mercator has no layout: values decoded, the type alone, its own status.
    rec = testutil::grib1(pdsOf(28, 7), gdsOf(1, 42), {}, testutil::simpleBds(codes, 4));
    d.isec2.assign(VALMORA_ISEC2_SIZE, 9);
    ASSERT_EQ(d.full(rec), VALMORA_DECODE_GRID_NOT_DECODED);
    EXPECT_EQ(d.isec2[0], 1);
    EXPECT_EQ(d.isec2[1], 0);
    ASSERT_EQ(d.fsec4.size(), 12u);
    EXPECT_DOUBLE_EQ(d.fsec4[3], 0.3);
}

// Found against another decoder: a constant field on a grid without a
// layout here, a space view without its reserved octets, a bit map with
// more unused bits than a map can have, spectral data short of a value.
TEST(Decode, GridCountsShortSpaceViewMapUnusedBitsAndShortSpectralData)
{
    const std::vector<uint32_t> codes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Decoded<double> d;
    for (int t : {1, 8}) {
        Bytes bds(12, 0); // no bits: every value the reference
        bds[6] = 65, bds[7] = 0x20; // R = 2.0 (IBM)
        const Bytes rec = testutil::grib1(pdsOf(28, 7), gdsOf(t, 42), {}, bds);
        ASSERT_EQ(d.full(rec), VALMORA_DECODE_GRID_NOT_DECODED) << t;
        ASSERT_EQ(d.fsec4.size(), 12u) << t;
        EXPECT_DOUBLE_EQ(d.fsec4[11], 0.2) << t; // D = 1
    }

    Bytes g = gdsOf(90, 38);
    g[35] = 7, g[37] = 9; // Xo, Yo
    Bytes rec = testutil::grib1(pdsOf(28, 7), g, {}, testutil::simpleBds(codes, 4));
    ASSERT_EQ(d.full(rec), 0);
    EXPECT_EQ(d.isec2[0], 90);
    EXPECT_EQ(d.isec2[1], 4);
    EXPECT_EQ(d.isec2[14], 7);
    EXPECT_EQ(d.isec2[15], 9);
    ASSERT_EQ(d.fsec4.size(), 12u);
    rec = testutil::grib1(pdsOf(28, 7), gdsOf(90, 36), {}, testutil::simpleBds(codes, 4));
    recutil::stderrOf([&] { EXPECT_EQ(d.full(rec), VALMORA_DECODE_DAMAGED); });

    // Twelve points in two octets: 4 unused bits, or a count no map has.
    Bytes bms(8, 0);
    bms[6] = 0xFF, bms[7] = 0xF0;
    for (unsigned unused : {4u, 20u}) {
        bms[3] = (unsigned char)unused;
        rec = testutil::grib1(pdsOf(28, 7), gdsOf(0, 32), bms, testutil::simpleBds(codes, 4));
        recutil::stderrOf([&] { d.full(rec); });
        EXPECT_EQ(d.status, unused == 4 ? 0 : VALMORA_DECODE_DAMAGED) << unused;
    }

    // J = 3 needs 20 coefficients: the mean and 19 packed, or one short.
    g = Bytes(32, 0);
    g[4] = 255, g[5] = 50, g[7] = 3, g[9] = 3, g[11] = 3;
    for (size_t packed : {19u, 18u}) {
        const size_t length = 15 + packed + (packed % 2);
        Bytes bds(length, 0);
        bds[3] = 0x80 | (packed % 2 ? 8 : 0), bds[10] = 8;
        for (size_t i = 0; i < packed; ++i) bds[15 + i] = (unsigned char)i;
        rec = testutil::grib1(pdsOf(28, 7), g, {}, bds);
        recutil::stderrOf([&] { d.full(rec); });
        EXPECT_EQ(d.status, packed == 19 ? 0 : VALMORA_DECODE_DAMAGED) << packed;
    }
}

TEST(Decode, EditionZeroIntegerDataAndUnknownExtensions)
{
    const std::vector<uint32_t> codes = {5, 6, 7, 8};
    // Edition 0: the indicator has no length, the PDS 24 octets.
    Bytes pds = pdsOf(24, 7);
    Bytes bds = testutil::simpleBds(codes, 8);
    bds[3] |= 0x20; // integer data
    Bytes rec = {'G', 'R', 'I', 'B'};
    testutil::put3(pds, 0, 24);
    testutil::put3(bds, 0, (uint32_t)bds.size());
    rec.insert(rec.end(), pds.begin(), pds.end());
    rec.insert(rec.end(), bds.begin(), bds.end());
    rec.insert(rec.end(), {'7', '7', '7', '7'});
    Decoded<float> d;
    ASSERT_EQ(d.full(rec), 0);
    EXPECT_EQ(d.isec0[1], 0);
    EXPECT_EQ(d.isec0[0], (int)rec.size());
    EXPECT_EQ(d.isec1[1], 7);
    EXPECT_EQ(d.isec1[20], 0); // no century octet
    EXPECT_EQ(d.isec1[22], 0);
    EXPECT_EQ(d.isec4[4], 32);
    EXPECT_EQ(d.fsec4, (std::vector<float>{5, 6, 7, 8}));

    // A local extension the arrays do not describe is skipped.
    pds = pdsOf(328, 98);
    pds[40] = 2;
    for (size_t i = 41; i < pds.size(); ++i) pds[i] = 0xAB;
    rec = testutil::grib1(pds, {}, {}, testutil::simpleBds(codes, 8));
    ASSERT_EQ(d.full(rec), 0);
    EXPECT_EQ(d.isec1[23], 0);
    EXPECT_EQ(d.isec1[36], 0);
    EXPECT_EQ(d.isec1[1], 98);
    ASSERT_EQ(d.fsec4.size(), 4u);
    EXPECT_FLOAT_EQ(d.fsec4[0], 0.5f);
}

TEST(Decode, LocalExtensionsComeBack)
{
    struct Ext {
        int centre, def, length;
    };
    for (const Ext &e : {Ext{98, 1, 52}, Ext{78, 254, 54}, Ext{250, 253, 66}, Ext{252, 1, 46}}) {
        Fields<double> f;
        f.isec1[1] = e.centre, f.isec1[23] = 1, f.isec1[36] = e.def;
        for (int i = 24; i <= 56; ++i)
            if (i != 36) f.isec1[i] = i + 3;
        if (e.centre == 98) memcpy(&f.isec1[40], "ab01", 4);
        f.isec1[49] = 1;
        const Fields<double> in = f;
        const Result r = encode(f);
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(get3(r.rec, 8), (unsigned)e.length);
        Decoded<double> d;
        ASSERT_EQ(d.full(r.rec), 0);
        const int last = e.centre == 98 ? 42 : e.centre == 252 ? 39 : e.def == 254 ? 49 : 56;
        for (int i = 23; i <= last; ++i) EXPECT_EQ(d.isec1[i], in.isec1[i]) << e.centre << " " << i;
    }
}

// ---- Threads -----------------------------------------------------------------------

TEST(DecodeThreads, ManyRecordsAtOnce)
{
    std::vector<Bytes> records;
    std::vector<std::vector<double>> expected;
    for (int bits : {8, 12, 16, 24, 32})
        for (bool bitmap : {false, true}) {
            records.push_back(sampleRecord(bits, bitmap));
            Decoded<double> d;
            EXPECT_EQ(d.full(records.back(), -1), 0);
            expected.push_back(d.fsec4);
        }
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                for (size_t i = 0; i < records.size(); ++i) {
                    Decoded<double> d;
                    if (d.full(records[(i + (size_t)t) % records.size()], -1) != 0 ||
                        d.fsec4 != expected[(i + (size_t)t) % records.size()])
                        ++failures[(size_t)t];
                }
        });
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
