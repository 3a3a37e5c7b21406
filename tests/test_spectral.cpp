// Spectral coefficient scaling, reordering and the power estimate.
#include "valmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

extern "C" long memBlocksInUse(void);

namespace {

size_t values(int t) { return (size_t)(t + 1) * (t + 2); }

// (m, n) of every pair in storage order: m outer, n from m to t.
std::vector<std::pair<int, int>> pairs(int t)
{
    std::vector<std::pair<int, int>> p;
    for (int m = 0; m <= t; ++m)
        for (int n = m; n <= t; ++n) p.emplace_back(m, n);
    return p;
}

// Each pair holds its own code 1000 m + n, so that moves can be read back.
std::vector<double> labelled(int t)
{
    std::vector<double> v;
    for (auto [m, n] : pairs(t)) v.insert(v.end(), {1000.0 * m + n, -(1000.0 * m + n)});
    return v;
}

template <typename T> std::vector<T> randomField(int t, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> dist(0.0, 1.0);
    std::vector<T> v(values(t));
    for (T &x : v) x = (T)dist(rng);
    return v;
}

void gather(std::vector<double> &v, int js, int t) { gather_complex_double(v.data(), js, t, v.size()); }
void gather(std::vector<float> &v, int js, int t) { gather_complex_float(v.data(), js, t, v.size()); }
void scatter(std::vector<double> &v, int js, int t) { scatter_complex_double(v.data(), js, t, (int)v.size()); }
void scatter(std::vector<float> &v, int js, int t) { scatter_complex_float(v.data(), js, t, (int)v.size()); }
void scale(std::vector<double> &v, int start, int p, int t, int inv) { scale_complex_double(v.data(), start, p, t, inv); }
void scale(std::vector<float> &v, int start, int p, int t, int inv) { scale_complex_float(v.data(), start, p, t, inv); }

} // namespace

