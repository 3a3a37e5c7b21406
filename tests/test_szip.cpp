// The szip coder against libaec's szip interface: the coded octets and
// the status must be the same, or packed files would change with the
// coder behind them.
#include "szip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// n samples of the width the coder uses for nbits, big-endian: a smooth
// field with noise, a constant one, or noise alone.
Bytes samples(int nbits, size_t n, int kind, std::mt19937 &rng)
{
    const size_t size = nbits == 8 || nbits == 24 ? 1 : nbits == 16 ? 2 : 4;
    const int bits = nbits == 24 ? 8 : nbits;
    const uint64_t top = bits == 32 ? 0xFFFFFFFFull : (1ull << bits) - 1;
    Bytes b(n * size);
    for (size_t i = 0; i < n; ++i) {
        uint64_t v = kind == 1 ? top / 3
                     : kind == 2 ? rng() & top
                                 : (uint64_t)((double)top * (0.5 + 0.3 * std::sin((double)i * 1e-3))) + rng() % 9;
        v = std::min(v, top);
        for (size_t k = 0; k < size; ++k) b[i * size + k] = (unsigned char)(v >> (8 * (size - 1 - k)));
    }
    return b;
}

struct Coded {
    int status;
    Bytes octets;
};

Coded interface(const Bytes &in, int nbits, size_t capacity)
{
    SZ_com_t p = g1::szipParams(nbits);
    Bytes out(capacity + 1);
    size_t n = capacity;
    int status = SZ_BufftoBuffCompress(out.data(), &n, in.data(), in.size(), &p);
    out.resize(status == SZ_OK ? n : 0);
    return {status, out};
}

Coded ours(const Bytes &in, int nbits, size_t capacity)
{
    Bytes out(capacity + 1, 0xA5);
    size_t n = capacity;
    int status = g1::szipCompress(out.data(), &n, in.data(), in.size(), nbits);
    EXPECT_EQ(out[capacity], 0xA5) << "wrote past the stated capacity";
    out.resize(status == SZ_OK ? n : 0);
    return {status, out};
}

TEST(SzipCoder, SameOctetsAsTheInterfaceForEveryWidthAndLength)
{
    std::mt19937 rng(7);
    for (int nbits : {8, 16, 24, 32})
        for (size_t n : {1ul, 7ul, 8ul, 9ul, 1023ul, 1024ul, 1025ul, 2047ul, 2048ul, 5000ul, 100001ul})
            for (int kind : {0, 1, 2}) {
                const Bytes in = samples(nbits, n, kind, rng);
                const size_t room = in.size() * 2 + 1024;
                const Coded a = interface(in, nbits, room), b = ours(in, nbits, room);
                ASSERT_EQ(a.status, SZ_OK);
                EXPECT_EQ(b.status, a.status) << nbits << " bits, " << n << " samples, kind " << kind;
                EXPECT_TRUE(a.octets == b.octets) << nbits << " bits, " << n << " samples, kind " << kind;
            }
}

TEST(SzipCoder, ReportsAFullOutputAsTheInterfaceDoes)
{
    std::mt19937 rng(11);
    for (int nbits : {8, 16, 24}) {
        const Bytes in = samples(nbits, 70000, 0, rng);
        const size_t exact = interface(in, nbits, in.size() * 2 + 1024).octets.size();
        for (size_t capacity : {(size_t)1, (size_t)100, exact / 2, exact - 1, exact, exact + 1}) {
            const Coded a = interface(in, nbits, capacity), b = ours(in, nbits, capacity);
            EXPECT_EQ(b.status, a.status) << nbits << " bits into " << capacity << " of " << exact;
            EXPECT_TRUE(a.octets == b.octets) << nbits << " bits into " << capacity << " of " << exact;
        }
    }
}

} // namespace
