// IBM single precision: the rounding rules of confp3, decfp2's decoding,
// ref2ibm never above its input, overflow and the values below the range.
// The property tests work out the expected IBM neighbours exactly from the
// binary exponent of the input (powers of two scale doubles exactly), with
// no logarithms and without calling the code under test.
#include "record_util.h"

#include <cmath>
#include <random>

using recutil::contains;
using recutil::stderrOf;

namespace {

struct Ibm {
    int exp; // exponent octet, sign included
    int mant;
};

Ibm convert(double x, int type)
{
    Ibm r{-1, -1};
    confp3(x, &r.exp, &r.mant, 32, type);
    return r;
}

// The IBM exponent k with 16^(k-1) <= |x| < 16^k, and the exact scaled
// magnitude |x| * 2^(24 - 4k), which lies in [2^20, 2^24).
struct Scaled {
    int k;
    double m;
};

Scaled scaled(double x)
{
    int p;
    (void)frexp(x, &p); // |x| in [2^(p-1), 2^p)
    int q = p - 1;
    int k = (q >= 0 ? q / 4 : -((-q + 3) / 4)) + 1;
    return {k, ldexp(fabs(x), 24 - 4 * k)};
}

// An IBM value from a whole mantissa at exponent k, normalising 2^24.
struct Expect {
    int exp;
    long mant;
    double value;
};

Expect make(double x, int k, double m)
{
    if (m == 16777216.0) m = 1048576.0, ++k;
    int sign = x < 0 ? 128 : 0;
    double v = ldexp(m, 4 * k - 24);
    return {k + 64 + sign, (long)m, x < 0 ? -v : v};
}

Expect nearest(double x)
{
    Scaled s = scaled(x);
    double fl = floor(s.m);
    return make(x, s.k, s.m - fl >= 0.5 ? fl + 1 : fl); // halves away from zero
}

Expect largestNotAbove(double x)
{
    Scaled s = scaled(x);
    double fl = floor(s.m);
    return make(x, s.k, x > 0 ? fl : (s.m > fl ? fl + 1 : fl));
}

double randomInRange(std::mt19937_64 &rng)
{
    // 2^-256 = 16^-64 (exponent octet 1) up to below 2^251, clear of overflow.
    int p = -255 + (int)(rng() % 507);
    double u = 0.5 + (double)(rng() >> 11) * 0x1p-54;
    double x = ldexp(u, p);
    return rng() % 2 ? -x : x;
}

} // namespace

// ---- confp3 and decfp2 ---------------------------------------------------------------

TEST(Confp3, DocumentedValues)
{
    Ibm r = convert(1.0, 1);
    EXPECT_EQ(r.exp, 65);
    EXPECT_EQ(r.mant, 1048576);
    r = convert(-1.0, 1);
    EXPECT_EQ(r.exp, 193);
    EXPECT_EQ(r.mant, 1048576);
    r = convert(0.1, 1);
    EXPECT_EQ(r.exp, 64);
    EXPECT_EQ(r.mant, 1677722);
    r = convert(0.1, 0);
    EXPECT_EQ(r.exp, 64);
    EXPECT_EQ(r.mant, 1677721);
    r = convert(-0.1, 0);
    EXPECT_EQ(r.exp, 192);
    EXPECT_EQ(r.mant, 1677722);
    r = convert(ldexp(1.0, 248), 1); // 16^62
    EXPECT_EQ(r.exp, 127);
    EXPECT_EQ(r.mant, 1048576);
}

TEST(Confp3, ZeroOfEitherSignIsSilent)
{
    std::string err = stderrOf([] {
        Ibm r = convert(0.0, 1);
        EXPECT_EQ(r.exp, 0);
        EXPECT_EQ(r.mant, 0);
        r = convert(-0.0, 0);
        EXPECT_EQ(r.exp, 0);
        EXPECT_EQ(r.mant, 0);
    });
    EXPECT_EQ(err, "");
}

