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

// (m, n) of every pair in storage order.
std::vector<std::pair<int, int>> pairs(int t)
{
    std::vector<std::pair<int, int>> p;
    for (int m = 0; m <= t; ++m)
        for (int n = m; n <= t; ++n) p.emplace_back(m, n);
    return p;
}

// Each pair holds its own (m, n) code so that moves can be read back.
std::vector<double> labelled(int t)
{
    std::vector<double> v;
    for (auto [m, n] : pairs(t)) {
        v.push_back(1000 * m + n);
        v.push_back(-(1000 * m + n));
    }
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

TEST(SpectralScale, FactorsPerWavenumber)
{
    std::vector<double> v(values(2), 1.0);
    scale_complex_double(v.data(), 1, 1000, 2, 0);
    // (0,0) (0,1) (0,2) (1,1) (1,2) (2,2)
    const double expect[] = {1, 2, 6, 2, 6, 6};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(v[2 * k], expect[k]) << k;
        EXPECT_EQ(v[2 * k + 1], expect[k]) << k;
    }

    std::vector<double> w(values(5), 3.0);
    scale_complex_double(w.data(), 0, 500, 5, 0);
    const auto p = pairs(5);
    for (size_t k = 0; k < p.size(); ++k) {
        const int n = p[k].second;
        EXPECT_NEAR(w[2 * k], n == 0 ? 3.0 : 3.0 * std::sqrt((double)n * (n + 1)), 1e-12) << k;
    }

    // Start above the truncation: nothing changes.
    std::vector<double> u(values(3), 2.0);
    scale_complex_double(u.data(), 4, 1000, 3, 0);
    for (double x : u) EXPECT_EQ(x, 2.0);
}

TEST(SpectralScale, PowerLimits)
{
    for (int power : {10000, -10000}) {
        std::vector<double> v(values(3), 1.0);
        scale_complex_double(v.data(), 0, power, 3, 0);
        EXPECT_NE(v[2], 1.0) << power;
    }
    struct Case {
        int power;
        bool isFloat;
        const char *line;
    } cases[] = {{10001, false, " scale_complex_double: Invalid power given  10001\n"},
                 {-10001, true, " scale_complex_float: Invalid power given -10001\n"}};
    for (const Case &c : cases) {
        std::vector<double> d(values(3), 1.0);
        std::vector<float> f(values(3), 1.0f);
        testing::internal::CaptureStderr();
        if (c.isFloat)
            scale_complex_float(f.data(), 0, c.power, 3, 0);
        else
            scale_complex_double(d.data(), 0, c.power, 3, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        for (size_t i = 0; i < d.size(); ++i) {
            EXPECT_EQ(d[i], 1.0);
            EXPECT_EQ(f[i], 1.0f);
        }
    }
}

TEST(SpectralReorder, GatherAndScatterOrder)
{
    std::vector<double> v = labelled(2);
    gather(v, 1, 2);
    // (0,0) (0,1) (1,1) (0,2) (1,2) (2,2)
    const double order[] = {0, 1, 1001, 2, 1002, 2002};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(v[2 * k], order[k]);
        EXPECT_EQ(v[2 * k + 1], -order[k]);
    }
    scatter(v, 1, 2);
    EXPECT_EQ(v, labelled(2));

    std::vector<double> same = labelled(4);
    gather(same, 4, 4);
    EXPECT_EQ(same, labelled(4));
    scatter(same, 4, 4);
    EXPECT_EQ(same, labelled(4));
}

