// The unpack loops against a reference written bit by bit: every width,
// starting codes and bit offsets that are and are not whole octets, runs
// long enough for the vector loops and their tails, and codes past the end
// of the data, which read as zero bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "unpack.h"

namespace {

// Code i of `bits` bits from bit `at` on, one bit at a time; 0 past the end.
uint32_t codeAt(const std::vector<unsigned char> &d, uint64_t at, int bits)
{
    uint32_t u = 0;
    for (int b = 0; b < bits; ++b, ++at) {
        const unsigned bit = at / 8 < d.size() ? d[at / 8] >> (7 - at % 8) & 1 : 0;
        u = u << 1 | bit;
    }
    return u;
}

std::vector<unsigned char> noise(size_t n)
{
    std::vector<unsigned char> d(n);
    uint32_t s = 2463534242u;
    for (auto &x : d) {
        s ^= s << 13, s ^= s >> 17, s ^= s << 5;
        x = (unsigned char)s;
    }
    return d;
}

template <typename T> void checkWidth(int bits)
{
    const auto data = noise(1000);
    const PackedRun r = packedRun(data.data(), data.size(), -12.5, -3, 2);
    const size_t all = data.size() * 8 / (size_t)bits;
    std::vector<T> out(all + 40), plain(all + 40);
    for (uint64_t offset : std::vector<uint64_t>{0, 3, 8, (uint64_t)bits, 5 * (uint64_t)bits, 101}) {
        const size_t n = all + 20 - (size_t)(offset / (unsigned)bits); // the last 20 or so past the end
        unpackValuesAt(r, bits, offset, n, out.data());
        for (size_t i = 0; i < n; ++i) {
            const double u = codeAt(data, offset + (uint64_t)i * (unsigned)bits, bits);
            const T want = (T)((u * std::ldexp(1.0, -3) + -12.5) * decimalFactor(2));
            ASSERT_EQ(out[i], want) << bits << " bits, offset " << offset << ", code " << i;
        }
    }
    // The fast and plain loops agree from any starting code.
    for (size_t first : {0, 1, 7, 13}) {
        const size_t n = all - first;
        unpackValues(r, bits, first, n, out.data());
        unpackValuesPlain(r, bits, first, n, plain.data());
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], plain[i]) << bits << " bits from " << first << ", " << i;
    }
}

TEST(Unpack, ValuesAtEveryWidthAndOffset)
{
    for (int bits = 1; bits <= 32; ++bits) {
        checkWidth<double>(bits);
        checkWidth<float>(bits);
    }
}

TEST(Unpack, RawCodesAndTheDecimalFactor)
{
    const auto data = noise(64);
    std::vector<uint32_t> out(600);
    for (int bits : {0, 1, 5, 11, 16, 23, 31, 32})
        for (uint64_t offset : std::vector<uint64_t>{0, 6, 64}) {
            const size_t n = bits ? (data.size() * 8 - offset) / (unsigned)bits + 3 : 10;
            unpackCodes(data.data(), data.size(), offset, bits, n, out.data());
            for (size_t i = 0; i < n; ++i)
                ASSERT_EQ(out[i], codeAt(data, offset + (uint64_t)i * (unsigned)bits, bits)) << bits << " " << i;
        }
    EXPECT_EQ(decimalFactor(0), 1.0);
    EXPECT_EQ(decimalFactor(2), 1.0 / 10.0 / 10.0);
    EXPECT_EQ(decimalFactor(-3), 1000.0);
}

} // namespace
