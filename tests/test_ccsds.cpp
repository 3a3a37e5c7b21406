// CCSDS coding of samples at every width: what is coded comes back, in
// either output form, and damaged or short streams are refused.
#include "ccsds.h"

#include <libaec.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kGrib2Flags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;

// A smooth field with noise at `bits` bits, as values.
std::vector<uint32_t> field(int bits, size_t n, std::mt19937 &rng)
{
    const uint64_t top = bits == 32 ? 0xFFFFFFFFull : (1ull << bits) - 1;
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double s = (double)top * (0.5 + 0.4 * std::sin((double)i * 7e-3));
        v[i] = (uint32_t)std::min<uint64_t>((uint64_t)s + rng() % 5, top);
    }
    return v;
}

Bytes bigEndian(const std::vector<uint32_t> &v, size_t size)
{
    Bytes b(v.size() * size);
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t k = 0; k < size; ++k) b[i * size + k] = (unsigned char)(v[i] >> (8 * (size - 1 - k)));
    return b;
}

TEST(Ccsds, EveryWidthComesBackAsSamplesAndAsValues)
{
    std::mt19937 rng(19);
    for (int bits = 1; bits <= 32; ++bits) {
        for (size_t n : {1u, 7u, 1000u, 20011u}) {
            const int blockSize = 8 << (bits % 4), rsi = 1 + bits * 3;
            const auto values = field(bits, n, rng);
            const size_t size = ccsdsSampleSize(bits, kGrib2Flags);
            const Bytes in = bigEndian(values, size);
            Bytes coded(in.size() * 2 + 64 * 4 + 64); // a partial block is coded whole
            size_t len = coded.size();
            ASSERT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), bits, kGrib2Flags, blockSize, rsi),
                      kCcsdsOk)
                << bits << " bits, " << n;
            coded.resize(len);

            Bytes back(in.size());
            ASSERT_EQ(ccsdsDecode(back.data(), back.size(), coded.data(), len, n, bits, kGrib2Flags, blockSize,
                                  rsi),
                      kCcsdsOk);
            EXPECT_EQ(back, in) << bits << " bits, " << n;

            std::vector<uint32_t> got(n, 0xDEADBEEF);
            ASSERT_EQ(ccsdsDecodeValues(got.data(), n, coded.data(), len, bits, kGrib2Flags, blockSize, rsi),
                      kCcsdsOk);
            EXPECT_EQ(got, values) << bits << " bits, " << n;
        }
    }
}

TEST(Ccsds, RefusesBadParametersShortOutputAndShortStreams)
{
    std::mt19937 rng(5);
    const auto values = field(12, 4000, rng);
    const Bytes in = bigEndian(values, 2);
    Bytes coded(in.size() * 2);
    size_t len = coded.size();
    EXPECT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), 0, kGrib2Flags, 16, 32), kCcsdsParam);
    EXPECT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), 33, kGrib2Flags, 16, 32), kCcsdsParam);
    EXPECT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), 12, kGrib2Flags, 12, 32), kCcsdsParam);
    EXPECT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), 12, kGrib2Flags, 16, 0), kCcsdsParam);
    EXPECT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size() - 1, 12, kGrib2Flags, 16, 32), kCcsdsParam);
    EXPECT_EQ(len, coded.size()) << "length changed on failure";

    size_t small = 10;
    EXPECT_EQ(ccsdsEncode(coded.data(), &small, in.data(), in.size(), 12, kGrib2Flags, 16, 32), kCcsdsFull);
    ASSERT_EQ(ccsdsEncode(coded.data(), &len, in.data(), in.size(), 12, kGrib2Flags, 16, 32), kCcsdsOk);

    std::vector<uint32_t> got(values.size());
    EXPECT_EQ(ccsdsDecodeValues(got.data(), got.size(), coded.data(), len / 2, 12, kGrib2Flags, 16, 32),
              kCcsdsData);
    EXPECT_EQ(ccsdsDecodeValues(got.data(), got.size(), coded.data(), 0, 12, kGrib2Flags, 16, 32), kCcsdsData);
    Bytes back(in.size() - 2);
    EXPECT_EQ(ccsdsDecode(back.data(), back.size(), coded.data(), len, values.size(), 12, kGrib2Flags, 16, 32),
              kCcsdsParam)
        << "output too small for the count";
}

} // namespace
