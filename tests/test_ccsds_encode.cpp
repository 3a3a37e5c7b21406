// The project's CCSDS coder against libaec's decoder: every width, block
// size, interval and layout decodes to exactly the samples coded, through
// every option of the format (zero runs over segments, second extension,
// split, no compression); the coded size stays with libaec's on real
// fields; a short output is refused without a write past it.
#include "ccsds.h"
#include "valmora.h"

#include <libaec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using Values = std::vector<uint32_t>;

constexpr int kMsb = AEC_DATA_MSB, kPre = AEC_DATA_PREPROCESS, k3 = AEC_DATA_3BYTE;

uint32_t topOf(int bits) { return bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

Bytes samples(const Values &v, int bits, int flags)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    Bytes b(v.size() * size);
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t k = 0; k < size; ++k) {
            const unsigned shift = (unsigned)(flags & kMsb ? size - 1 - k : k) * 8;
            b[i * size + k] = (unsigned char)(v[i] >> shift);
        }
    return b;
}

struct Case {
    int bits, flags, blockSize, rsi;
};

std::string describe(const Case &c, size_t n)
{
    return std::to_string(c.bits) + " bits, flags " + std::to_string(c.flags) + ", block " +
           std::to_string(c.blockSize) + ", rsi " + std::to_string(c.rsi) + ", " + std::to_string(n) + " samples";
}

// libaec's coder (encode) or decoder on in; the octets out, or an empty
// result when it fails or comes short of `want` octets (decoding).
Bytes aec(bool encode, const Bytes &in, size_t want, const Case &c)
{
    Bytes out(encode ? in.size() * 2 + 1024 : want);
    if (out.empty()) return out;
    aec_stream s{};
    s.bits_per_sample = (unsigned)c.bits;
    s.block_size = (unsigned)c.blockSize;
    s.rsi = (unsigned)c.rsi;
    s.flags = (unsigned)c.flags;
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    if ((encode ? aec_buffer_encode(&s) : aec_buffer_decode(&s)) != AEC_OK || (!encode && s.total_out != want))
        return {};
    out.resize(s.total_out);
    return out;
}

// Codes v with the project's coder, checks that libaec decodes it to v,
// and gives the coded length.
size_t roundTrip(const Values &v, const Case &c)
{
    const Bytes in = samples(v, c.bits, c.flags);
    Bytes coded(in.size() + in.size() / 8 + 1024);
    size_t len = coded.size();
    const int status = ccsdsEncodeOwn(coded.data(), &len, in.data(), in.size(), c.bits, c.flags, c.blockSize, c.rsi);
    EXPECT_EQ(status, kCcsdsOk) << describe(c, v.size());
    if (status != kCcsdsOk) return 0;
    coded.resize(len);
    const Bytes back = aec(false, coded, in.size(), c);
    EXPECT_TRUE(back == in) << describe(c, v.size());
    return len;
}

// A field that walks every option: noise over the whole width (coded as
// it is), a constant stretch, one of zeros, low entropy (steps of 0 and
// 1), a smooth ramp with small noise, the largest sample repeated, and a
// partial block at the end.
Values mixed(int bits, unsigned J, std::mt19937 &rng)
{
    const uint32_t top = topOf(bits);
    Values v;
    auto add = [&](size_t n, auto gen) {
        for (size_t i = 0; i < n; ++i) v.push_back(gen(i) & top);
    };
    add(2 * J, [&](size_t) { return (uint32_t)rng(); });
    add(3 * J + 3, [&](size_t) { return top / 3; });
    add(2 * J, [&](size_t) { return 0u; });
    uint32_t walk = top / 2;
    add(4 * J, [&](size_t) { return walk += rng() % 2; });
    add(5 * J, [&](size_t i) { return (uint32_t)((double)top * (0.3 + 0.2 * std::sin((double)i * 0.05))) + rng() % 3; });
    add(2 * J, [&](size_t) { return top; });
    add(J / 2 + 1, [&](size_t) { return (uint32_t)rng() % 4; });
    return v;
}

// The layouts the coder takes: MSB or not, 3-octet samples or not, with
// and without the preprocessor.
const int kLayouts[] = {kMsb | kPre | k3, kPre, kMsb, 0, kMsb | kPre, k3};

TEST(CcsdsEncode, EveryWidthBlockIntervalAndLayoutDecodesToTheInput)
{
    std::mt19937 rng(121);
    for (int bits = 1; bits <= 32; ++bits)
        for (int J : {8, 16, 32, 64})
            for (int rsi : {1, 2, 3, 128, 4096})
                for (int flags : kLayouts) {
                    if ((flags & k3) && (bits < 17 || bits > 24) && flags != (kMsb | kPre | k3)) continue;
                    const Values v = mixed(bits, (unsigned)J, rng);
                    roundTrip(v, {bits, flags, J, rsi});
                    if (::testing::Test::HasFailure()) return;
                }
}

