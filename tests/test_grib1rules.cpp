// The GRIB1 octet rules that every module shares: the large-record rule at
// its edges, the padded length, sign and magnitude, the data section's
// header by packing and the byte planes.
#include "grib1.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

TEST(Grib1Rules, LargeFormAtItsEdges)
{
    // 69,905 units lie below 0x800000, 69,906 above: the first is no large form.
    EXPECT_EQ(g1::paddedFromIndicator(0x800000u | 69906), 8388720);
    EXPECT_EQ(g1::paddedFromIndicator(0x7FFFFF), 0);
    EXPECT_FALSE(g1::bdsLength(50, g1::paddedFromIndicator(0x800000u | 69905), 1000).large);
    g1::BdsLength b = g1::bdsLength(50, g1::paddedFromIndicator(0x811112), 36);
    EXPECT_TRUE(b.large);
    EXPECT_EQ(36 + b.length + 4, 8388674); // the true record length R - f + 4
    // 121 reads as a plain length, whatever the padded length.
    EXPECT_FALSE(g1::bdsLength(121, 9000000, 1000).large);
    EXPECT_EQ(g1::largeIndicator(16777320), 0x822223u);
    // The exported rule agrees.
    EXPECT_EQ(correct_bdslen(50, 8388720, 1000), 8387670);
    EXPECT_EQ(correct_bdslen(50, 8388600, 1000), 50);
    EXPECT_EQ(correct_bdslen(120, 8388608, 0), 8388488);
}

TEST(Grib1Rules, PaddedLength)
{
    const size_t cases[][2] = {{0, 0},           {1, 8},           {8, 8},
                               {9, 16},          {8388607, 8388608}, {8388608, 8388720},
                               {8388720, 8388720}, {SIZE_MAX, SIZE_MAX}};
    for (const auto &c : cases) EXPECT_EQ(gribPaddedLength(c[0]), c[1]) << c[0];
}

TEST(Grib1Rules, OctetsSignsHeadersAndPlanes)
{
    unsigned char b[8] = {0};
    g1::putSigned3(b, -300000);
    EXPECT_EQ(g1::get3(b), 0x800000u + 300000);
    EXPECT_EQ(g1::getSigned3(b), -300000);
    g1::putSigned2(b, -3);
    EXPECT_EQ(b[0], 0x80);
    EXPECT_EQ(b[1], 3);
    EXPECT_EQ(g1::signMagnitude(0x81, 1), -1);
    g1::put4(b, 0x01020304);
    g1::put4(b + 4, 0x05060708);
    EXPECT_EQ(g1::get8(b), 0x0102030405060708ull);
    EXPECT_EQ(g1::getN(b + 1, 3), 0x020304u);

    EXPECT_EQ(g1::bdsHeaderLength(0x00, 99), 11u);
    EXPECT_EQ(g1::bdsHeaderLength(0x80, 99), 15u);
    EXPECT_EQ(g1::bdsHeaderLength(0xC0, 21), 11u + 2031u); // J = 21
    EXPECT_EQ(g1::bdsHeaderLength(0xC0, 20), 1866u);       // 18 + 4 x 462

    std::vector<unsigned char> values(3 * 5), planes(values.size()), back(values.size());
    for (size_t i = 0; i < values.size(); ++i) values[i] = (unsigned char)(i * 17 + 1);
    g1::planeSplit(planes.data(), values.data(), 5);
    EXPECT_EQ(planes[0], values[0]);
    EXPECT_EQ(planes[5], values[1]);
    EXPECT_EQ(planes[10], values[2]);
    g1::planeJoin(back.data(), planes.data(), 5);
    EXPECT_EQ(back, values);
}

// The planes, sixteen values at a time and one at a time for the rest,
// against the plain definition, for every count around the steps.
TEST(Grib1Rules, BytePlanesOfEveryLength)
{
    std::mt19937 rng(3);
    std::vector<size_t> counts;
    for (size_t k = 0; k <= 80; ++k) counts.push_back(k);
    counts.push_back(100003);
    for (size_t k : counts) {
        std::vector<unsigned char> values(3 * k + 1), planes(3 * k + 1, 0xEE), back(3 * k + 1, 0xEE);
        for (auto &v : values) v = (unsigned char)rng();
        g1::planeSplit(planes.data(), values.data(), k);
        bool same = true;
        for (size_t i = 0; i < k; ++i)
            for (size_t p = 0; p < 3; ++p) same = same && planes[p * k + i] == values[3 * i + p];
        EXPECT_TRUE(same) << k;
        EXPECT_EQ(planes[3 * k], 0xEE) << "written past the planes, k = " << k;
        g1::planeJoin(back.data(), planes.data(), k);
        EXPECT_TRUE(std::equal(values.begin(), values.begin() + (long)(3 * k), back.begin())) << k;
        EXPECT_EQ(back[3 * k], 0xEE) << "written past the values, k = " << k;
    }
}
