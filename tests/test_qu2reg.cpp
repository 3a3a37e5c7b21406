// Reduced-grid to regular-grid interpolation: the row rules in both
// precisions, refusal of impossible shapes, and a real reduced Gaussian grid.
#include "valmora.h"
#include "support.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

namespace {

enum Mode { Linear = 0, Nearest = 1 };

// Both instances behind one call, so every rule is checked in each precision.
template <typename T> struct Qu;
template <> struct Qu<double> {
    static int run(double *f, int *rows, int nrows, int nlon, double ms, int *ret, int periodic, int nearest)
    {
        return qu2reg3_double(f, rows, nrows, nlon, ms, ret, 0, periodic, nearest);
    }
};
template <> struct Qu<float> {
    static int run(float *f, int *rows, int nrows, int nlon, float ms, int *ret, int periodic, int nearest)
    {
        return qu2reg3_float(f, rows, nrows, nlon, ms, ret, 0, periodic, nearest);
    }
};

// One row through the function under test; the field has room for both shapes.
template <typename T>
std::vector<T> interpolate(std::vector<T> row, int nlon, int periodic, int nearest, T ms = T(-999))
{
    int L = (int)row.size();
    std::vector<T> field(std::max<size_t>(row.size(), (size_t)nlon));
    std::copy(row.begin(), row.end(), field.begin());
    int ret = 99;
    EXPECT_EQ(Qu<T>::run(field.data(), &L, 1, nlon, ms, &ret, periodic, nearest), 0);
    EXPECT_EQ(ret, 0);
    field.resize((size_t)nlon);
    return field;
}

// The row rule written out plainly from its definition: position
// i * (1/D) * S, left and right neighbours, guard point after the row.
template <typename T>
std::vector<T> reference(const std::vector<T> &row, int N, bool periodic, bool nearest, T ms)
{
    const int L = (int)row.size();
    if (L == N) return row;
    std::vector<T> out((size_t)N);
    const double D = periodic ? N : N - 1, S = periodic ? L : L - 1;
    for (int i = 0; i < N; ++i) {
        double p = i * (1.0 / D) * S;
        int k = (int)std::floor(p);
        double f = p - k;
        T a = row[(size_t)k];
        T b = k + 1 < L ? row[(size_t)k + 1] : (periodic ? row[0] : row[(size_t)L - 1]);
        T v;
        if (nearest)
            v = f < 0.5 ? a : b;
        else if (a == ms)
            v = b;
        else if (b == ms)
            v = a;
        else
            v = (T)((1.0 - f) * (double)a + f * (double)b);
        out[(size_t)i] = v;
    }
    return out;
}

template <typename T> class RowRules : public ::testing::Test {};
using Precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(RowRules, Precisions);

TYPED_TEST(RowRules, WorkedRowsOfFourPoints)
{
    using T = TypeParam;
    std::vector<T> row = {0, 10, 20, 30};
    // Periodic: the last point lies between the last value and the first.
    EXPECT_EQ(interpolate<T>(row, 8, 1, Linear), (std::vector<T>{0, 5, 10, 15, 20, 25, 30, 15}));
    // Non-periodic: the ends fall on the ends.
    EXPECT_EQ(interpolate<T>(row, 7, 0, Linear), (std::vector<T>{0, 5, 10, 15, 20, 25, 30}));
    // Nearest neighbour: a fraction of exactly one half takes the right-hand point.
    EXPECT_EQ(interpolate<T>(row, 8, 1, Nearest), (std::vector<T>{0, 10, 10, 20, 20, 30, 30, 0}));
    EXPECT_EQ(interpolate<T>(row, 7, 0, Nearest), (std::vector<T>{0, 10, 10, 20, 20, 30, 30}));
    // Shrinking a row: 4 points to 2, periodic, samples positions 0 and 2.
    EXPECT_EQ(interpolate<T>(row, 2, 1, Linear), (std::vector<T>{0, 20}));
}

TYPED_TEST(RowRules, MissingNeighbours)
{
    using T = TypeParam;
    const T M = T(-999);
    // Positions 0, .5, 1, ..., 3.5 over M 10 20 M with the first value as guard.
    std::vector<T> got = interpolate<T>({M, 10, 20, M}, 8, 1, Linear, M);
    EXPECT_EQ(got, (std::vector<T>{10, 10, 10, 15, 20, 20, M, M}));
    // Non-periodic: the guard repeats the last value, so a missing last
    // point stays missing instead of borrowing the first.
    got = interpolate<T>({10, 20, M}, 5, 0, Linear, M);
    EXPECT_EQ(got, (std::vector<T>{10, 15, 20, 20, M}));
    // Nearest neighbour does not look at missing values.
    got = interpolate<T>({M, 10, 20, M}, 8, 1, Nearest, M);
    EXPECT_EQ(got, (std::vector<T>{M, 10, 10, 20, 20, M, M, M}));
}

TYPED_TEST(RowRules, RowsOfRegularLengthAreCopiedInEveryMode)
{
    using T = TypeParam;
    const T M = T(-999);
    std::vector<T> row = {T(0.1), M, T(1e30), T(-3.25), T(7)};
    for (int periodic : {0, 1})
        for (int nearest : {0, 1}) {
            std::vector<T> got = interpolate<T>(row, 5, periodic, nearest, M);
            EXPECT_EQ(0, memcmp(got.data(), row.data(), row.size() * sizeof(T)))
                << "periodic " << periodic << " nearest " << nearest;
        }
    EXPECT_EQ(interpolate<T>({T(42.5)}, 1, 1, Linear), std::vector<T>{T(42.5)});
}

TYPED_TEST(RowRules, LinearFunctionsComeBackOnNonPeriodicRows)
{
    using T = TypeParam;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> len(2, 200);
    const double tol = std::is_same<T, float>::value ? 1e-4 : 1e-10;
    for (int trial = 0; trial < 200; ++trial) {
        int L = len(rng), N = len(rng);
        if (L > 2 * N) continue;
        double a = (double)(trial % 17) - 8, b = 0.5 + trial % 5;
        std::vector<T> row((size_t)L);
        for (int i = 0; i < L; ++i) row[(size_t)i] = (T)(a + b * i / (L - 1));
        std::vector<T> got = interpolate<T>(row, N, 0, Linear);
        for (int i = 0; i < N; ++i)
            ASSERT_NEAR(got[(size_t)i], a + b * i / (N - 1), tol * (std::fabs(a) + b))
                << "L " << L << " N " << N << " i " << i;
        // Nearest neighbour picks only values of the row.
        got = interpolate<T>(row, N, 0, Nearest);
        for (T v : got) ASSERT_NE(std::find(row.begin(), row.end(), v), row.end());
    }
}

TEST(Qu2reg2, PeriodicLinearWithMissingValuesAndCallersWorkArray)
{
    const double M = 9999;
    std::vector<int> lengths = {4, 4, 8};
    std::vector<double> field = {0, 10, 20, 30, M, 10, 20, M, 1, 2, 3, 4, 5, 6, 7, 8};
    field.resize(24);
    std::vector<double> work(24, -1);
    int ret = 99;
    long blocks = memBlocksInUse();
    EXPECT_EQ(qu2reg2(field.data(), lengths.data(), 3, 8, work.data(), M, &ret), 0);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(memBlocksInUse(), blocks);
    std::vector<double> want = {0, 5, 10, 15, 20, 25, 30, 15, 10, 10, 10, 15, 20, 20, M, M, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(field, want);
}

// Shapes the row arithmetic cannot serve are refused before any memory
// outside the arrays is touched (the sanitizer build watches the bounds).
TEST(Refusals, ImpossibleRowLengthsAndShortNonPeriodicRows)
{
    struct Case {
        std::vector<int> lengths;
        int nlon, periodic;
    } cases[] = {
        {{4, 0, 4}, 4, 1},  // empty row
        {{4, -3}, 4, 1},    // negative length
        {{9}, 4, 1},        // longer than 2 x N
        {{3, 1}, 1, 0},     // N = 1, non-periodic: divisor 0
        {{2}, 0, 1},        // no regular points
    };
    for (const Case &c : cases) {
        size_t cap = 64;
        std::vector<double> fd(cap, 1.5);
        std::vector<float> ff(cap, 1.5f);
        std::vector<double> work(cap, 0);
        std::vector<int> lengths = c.lengths;
        int nrows = (int)lengths.size();
        long blocks = memBlocksInUse();
        int ret = 0;
        qu2reg3_double(fd.data(), lengths.data(), nrows, c.nlon, -1.0, &ret, 0, c.periodic, 0);
        EXPECT_EQ(ret, -1);
        ret = 0;
        qu2reg3_float(ff.data(), lengths.data(), nrows, c.nlon, -1.0f, &ret, 0, c.periodic, 1);
        EXPECT_EQ(ret, -1);
        if (c.periodic) {
            ret = 0;
            qu2reg2(fd.data(), lengths.data(), nrows, c.nlon, work.data(), -1.0, &ret);
            EXPECT_EQ(ret, -1);
        }
        EXPECT_EQ(memBlocksInUse(), blocks);
        EXPECT_EQ(fd, std::vector<double>(cap, 1.5)) << "field left as it was";
        EXPECT_EQ(ff, std::vector<float>(cap, 1.5f));
    }
    // The bounds themselves are accepted: rows of 1 and of 2 x N points.
    std::vector<int> lengths = {1, 8};
    std::vector<double> field = {5, 0, 1, 2, 3, 4, 5, 6, 7};
    int ret = 99;
    qu2reg3_double(field.data(), lengths.data(), 2, 4, -1.0, &ret, 0, 1, 0);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(std::vector<double>(field.begin(), field.begin() + 8), (std::vector<double>{5, 5, 5, 5, 0, 2, 4, 6}));
}

// ---- A real reduced Gaussian grid ------------------------------------------

// Row lengths from the grid description of a GRIB edition 1 record: the
// list starts at the octet named by octet 5 (after any vertical coordinates).
bool reducedRows(const testutil::Bytes &rec, std::vector<int> &rows)
{
    if (rec.size() < 8 + 3 || rec[7] != 1) return false;
    size_t pds = 8, pdsLen = testutil::get3(rec, pds);
    if (!(rec[pds + 7] & 0x80)) return false;
    size_t gds = pds + pdsLen;
    unsigned nv = rec[gds + 3], pv = rec[gds + 4];
    unsigned nj = (unsigned)rec[gds + 8] << 8 | rec[gds + 9];
    size_t at = gds + pv - 1 + 4 * nv;
    rows.clear();
    for (unsigned j = 0; j < nj; ++j) rows.push_back(rec[at + 2 * j] << 8 | rec[at + 2 * j + 1]);
    return !rows.empty();
}

double smooth(double lat, double x) { return std::cos(lat) * (std::sin(x) + 0.5 * std::cos(2 * x)) + 0.1 * lat; }

// Rows of the real grid with a smooth field on them, in every mode and both
// precisions: exactly the plain row rule, and within linear (or nearest)
// interpolation error of the field itself.
TYPED_TEST(RowRules, ReducedGaussianN32ToRegular)
{
    using T = TypeParam;
    const std::string path = "/usr/share/eccodes/samples/reduced_gg_pl_32_grib1.tmpl";
    testutil::Bytes rec = testutil::readFile(path);
    if (rec.empty()) GTEST_SKIP() << "ecCodes sample " << path << " is not installed";
    std::vector<int> rows;
    ASSERT_TRUE(reducedRows(rec, rows));
    ASSERT_EQ(rows.size(), 64u);
#ifdef VALMORA_HAVE_ECCODES_API
    {   // The list as ecCodes reads it.
        FILE *in = fopen(path.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        int err = 0;
        codes_handle *h = codes_handle_new_from_file(nullptr, in, PRODUCT_GRIB, &err);
        ASSERT_NE(h, nullptr);
        std::vector<long> pl(rows.size());
        size_t n = pl.size();
        EXPECT_EQ(codes_get_long_array(h, "pl", pl.data(), &n), 0);
        codes_handle_delete(h);
        fclose(in);
        EXPECT_EQ(std::vector<int>(pl.begin(), pl.end()), rows);
    }
#endif
    const int N = *std::max_element(rows.begin(), rows.end());
    const double pi = std::acos(-1.0), M = -9999;
    const size_t nj = rows.size(), regular = (size_t)N * nj;
    size_t total = 0;
    for (int L : rows) total += (size_t)L;

    for (int periodic : {1, 0})
        for (int nearest : {0, 1}) {
            // Periodic rows cover the circle at 2 pi i / L; non-periodic rows
            // run from 0 to pi with both ends on points.
            auto xOf = [&](int i, int L) { return periodic ? 2 * pi * i / L : pi * i / (L - 1); };
            auto latOf = [&](size_t j) { return pi / 2 - pi * ((double)j + 0.5) / (double)nj; };
            std::vector<T> field, want;
            double bound = 1e-6; // float rounding of values of size 1
            for (size_t j = 0; j < nj; ++j) {
                int L = rows[j];
                std::vector<T> row;
                for (int i = 0; i < L; ++i) row.push_back((T)smooth(latOf(j), xOf(i, L)));
                field.insert(field.end(), row.begin(), row.end());
                auto w = reference<T>(row, N, periodic, nearest, (T)M);
                want.insert(want.end(), w.begin(), w.end());
                // |f'| <= 2 and |f''| <= 3 along a row; spacing h of the row.
                double h = periodic ? 2 * pi / L : pi / (L - 1);
                bound = std::max(bound, 1e-6 + (nearest ? h / 2 * 2 : h * h / 8 * 3));
            }
            field.resize(std::max(total, regular));
            int ret = 99;
            long blocks = memBlocksInUse();
            Qu<T>::run(field.data(), rows.data(), (int)nj, N, (T)M, &ret, periodic, nearest);
            ASSERT_EQ(ret, 0);
            EXPECT_EQ(memBlocksInUse(), blocks) << "work arrays released";
            field.resize(regular);
            EXPECT_EQ(field, want) << "periodic " << periodic << " nearest " << nearest;

            double worst = 0;
            for (size_t j = 0; j < nj; ++j)
                for (int i = 0; i < N; ++i)
                    worst = std::max(worst, std::fabs(field[j * N + i] - smooth(latOf(j), xOf(i, N))));
            EXPECT_LE(worst, bound) << "periodic " << periodic << " nearest " << nearest;
            EXPECT_GT(worst, 0.0);
        }
}

} // namespace