TEST(CcsdsEncode, LengthsEndingMidBlockAndMidIntervalNoneAndOne)
{
    std::mt19937 rng(7);
    for (int bits : {1, 3, 8, 9, 16, 17, 24, 25, 32})
        for (int J : {8, 16, 32, 64})
            for (int rsi : {1, 2, 3})
                for (size_t n : {(size_t)0, (size_t)1, (size_t)2, (size_t)J - 1, (size_t)J + 1,
                                 (size_t)J * rsi - 1, (size_t)J * rsi + 1, (size_t)J * rsi * 2 + J / 2}) {
                    Values v(n);
                    for (auto &x : v) x = (uint32_t)rng() % 5 * (topOf(bits) / 4);
                    const Case c{bits, kMsb | kPre, J, rsi};
                    if (n == 0) {
                        Bytes coded(8);
                        size_t len = coded.size();
                        EXPECT_EQ(ccsdsEncode(coded.data(), &len, nullptr, 0, bits, c.flags, J, rsi), kCcsdsOk);
                        EXPECT_EQ(len, 0u);
                        continue;
                    }
                    roundTrip(v, c);
                }
}

// Zero blocks in runs of every length that matters: 1 to 5, up to a
// segment's end (the remainder-of-segment code), across segments and
// intervals, and up to the end of the data.
TEST(CcsdsEncode, ZeroRunsOverSegmentsIntervalsAndTheEnd)
{
    for (int J : {8, 16, 32, 64})
        for (int rsi : {1, 3, 64, 100, 128, 4096})
            for (int flags : {kMsb | kPre, kMsb}) {
                const size_t blocks = 64 * 3 + 9;
                Values v(blocks * (size_t)J + 5, 0);
                // Nonzero blocks at chosen places cut the zero run.
                for (size_t b : {0, 2, 4, 7, 11, 17, 63, 64, 66, 127, 129, 191, 200})
                    v[b * (size_t)J + 3] = 9;
                roundTrip(v, {12, flags, J, rsi});
                // All zero, whole segments and a constant that is not zero.
                roundTrip(Values(blocks * (size_t)J, 0), {12, flags, J, rsi});
                roundTrip(Values(blocks * (size_t)J + 1, 4095), {12, flags, J, rsi});
                roundTrip(Values(64 * (size_t)J, 77), {8, flags, J, rsi});
            }
}

// Samples near zero, where the second extension wins, and noise, where
// nothing beats the samples as they are.
TEST(CcsdsEncode, LowEntropyAndNoise)
{
    std::mt19937 rng(3);
    for (int bits : {1, 2, 5, 8, 13, 16, 20, 31, 32})
        for (int J : {8, 16, 32, 64})
            for (int flags : {kMsb | kPre, kPre, kMsb}) {
                Values low(3000), noise(3000);
                for (auto &x : low) x = rng() % 7 == 0 ? (uint32_t)rng() % 2 : 0;
                for (auto &x : noise) x = (uint32_t)rng() & topOf(bits);
                roundTrip(low, {bits, flags, J, 16});
                const size_t len = roundTrip(noise, {bits, flags, J, 16});
                // Noise costs at most its bits (the last block whole) plus
                // the option IDs and the last octet.
                const size_t blocks = (noise.size() + (size_t)J - 1) / (size_t)J;
                EXPECT_LE(len * 8, blocks * (size_t)J * (size_t)bits + blocks * 5 + 8);
            }
}

TEST(CcsdsEncode, BitsAboveTheWidthAreIgnored)
{
    std::mt19937 rng(11);
    Values v(1000);
    for (auto &x : v) x = (uint32_t)rng();
    Values masked = v;
    for (auto &x : masked) x &= topOf(10);
    const Bytes a = samples(v, 10, kMsb | kPre), b = samples(masked, 10, kMsb | kPre);
    Bytes ca(4096), cb(4096);
    size_t la = ca.size(), lb = cb.size();
    ASSERT_EQ(ccsdsEncodeOwn(ca.data(), &la, a.data(), a.size(), 10, kMsb | kPre, 16, 8), kCcsdsOk);
    ASSERT_EQ(ccsdsEncodeOwn(cb.data(), &lb, b.data(), b.size(), 10, kMsb | kPre, 16, 8), kCcsdsOk);
    EXPECT_TRUE(la == lb && std::equal(ca.begin(), ca.begin() + (long)la, cb.begin()));
}

