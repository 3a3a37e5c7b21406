// The library's own CCSDS decoder against libaec: streams that libaec codes
// decode to libaec's own samples, through the decoder itself (no deferring
// to libaec) for every width, block size, interval and flag; every option of
// the coder is met; short, damaged and random streams never read or write
// outside their buffers and give libaec's answer.
#include "ccsds.h"

#include <libaec.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Flag sets a writer uses: GRIB2's 5.42, little-endian, signed, without the
// predictor, the restricted option set (up to 4 bits).
constexpr int kFlagSets[] = {
    AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE,
    AEC_DATA_PREPROCESS,
    AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_SIGNED,
    AEC_DATA_SIGNED | AEC_DATA_3BYTE,
    AEC_DATA_MSB,
    AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_RESTRICTED,
    AEC_RESTRICTED | AEC_DATA_SIGNED,
};

// The kinds of data that drive the coder to each of its options.
enum Kind { kSmooth, kConstant, kLowEntropy, kNoise, kSteps, kMixed, kKinds };

uint64_t topOf(int bits) { return bits == 32 ? 0xFFFFFFFFull : (1ull << bits) - 1; }

// n values of `bits` bits: a sinusoid with noise, a constant, small steps
// with long flat stretches, uniform noise, steps whose size changes every
// 64 values (so that every k of the split option pays), or a run of each
// in turn.
std::vector<uint32_t> values(Kind kind, int bits, size_t n, std::mt19937 &rng)
{
    const uint64_t top = topOf(bits);
    std::vector<uint32_t> v(n);
    uint64_t walk = top / 3, amplitude = 0;
    for (size_t i = 0; i < n; ++i) {
        Kind k = kind == kMixed ? (Kind)(i / 1500 % kMixed) : kind;
        switch (k) {
        case kSteps:
            if (i % 64 == 0) amplitude = (1ull << (i / 64 % (unsigned)bits)) - 1;
            walk = (walk + (((uint64_t)rng() << 32 | rng()) & amplitude)) & top;
            v[i] = (uint32_t)walk;
            break;
        case kSmooth: {
            const double s = (double)top * (0.5 + 0.45 * std::sin((double)i * 3e-3));
            v[i] = (uint32_t)std::min<uint64_t>((uint64_t)s + rng() % (bits > 4 ? 9 : 2), top);
            break;
        }
        case kConstant: v[i] = (uint32_t)(top / 5); break;
        case kLowEntropy:
            if (rng() % 16 == 0) walk = std::min<uint64_t>(top, walk + rng() % 3);
            if (rng() % 16 == 0 && walk > 0) walk -= 1;
            v[i] = (uint32_t)walk;
            break;
        default: v[i] = (uint32_t)(((uint64_t)rng() << 32 | rng()) & top); break;
        }
    }
    return v;
}

// The values as samples of the layout `flags` asks for.
Bytes samples(const std::vector<uint32_t> &v, int bits, int flags)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    Bytes b(v.size() * size);
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t k = 0; k < size; ++k) {
            const size_t shift = (flags & AEC_DATA_MSB) ? size - 1 - k : k;
            b[i * size + k] = (unsigned char)(v[i] >> (8 * shift));
        }
    return b;
}

aec_stream aecStream(int bits, int flags, int blockSize, int rsi)
{
    aec_stream s{};
    s.bits_per_sample = (unsigned)bits;
    s.block_size = (unsigned)blockSize;
    s.rsi = (unsigned)rsi;
    s.flags = (unsigned)flags;
    return s;
}

Bytes encode(const Bytes &in, int bits, int flags, int blockSize, int rsi)
{
    Bytes out(in.size() * 2 + 1024);
    aec_stream s = aecStream(bits, flags, blockSize, rsi);
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    EXPECT_EQ(aec_buffer_encode(&s), AEC_OK);
    out.resize(s.total_out);
    return out;
}

// How far libaec gets with a stream. When the count ends a block, libaec
// goes on into the next one and may complain of what it finds there; its
// samples are then not to be trusted.
enum Outcome { kFewer, kAllThenError, kAll };

Outcome aecOutcome(const unsigned char *src, size_t n, size_t count, int bits, int flags, int blockSize, int rsi,
                   Bytes &out)
{
    out.assign(count * ccsdsSampleSize(bits, flags), 0);
    aec_stream s = aecStream(bits, flags, blockSize, rsi);
    s.next_in = src;
    s.avail_in = n;
    s.next_out = out.data();
    s.avail_out = out.size();
    const int status = aec_buffer_decode(&s);
    if (s.total_out != out.size()) return kFewer;
    return status == AEC_OK ? kAll : kAllThenError;
}

// libaec's samples of a stream, or none when it does not give all count.
bool aecDecode(const unsigned char *src, size_t n, size_t count, int bits, int flags, int blockSize, int rsi,
               Bytes &out)
{
    return aecOutcome(src, n, count, bits, flags, blockSize, rsi, out) == kAll;
}