TEST(SpectralScale, FactorsAndPowerLimits)
{
    // T = 2 from n = 1: (0,0) (0,1) (0,2) (1,1) (1,2) (2,2) by 1 2 6 2 6 6.
    std::vector<double> v(values(2), 1.0);
    scale(v, 1, 1000, 2, 0);
    EXPECT_EQ(v, (std::vector<double>{1, 1, 2, 2, 6, 6, 2, 2, 6, 6, 6, 6}));

    // Power 0.5 from n = 0: every n by sqrt(n(n+1)), n = 0 by 1.
    std::vector<double> w(values(5), 3.0);
    scale(w, 0, 500, 5, 0);
    const auto p = pairs(5);
    for (size_t k = 0; k < p.size(); ++k) {
        const int n = p[k].second;
        EXPECT_NEAR(w[2 * k + 1], n == 0 ? 3.0 : 3.0 * std::sqrt(n * (n + 1.0)), 1e-12) << k;
    }

    std::vector<double> u(values(3), 2.0);
    scale(u, 4, 1000, 3, 0); // start above the truncation
    scale(u, 0, 0, 3, 0);    // power 0
    EXPECT_EQ(u, std::vector<double>(values(3), 2.0));
    scale(u, 0, 10000, 3, 0);
    scale(u, 0, -10000, 3, 0);
    EXPECT_NEAR(u[2], 2.0, 1e-12);

    const struct {
        int power;
        bool isFloat;
        const char *line;
    } invalid[] = {{10001, false, " scale_complex_double: Invalid power given  10001\n"},
                   {-10001, true, " scale_complex_float: Invalid power given -10001\n"}};
    for (const auto &c : invalid) {
        std::vector<double> d(values(3), 1.0);
        std::vector<float> f(values(3), 1.0f);
        testing::internal::CaptureStderr();
        c.isFloat ? scale(f, 0, c.power, 3, 0) : scale(d, 0, c.power, 3, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(d, std::vector<double>(values(3), 1.0));
        EXPECT_EQ(f, std::vector<float>(values(3), 1.0f));
    }
}

TEST(SpectralReorder, GatherOrderAndBounds)
{
    std::vector<double> v = labelled(2);
    gather(v, 1, 2); // (0,0) (0,1) (1,1) (0,2) (1,2) (2,2)
    EXPECT_EQ(v, (std::vector<double>{0, -0, 1, -1, 1001, -1001, 2, -2, 1002, -1002, 2002, -2002}));
    scatter(v, 1, 2);
    EXPECT_EQ(v, labelled(2));

    std::vector<double> same = labelled(4);
    gather(same, 4, 4);
    EXPECT_EQ(same, labelled(4));

    // A count past the truncation's pairs leaves the tail alone; a short
    // count touches nothing beyond it.
    std::vector<double> w = labelled(2);
    w.insert(w.end(), {42.0, 43.0});
    gather(w, 1, 2);
    EXPECT_EQ(w[12], 42.0);
    scatter(w, 1, 2);
    std::vector<double> expect = labelled(2);
    expect.insert(expect.end(), {42.0, 43.0});
    EXPECT_EQ(w, expect);
    std::vector<double> shortArray = labelled(3);
    shortArray.resize(8);
    gather_complex_double(shortArray.data(), 1, 3, shortArray.size());
    scatter_complex_double(shortArray.data(), 1, 3, 8);
}

// Random fields at several truncations and subsets: scatter undoes gather,
// the subset leads after gather, and the inverse scaling undoes the forward
// one, in both precisions; all scratch is released.
TEST(SpectralReorder, RoundTripProperty)
{
    const long blocks = memBlocksInUse();
    unsigned seed = 1;
    for (int t : {0, 1, 5, 21, 63, 106}) {
        for (int js : {0, 1, t / 3, t - 1, t}) {
            if (js < 0 || js > t) continue;
            std::vector<double> lab = labelled(t);
            gather(lab, js, t);
            for (size_t i = 0; i < values(js); ++i) ASSERT_LE(std::fmod(std::fabs(lab[i]), 1000.0), js);

            const std::vector<double> d0 = randomField<double>(t, seed++);
            const std::vector<float> f0 = randomField<float>(t, seed++);
            std::vector<double> d = d0;
            std::vector<float> f = f0;
            gather(d, js, t), scatter(d, js, t);
            gather(f, js, t), scatter(f, js, t);
            ASSERT_EQ(d, d0) << "T" << t << " J" << js;
            ASSERT_EQ(f, f0) << "T" << t << " J" << js;

            for (int power : {1000, 450, -1300}) {
                d = d0, f = f0;
                scale(d, js, power, t, 0), scale(d, js, power, t, 1);
                scale(f, js, power, t, 0), scale(f, js, power, t, 1);
                for (size_t i = 0; i < d.size(); ++i) {
                    ASSERT_NEAR(d[i], d0[i], 1e-12 * (1 + std::fabs(d0[i])));
                    ASSERT_NEAR(f[i], f0[i], 3e-7 * (1 + std::fabs(f0[i])));
                }
            }
        }
    }
    EXPECT_EQ(memBlocksInUse(), blocks);
}

TEST(SpectralPfactor, FitsTheFalloff)
{
    // Largest magnitude at n exactly (n(n+1))^-2: P is 2.
    for (int t : {21, 63})
        for (int s : {0, 5}) {
            std::vector<double> v(values(t), 0.0);
            size_t k = 0;
            for (auto [m, n] : pairs(t)) {
                const double top = std::pow(n * (n + 1.0), -2.0);
                v[2 * k] = m == 0 ? top : top / 3;
                v[2 * k++ + 1] = m == 1 ? -top : 0.0;
            }
            v[0] = 1.0; // n = 0 takes part in no fit
            EXPECT_NEAR(calculate_pfactor_double(v.data(), t, s), 2.0, 1e-6) << t << " " << s;
            const std::vector<float> f(v.begin(), v.end());
            EXPECT_NEAR(calculate_pfactor_float(f.data(), t, s), 2.0, 1e-4);
        }

    // An all-zero wavenumber is floored, not a logarithm of zero.
    std::vector<double> v(values(21), 0.0);
    size_t k = 0;
    for (auto mn : pairs(21)) v[2 * k++] = mn.second == 7 ? 0.0 : std::pow(mn.second * (mn.second + 1.0), -1.5);
    EXPECT_NEAR(calculate_pfactor_double(v.data(), 21, 2), 1.5, 1e-6);
    const std::vector<double> zero(values(21), 0.0);
    EXPECT_TRUE(std::isfinite(calculate_pfactor_double(zero.data(), 21, 0)));

    // A fall-off steeper than any power is clamped; a subset above the
    // truncation gives no fit.
    const int t = 1000;
    std::vector<double> g(values(t), 0.0);
    k = 0;
    for (auto [m, n] : pairs(t)) g[2 * k++] = n == t ? 1e300 + m : 0.0;
    EXPECT_EQ(calculate_pfactor_double(g.data(), t, t - 1), 9999.9);
    EXPECT_TRUE(std::isnan(calculate_pfactor_double(g.data(), 2, 3)));
}