TEST(Confp3, RoundingTowardsMinusInfinity)
{
    // A whole scaled magnitude: positive stays, negative moves up by one.
    const double whole = ldexp(1048577.0, 4 * 2 - 24); // exponent 2, mantissa 2^20 + 1
    EXPECT_EQ(convert(whole, 0).mant, 1048577);
    EXPECT_EQ(convert(-whole, 0).mant, 1048578);
    EXPECT_EQ(convert(-1.0, 0).mant, 1048577);
    // A half: nearest goes away from zero for both signs; towards minus
    // infinity truncates the positive and lifts the negative.
    const double half = ldexp(1048577.5, 4 * 2 - 24);
    EXPECT_EQ(convert(half, 1).mant, 1048578);
    EXPECT_EQ(convert(-half, 1).mant, 1048578);
    EXPECT_EQ(convert(half, 0).mant, 1048577);
    EXPECT_EQ(convert(-half, 0).mant, 1048578);
    // Rounding up to 2^24 moves to the next exponent.
    const double top = ldexp(16777215.5, 4 * 2 - 24);
    Ibm r = convert(top, 1);
    EXPECT_EQ(r.exp, 64 + 3);
    EXPECT_EQ(r.mant, 1048576);
    r = convert(-top, 0);
    EXPECT_EQ(r.exp, 128 + 64 + 3);
    EXPECT_EQ(r.mant, 1048576);
}

TEST(Confp3, JustBelowAPowerOfSixteenTheEstimateIsOneHigh)
{
    // The documented behaviour of the exponent estimate: the mantissa comes
    // out at the next exponent, 2^20 to nearest, 2^20 - 1 (unnormalised)
    // towards minus infinity for a positive value.
    const double x = nextafter(16.0, 0.0);
    Ibm r = convert(x, 1);
    EXPECT_EQ(r.exp, 66);
    EXPECT_EQ(r.mant, 1048576);
    r = convert(x, 0);
    EXPECT_EQ(r.exp, 66);
    EXPECT_EQ(r.mant, 1048575);
    double ref = x;
    ref2ibm(&ref, 32);
    EXPECT_EQ(ref, 16.0 - ldexp(1.0, -16));
}

TEST(Confp3, InvalidTypeIsReportedAndRoundsToNearest)
{
    for (int type : {2, -1}) {
        Ibm r{};
        std::string err = stderrOf([&] { r = convert(0.1, type); });
        EXPECT_TRUE(contains(err, "confp3")) << err;
        EXPECT_TRUE(contains(err, "Invalid conversion type = " + std::to_string(type))) << err;
        EXPECT_EQ(r.exp, 64);
        EXPECT_EQ(r.mant, 1677722);
    }
}

TEST(Confp3, OverflowReportsAndGivesZero)
{
    struct Case {
        double x;
        const char *mantissa;
    };
    for (Case c : {Case{ldexp(1.0, 252), "Mantissa =     16777216"},                   // 16^63
                   Case{-ldexp(1.0, 256), "Mantissa =    268435456"},                  // 16^64
                   Case{nextafter(ldexp(1.0, 252), 0.0), "Mantissa =     16777216"}}) { // rounds up to it
        Ibm r{};
        std::string err = stderrOf([&] { r = convert(c.x, 1); });
        EXPECT_EQ(r.exp, 0);
        EXPECT_EQ(r.mant, 0);
        size_t a = err.find("Exponent overflow"), b = err.find("Original number = "),
               s = err.find(std::string("Sign = ") + (c.x < 0 ? "128" : "  0") + ", Exponent = 128, " + c.mantissa),
               e = err.find("Exponent overflow", b), z = err.find("Value arbitrarily set to zero.");
        EXPECT_TRUE(a < b && b < s && s < e && e < z && z != std::string::npos) << err;
    }
}

TEST(Confp3, BelowTheRangeTheExponentStaysZero)
{
    Ibm r = convert(ldexp(1.0, -264), 1); // 16^-66: mantissa 2^16 at exponent 0
    EXPECT_EQ(r.exp, 0);
    EXPECT_EQ(r.mant, 65536);
    r = convert(-ldexp(1.0, -264), 1);
    EXPECT_EQ(r.exp, 128);
    EXPECT_EQ(r.mant, 65536);
    r = convert(-1e-300, 1);
    EXPECT_EQ(r.exp, 128);
    EXPECT_EQ(r.mant, 0);
}