std::string what(int bits, int flags, int blockSize, int rsi, size_t n, int kind)
{
    return std::to_string(bits) + " bits, flags " + std::to_string(flags) + ", block " + std::to_string(blockSize) +
           ", rsi " + std::to_string(rsi) + ", " + std::to_string(n) + " samples of kind " + std::to_string(kind);
}

// Decodes a stream libaec wrote with the own decoder (which must take it),
// as samples and as values, and through the public pair; all must equal
// libaec's samples. Adds the options met to `census`.
void expectSame(const Bytes &coded, size_t count, int bits, int flags, int blockSize, int rsi,
                const std::string &label, CcsdsCensus *census = nullptr)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    Bytes want;
    ASSERT_TRUE(aecDecode(coded.data(), coded.size(), count, bits, flags, blockSize, rsi, want)) << label;

    // Guard octets on both sides of every output catch a write outside it.
    constexpr size_t kGuard = 16;
    Bytes got(count * size + 2 * kGuard, 0xA5);
    ASSERT_EQ(ccsdsDecodeOwn(got.data() + kGuard, count, coded.data(), coded.size(), bits, flags, blockSize, rsi),
              kCcsdsOk)
        << label;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + kGuard)) << label;
    for (size_t k = 0; k < kGuard; ++k)
        ASSERT_TRUE(got[k] == 0xA5 && got[got.size() - 1 - k] == 0xA5) << label;

    Bytes pub(count * size);
    ASSERT_EQ(ccsdsDecode(pub.data(), pub.size(), coded.data(), coded.size(), count, bits, flags, blockSize, rsi),
              kCcsdsOk)
        << label;
    EXPECT_EQ(pub, want) << label;

    // As values: what libaec gives in native samples of that size.
    std::vector<uint32_t> mine(count + 2, 0x5A5A5A5Au), viaPublic(count);
    const size_t valueSize = size == 3 ? 4 : size;
    ASSERT_EQ(ccsdsDecodeOwnValues(mine.data() + 1, count, coded.data(), coded.size(), bits, flags, blockSize, rsi,
                                   valueSize),
              kCcsdsOk)
        << label;
    EXPECT_TRUE(mine.front() == 0x5A5A5A5Au && mine.back() == 0x5A5A5A5Au) << label;
    ASSERT_EQ(ccsdsDecodeValues(viaPublic.data(), count, coded.data(), coded.size(), bits, flags, blockSize, rsi),
              kCcsdsOk)
        << label;
    EXPECT_TRUE(std::equal(viaPublic.begin(), viaPublic.end(), mine.begin() + 1)) << label;

    if (census) {
        CcsdsCensus c;
        ASSERT_EQ(ccsdsCensusOf(&c, count, coded.data(), coded.size(), bits, flags, blockSize, rsi), kCcsdsOk);
        census->zeroRuns += c.zeroRuns;
        census->ros += c.ros;
        census->second += c.second;
        census->uncompressed += c.uncompressed;
        for (int k = 0; k < 32; ++k) census->split[k] += c.split[k];
    }
}

TEST(CcsdsDecode, EveryWidthBlockSizeIntervalAndFlagAsLibaec)
{
    std::mt19937 rng(42);
    for (int flags : kFlagSets)
        for (int bits = 1; bits <= ((flags & AEC_RESTRICTED) ? 4 : 32); ++bits) {
            const int blockSize = 8 << ((bits + flags) % 4);
            const int rsi = std::vector<int>{1, 2, 3, 128, 4096}[(size_t)(bits + flags / 4) % 5];
            for (size_t n : {0u, 1u, 9u, 4100u}) {
                const int kind = (int)(rng() % kKinds);
                const Bytes in = samples(values((Kind)kind, bits, n, rng), bits, flags);
                const Bytes coded = encode(in, bits, flags, blockSize, rsi);
                if (n == 0) {
                    EXPECT_EQ(ccsdsDecodeOwn(nullptr, 0, coded.data(), coded.size(), bits, flags, blockSize, rsi),
                              kCcsdsOk);
                    continue;
                }
                expectSame(coded, n, bits, flags, blockSize, rsi, what(bits, flags, blockSize, rsi, n, kind));
            }
        }
}

// Each option at every width that has it, in every block size: zero-block
// runs to the end of a segment and shorter ones, the second extension, no
// compression, and every k of the split option.
TEST(CcsdsDecode, EveryOptionIsMetAndDecoded)
{
    std::mt19937 rng(7);
    constexpr int flags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;
    for (int bits : {1, 2, 3, 4, 5, 8, 11, 12, 16, 17, 24, 25, 31, 32}) {
        CcsdsCensus total{};
        for (int blockSize : {8, 16, 32, 64})
            for (int kind = 0; kind < kKinds; ++kind)
                for (int rsi : {3, 100, 128}) {
                    // Lengths that end mid-block and mid-interval.
                    const size_t n = 64 * 200 + 13;
                    const Bytes in = samples(values((Kind)kind, bits, n, rng), bits, flags);
                    const Bytes coded = encode(in, bits, flags, blockSize, rsi);
                    expectSame(coded, n, bits, flags, blockSize, rsi, what(bits, flags, blockSize, rsi, n, kind),
                               &total);
                }
        const std::string label = std::to_string(bits) + " bits";
        EXPECT_GT(total.zeroRuns, 0u) << label;
        EXPECT_GT(total.ros, 0u) << label;
        EXPECT_GT(total.second, 0u) << label;
        EXPECT_GT(total.uncompressed, 0u) << label;
        // Every k that the option identifiers hold and that beats sending
        // the samples raw (one bit holds nothing to split).
        const int idLen = bits > 16 ? 5 : bits > 8 ? 4 : 3;
        const int kTop = std::min(bits - 2, (1 << idLen) - 3);
        for (int k = 0; k <= kTop; ++k) EXPECT_GT(total.split[k], 0u) << label << ", k " << k;
    }
}

