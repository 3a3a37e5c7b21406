// CRC-32C by table and by the SSE4.2 instruction: the published check
// values, continuation, and agreement of the two ways at every length and
// alignment; the 16-bit section check and its stand-in for 0.
#include "crc32c.h"
#include "szip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Crc = uint32_t (*)(uint32_t, const void *, size_t);

std::vector<Crc> ways()
{
    std::vector<Crc> w = {crc32cTable, crc32c};
    if (crc32cHaveHardware()) w.push_back(crc32cHardware);
    return w;
}

} // namespace

TEST(Crc32c, KnownValues)
{
    unsigned char zeros[32], ones[32], up[32], down[32];
    memset(zeros, 0, 32);
    memset(ones, 0xFF, 32);
    for (int i = 0; i < 32; ++i) up[i] = (unsigned char)i, down[i] = (unsigned char)(31 - i);
    for (Crc crc : ways()) {
        EXPECT_EQ(crc(0, "123456789", 9), 0xE3069283u);
        EXPECT_EQ(crc(0, "", 0), 0u);
        EXPECT_EQ(crc(0, zeros, 32), 0x8A9136AAu);
        EXPECT_EQ(crc(0, ones, 32), 0x62A8AB43u);
        EXPECT_EQ(crc(0, up, 32), 0x46DD794Eu);
        EXPECT_EQ(crc(0, down, 32), 0x113FDB5Cu);
        EXPECT_EQ(crc(crc(0, "12345", 5), "6789", 4), 0xE3069283u);
    }
#if defined(__x86_64__)
    // Every x86-64 machine this runs on has had SSE4.2 for a decade; the
    // instruction's path must not go untested unnoticed.
    if (!crc32cHaveHardware()) GTEST_SKIP() << "no SSE4.2: only the table was tested";
#endif
}

TEST(Crc32c, WaysAgreeAtEveryLengthAndAlignment)
{
    std::vector<unsigned char> b(300);
    uint32_t s = 12345;
    for (auto &x : b) x = (unsigned char)((s = s * 1103515245u + 12345u) >> 16);
    for (size_t at = 0; at < 9; ++at)
        for (size_t n = 0; at + n <= b.size(); n += 1 + n / 16) {
            uint32_t want = crc32cTable(0, b.data() + at, n);
            for (Crc crc : ways()) ASSERT_EQ(crc(0, b.data() + at, n), want) << at << " " << n;
        }
}

// Large sections go three streams at a time: lengths around the stretches
// of three streams, continued from a CRC, at odd addresses.
TEST(Crc32c, WaysAgreeOnLargeSections)
{
    const size_t stretch = 3 * 4096;
    std::vector<unsigned char> b(4 * stretch + 64);
    uint32_t s = 777;
    for (auto &x : b) x = (unsigned char)((s = s * 1103515245u + 12345u) >> 16);
    for (size_t at : {0, 3})
        for (size_t n : {stretch - 1, stretch, stretch + 1, stretch + 8, 2 * stretch + 5, 4 * stretch + 61}) {
            const uint32_t start = crc32cTable(0, b.data(), at);
            const uint32_t want = crc32cTable(start, b.data() + at, n);
            for (Crc crc : ways()) ASSERT_EQ(crc(start, b.data() + at, n), want) << at << " " << n;
        }
}

TEST(Crc32c, SectionCheckIsNeverZero)
{
    EXPECT_EQ(szipSectionCheck((const unsigned char *)"123456789", 9), 0x9283u);
    // Find a short text whose CRC has zero low bits: its check is 0xFFFF.
    unsigned char t[4] = {0};
    bool found = false;
    for (uint32_t i = 0; i < (1u << 24) && !found; ++i) {
        memcpy(t, &i, 4);
        if ((crc32c(0, t, 4) & 0xFFFF) == 0) {
            found = true;
            EXPECT_EQ(szipSectionCheck(t, 4), 0xFFFFu);
        }
    }
    EXPECT_TRUE(found);
}