// Random fields at several truncations and subsets: scatter undoes gather,
// and the inverse scaling undoes the forward one, in both precisions.
TEST(SpectralReorder, RoundTripProperty)
{
    const long blocks = memBlocksInUse();
    unsigned seed = 1;
    for (int t : {0, 1, 5, 21, 63, 106}) {
        for (int js : {0, 1, t / 3, t - 1, t}) {
            if (js < 0 || js > t) continue;
            std::vector<double> d = randomField<double>(t, seed++);
            const std::vector<double> d0 = d;
            gather(d, js, t);
            // The subset leads: the first (js+1)(js+2) values all have n <= js.
            std::vector<double> lab = labelled(t);
            gather(lab, js, t);
            for (size_t i = 0; i < values(js); ++i) ASSERT_LE(std::fmod(std::fabs(lab[i]), 1000.0), js);
            scatter(d, js, t);
            ASSERT_EQ(d, d0) << "T" << t << " J" << js;

            std::vector<float> f = randomField<float>(t, seed++);
            const std::vector<float> f0 = f;
            gather(f, js, t);
            scatter(f, js, t);
            ASSERT_EQ(f, f0);

            for (int power : {1000, 450, -1300}) {
                std::vector<double> s = d0;
                scale(s, js, power, t, 0);
                scale(s, js, power, t, 1);
                for (size_t i = 0; i < s.size(); ++i) ASSERT_NEAR(s[i], d0[i], 1e-12 * (1 + std::fabs(d0[i])));
                std::vector<float> g = f0;
                scale(g, js, power, t, 0);
                scale(g, js, power, t, 1);
                for (size_t i = 0; i < g.size(); ++i) ASSERT_NEAR(g[i], f0[i], 3e-7 * (1 + std::fabs(f0[i])));
            }
        }
    }
    EXPECT_EQ(memBlocksInUse(), blocks);
}

TEST(SpectralReorder, ShortCountStaysInBounds)
{
    // Fewer values than the truncation holds: only those are touched.
    std::vector<double> v = labelled(3);
    v.resize(8);
    const std::vector<double> before = v;
    gather_complex_double(v.data(), 1, 3, v.size());
    scatter_complex_double(v.data(), 1, 3, (int)v.size());
    EXPECT_EQ(v.size(), 8u);
    // A count beyond the truncation leaves the tail alone.
    std::vector<double> w = labelled(2);
    w.push_back(42.0);
    w.push_back(43.0);
    gather_complex_double(w.data(), 1, 2, w.size());
    EXPECT_EQ(w[12], 42.0);
    EXPECT_EQ(w[13], 43.0);
    scatter_complex_double(w.data(), 1, 2, (int)w.size());
    std::vector<double> expect = labelled(2);
    expect.push_back(42.0);
    expect.push_back(43.0);
    EXPECT_EQ(w, expect);
}

TEST(SpectralPfactor, RecoversPowerOfFalloff)
{
    for (int t : {21, 63}) {
        for (int s : {0, 5}) {
            std::vector<double> v(values(t), 0.0);
            size_t k = 0;
            for (auto [m, n] : pairs(t)) {
                const double top = std::pow((double)n * (n + 1), -2.0);
                v[2 * k] = m == 0 ? top : top / 3;
                v[2 * k + 1] = m == 1 ? -top : 0.0;
                ++k;
            }
            if (s == 0) v[0] = 1.0; // n = 0 lies outside every fit
            EXPECT_NEAR(calculate_pfactor_double(v.data(), t, s), 2.0, 1e-6) << t << " " << s;
            std::vector<float> f(v.begin(), v.end());
            EXPECT_NEAR(calculate_pfactor_float(f.data(), t, s), 2.0, 1e-4);
        }
    }
}

TEST(SpectralPfactor, ZeroWavenumberAndLimits)
{
    const int t = 21;
    std::vector<double> v(values(t), 0.0);
    size_t k = 0;
    for (auto [m, n] : pairs(t)) {
        v[2 * k++] = n == 7 ? 0.0 : std::pow((double)n * (n + 1), -1.5);
        (void)m;
    }
    const double p = calculate_pfactor_double(v.data(), t, 2);
    EXPECT_TRUE(std::isfinite(p));
    EXPECT_NEAR(p, 1.5, 1e-6);

    std::vector<double> zero(values(t), 0.0);
    EXPECT_TRUE(std::isfinite(calculate_pfactor_double(zero.data(), t, 0)));

    // A steep growth is clamped.
    std::vector<double> g(values(3), 0.0);
    k = 0;
    for (auto [m, n] : pairs(3)) {
        g[2 * k++] = n == 3 ? 1e300 : 1e-300;
        (void)m;
    }
    EXPECT_GE(calculate_pfactor_double(g.data(), 3, 0), -9999.9);
    EXPECT_TRUE(std::isnan(calculate_pfactor_double(g.data(), 2, 3)));
}