// Whatever the octets, the public decoders give libaec's samples when
// libaec decodes all count, and kCcsdsData when it gives fewer; the own
// decoder gives the same samples or defers. When libaec complains only
// past the last sample either answer may come, with the samples before the
// last as libaec gives them for one sample fewer. Each input lies in a buffer of its exact size, so
// the sanitizers see any read past it.
void expectAsLibaec(const Bytes &stream, size_t count, int bits, int flags, int blockSize, int rsi,
                    const std::string &label)
{
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[stream.size() ? stream.size() : 1]);
    std::copy(stream.begin(), stream.end(), exact.get());
    Bytes want;
    const Outcome aec = aecOutcome(exact.get(), stream.size(), count, bits, flags, blockSize, rsi, want);
    const size_t size = ccsdsSampleSize(bits, flags);
    Bytes got(count * size);
    const int status = ccsdsDecode(got.data(), got.size(), exact.get(), stream.size(), count, bits, flags,
                                   blockSize, rsi);
    if (aec == kAllThenError)
        ASSERT_TRUE(status == kCcsdsOk || status == kCcsdsData) << label;
    else
        ASSERT_EQ(status, aec == kAll ? kCcsdsOk : kCcsdsData) << label;
    size_t sure = aec == kAll ? want.size() : 0;
    if (aec == kAllThenError && count > 1 &&
        aecOutcome(exact.get(), stream.size(), count - 1, bits, flags, blockSize, rsi, want) == kAll)
        sure = want.size();
    if (status == kCcsdsOk) {
        EXPECT_TRUE(std::equal(want.begin(), want.begin() + (long)sure, got.begin())) << label;
    }
    const std::unique_ptr<unsigned char[]> own(new unsigned char[count * size]);
    const int mine = ccsdsDecodeOwn(own.get(), count, exact.get(), stream.size(), bits, flags, blockSize, rsi);
    ASSERT_TRUE(mine == kCcsdsDefer || (mine == kCcsdsOk && aec != kFewer)) << label << ": " << mine;
    if (mine == kCcsdsOk) {
        EXPECT_TRUE(std::equal(want.begin(), want.begin() + (long)sure, own.get())) << label;
    }
}

TEST(CcsdsDecode, ShortDamagedAndRandomStreamsGiveLibaecsAnswer)
{
    std::mt19937 rng(99);
    constexpr int flags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;
    // Truncated at every length, and each octet flipped in turn.
    for (int bits : {3, 12, 24, 32})
        for (int kind : {kSmooth, kNoise, kMixed}) {
            const size_t n = 700;
            const int blockSize = bits == 12 ? 8 : 32, rsi = 3;
            const Bytes coded = encode(samples(values((Kind)kind, bits, n, rng), bits, flags), bits, flags,
                                       blockSize, rsi);
            for (size_t len = 0; len < coded.size(); ++len)
                expectAsLibaec(Bytes(coded.begin(), coded.begin() + (long)len), n, bits, flags, blockSize, rsi,
                               what(bits, flags, blockSize, rsi, n, kind) + ", cut to " + std::to_string(len));
            for (size_t at = 0; at < coded.size(); ++at) {
                Bytes flipped = coded;
                flipped[at] ^= (unsigned char)(1u << (at % 8));
                expectAsLibaec(flipped, n, bits, flags, blockSize, rsi,
                               what(bits, flags, blockSize, rsi, n, kind) + ", flipped at " + std::to_string(at));
            }
        }
    // Random octets under every flag set, width and blocking.
    for (int round = 0; round < 3000; ++round) {
        const int flagSet = kFlagSets[rng() % (sizeof kFlagSets / sizeof *kFlagSets)];
        const int bits = 1 + (int)(rng() % ((flagSet & AEC_RESTRICTED) ? 4 : 32));
        const int blockSize = 8 << (rng() % 4), rsi = 1 + (int)(rng() % 130);
        Bytes junk(rng() % 200);
        for (auto &o : junk) o = (unsigned char)(rng() % 4 == 0 ? 0 : rng());
        expectAsLibaec(junk, 1 + rng() % 300, bits, flagSet, blockSize, rsi,
                       "random round " + std::to_string(round));
    }
}

} // namespace