TEST(Decfp2, DocumentedValuesAndZeroOctets)
{
    EXPECT_EQ(decfp2(65, 1048576), 1.0);
    EXPECT_EQ(decfp2(193, 1048576), -1.0);
    EXPECT_EQ(decfp2(64, 1677722), 0.10000002384185791);
    for (int e : {0, 128, 255}) EXPECT_EQ(decfp2(e, 12345), 0.0) << e;
    EXPECT_EQ(decfp2(127, 16777215), ldexp(16777215.0, 4 * 63 - 24));
    EXPECT_EQ(decfp2(1, 1048576), ldexp(1.0, -256));
}

// ---- ref2ibm ------------------------------------------------------------------------

TEST(Ref2ibm, DocumentedValues)
{
    double v = 0.1;
    ref2ibm(&v, 32);
    EXPECT_EQ(v, 0.09999996423721313);
    v = -0.1;
    ref2ibm(&v, 32);
    EXPECT_EQ(v, -0.10000002384185791);
    v = 0.0;
    ref2ibm(&v, 32);
    EXPECT_EQ(v, 0.0);
    v = 3.0e80;
    stderrOf([&] { ref2ibm(&v, 32); });
    EXPECT_EQ(v, 3.0e80); // overflow: left as it was
    v = 1.5;
    ref2ibm(&v, 32);
    EXPECT_EQ(v, 1.5); // exact values stay
}

// ---- Properties over the whole range ----------------------------------------------------

TEST(IbmProperties, NearestAndLargestNotAboveOverRandomDoubles)
{
    std::mt19937_64 rng(2024);
    long quirks = 0;
    for (int i = 0; i < 3000000; ++i) {
        const double x = randomInRange(rng);
        const Expect want = nearest(x);
        Ibm got = convert(x, 1);
        ASSERT_EQ(got.exp, want.exp) << x;
        ASSERT_EQ(got.mant, want.mant) << x;
        double ref = x;
        ref2ibm(&ref, 32);
        if (want.exp == 255) {
            // Exponent octet 255 decodes as zero, so no negative value from
            // -16^63 to -16^62 converts: the reference value stays unchanged.
            ASSERT_EQ(decfp2(got.exp, got.mant), 0.0) << x;
            ASSERT_EQ(ref, x);
            continue;
        }
        ASSERT_EQ(decfp2(got.exp, got.mant), want.value) << x;

        const Expect low = largestNotAbove(x);
        if (ref != low.value) {
            // Only the documented case: a positive value so close below a
            // power of 16 that the estimate picks the next exponent.
            Scaled s = scaled(x);
            ASSERT_TRUE(x > 0 && s.m > 16777215.5) << x;
            ASSERT_EQ(ref, ldexp(1048575.0, 4 * (s.k + 1) - 24)) << x;
            ++quirks;
        }
        ASSERT_LE(ref, x);
    }
    EXPECT_LT(quirks, 10);
}

TEST(IbmProperties, HalvesAndWholeMantissas)
{
    // Scaled magnitudes that are exact halves or whole numbers, where the
    // rounding rules differ.
    std::mt19937_64 rng(77);
    for (int i = 0; i < 1000000; ++i) {
        const int k = -62 + (int)(rng() % 124);
        const double M = (double)(1048576 + rng() % (16777215 - 1048576));
        const bool half = rng() % 2;
        const double mag = ldexp(M + (half ? 0.5 : 0.0), 4 * k - 24);
        const double x = rng() % 2 ? -mag : mag;

        Ibm got = convert(x, 1);
        const Expect want = nearest(x);
        ASSERT_EQ(got.exp, want.exp) << x;
        ASSERT_EQ(got.mant, want.mant) << x;
        ASSERT_EQ(got.mant, (long)M + (half ? 1 : 0)) << x;

        got = convert(x, 0);
        const long down = x > 0 ? (long)M : (long)M + 1;
        ASSERT_EQ(got.mant, down) << x;
        ASSERT_EQ(got.exp, k + 64 + (x < 0 ? 128 : 0)) << x;

        double ref = x;
        ref2ibm(&ref, 32);
        ASSERT_EQ(ref, largestNotAbove(x).value) << x;
    }
}