// Every output length short of the stream is refused with kCcsdsFull and
// nothing written past it; the exact length is enough. ccsdsEncode leaves
// the flags of libaec's own (signed samples) to libaec.
TEST(CcsdsEncode, ShortOutputsAreRefusedWithoutAWritePastThem)
{
    constexpr unsigned char kGuard = 0xA5;
    constexpr size_t kGuardOctets = 16;
    std::mt19937 rng(5);
    for (int bits : {4, 12, 24, 32}) {
        for (int J : {8, 64}) {
            const Case c{bits, kMsb | kPre | k3, J, 3};
            const Values v = mixed(bits, (unsigned)J, rng);
            const Bytes in = samples(v, bits, c.flags);
            Bytes whole(in.size() * 2 + 1024);
            size_t full = whole.size();
            ASSERT_EQ(ccsdsEncode(whole.data(), &full, in.data(), in.size(), bits, c.flags, J, 3), kCcsdsOk);
            for (size_t cap = 0; cap <= full; ++cap) {
                Bytes out(cap + kGuardOctets, kGuard);
                size_t len = cap;
                const int status = ccsdsEncode(out.data(), &len, in.data(), in.size(), bits, c.flags, J, 3);
                ASSERT_EQ(status, cap < full ? kCcsdsFull : kCcsdsOk) << describe(c, v.size()) << ", room " << cap;
                EXPECT_EQ(len, cap < full ? cap : full);
                EXPECT_TRUE(std::all_of(out.begin() + (long)cap, out.end(), [](unsigned char x) { return x == kGuard; }))
                    << "written past " << cap;
                if (cap == full) {
                    EXPECT_TRUE(std::equal(out.begin(), out.begin() + (long)full, whole.begin()));
                }
            }
        }
    }

    Values v(500);
    for (auto &x : v) x = (uint32_t)rng() % 100;
    const int flags = kMsb | kPre | AEC_DATA_SIGNED;
    const Bytes in = samples(v, 16, flags);
    Bytes ours(4096);
    size_t len = ours.size();
    ASSERT_EQ(ccsdsEncode(ours.data(), &len, in.data(), in.size(), 16, flags, 16, 4), kCcsdsOk);
    EXPECT_EQ(len, aec(true, in, 0, {16, flags, 16, 4}).size());
    EXPECT_EQ(ccsdsEncodeOwn(ours.data(), &len, in.data(), in.size(), 16, flags, 16, 4), kCcsdsParam);
}

#ifdef VALMORA_HAVE_ECCODES_API
// The integers of a real GRIB1 field repacked by ecCodes at `bits` bits in
// simple packing, read from its data section.
std::vector<Values> realFields(const std::string &file, long bits)
{
    std::vector<Values> out;
    FILE *f = fopen(file.c_str(), "rb");
    if (!f) return out;
    int err = 0;
    while (codes_handle *h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) {
        size_t plen = strlen("grid_simple");
        codes_set_string(h, "packingType", "grid_simple", &plen);
        codes_set_long(h, "setBitsPerValue", bits);
        const void *m = nullptr;
        size_t len = 0;
        codes_get_message(h, &m, &len);
        Bytes r((const unsigned char *)m, (const unsigned char *)m + len);
        codes_handle_delete(h);
        unsigned char *pds, *gds, *bms, *bds;
        long total = 0;
        if (r[7] != 1 || grib1Sections(r.data(), (long)r.size(), &pds, &gds, &bms, &bds, &total) != 0 ||
            (bds[3] & 0xF0) || bds[10] != bits)
            continue;
        const size_t data = (size_t)(bds - r.data()) + 11, count = ((size_t)total - 4 - data) * 8 / (size_t)bits;
        Values v(count);
        uint64_t acc = 0;
        unsigned have = 0;
        const unsigned char *p = r.data() + data;
        for (auto &x : v) {
            while (have < (unsigned)bits) acc = acc << 8 | *p++, have += 8;
            have -= (unsigned)bits;
            x = (uint32_t)(acc >> have) & topOf((int)bits);
        }
        out.push_back(std::move(v));
    }
    fclose(f);
    return out;
}
#endif

// On real fields at several widths the stream is never larger than
// libaec's by more than 0.5 %, for every block size.
TEST(CcsdsEncode, SizeOnRealFieldsKeepsWithLibaec)
{
#ifndef VALMORA_HAVE_ECCODES_API
    GTEST_SKIP() << "needs ecCodes' C API";
#else
    const std::string dir = "/usr/share/doc/python-grib-doc/examples/";
    size_t fields = 0;
    for (const auto &[file, bits] : std::vector<std::pair<std::string, long>>{{"rotated_ll.grib1", 4},
                                                                               {"rotated_ll.grib1", 12},
                                                                               {"rotated_ll.grib1", 24},
                                                                               {"cl00010000_ecoclimap_rot.grib1", 12},
                                                                               {"regular_latlon_surface.grib1", 16}})
        for (const Values &v : realFields(dir + file, bits)) {
            ++fields;
            for (int J : {8, 16, 32, 64}) {
                const Case c{(int)bits, kMsb | kPre | k3, J, 128};
                const size_t ours = roundTrip(v, c), theirs = aec(true, samples(v, c.bits, c.flags), 0, c).size();
                EXPECT_LE((double)ours, (double)theirs * 1.005) << file << ": " << describe(c, v.size());
            }
        }
    if (fields == 0) GTEST_SKIP() << "python-grib-doc's examples are not installed";
#endif
}

} // namespace
