// The packed GRIB1 form with its whole-record check: round trips octet for
// octet at every width and packing, the large form, the code-128 option,
// damage anywhere in a packed record, what ecCodes makes of one, and
// several threads at once.
#include "grib1.h"
#include "recform.h"
#include "record_util.h"
#include "support.h"
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#ifdef VALMORA_HAVE_ECCODES_API
#include "recpack_util.h"
#endif

using namespace testutil;
using recutil::contains;

namespace {

constexpr size_t kRoom = 240; // padding room after a record

Bytes pds28()
{
    Bytes p(28, 0);
    p[3] = 3;
    p[8] = 130;
    p[11] = 100;
    return p;
}

// A smooth field with a little noise at `bits` bits.
std::vector<uint32_t> field(size_t n, int bits, unsigned seed = 1)
{
    std::vector<uint32_t> v(n);
    const double top = std::ldexp(1.0, bits) - 1;
    unsigned s = seed;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1664525u + 1013904223u;
        const double x = (0.5 + 0.4 * std::sin((double)i / 200.0)) * top + (double)(s >> 29);
        v[i] = (uint32_t)std::min(x, top);
    }
    return v;
}

struct Packed {
    Bytes octets; // the packed record, padded
    int coded = 0;
};

Packed pack(const Bytes &rec, int options = 0)
{
    Packed p;
    p.octets.assign(rec.size() + kRoom, 0xEE);
    const int n = recPackRecord(rec.data(), rec.size(), p.octets.data(), p.octets.size(), options, &p.coded);
    p.octets.resize(n > 0 ? (size_t)n : 0);
    return p;
}

struct Restored {
    Bytes octets;
    int restored = 0;
    std::string err;
};

Restored unpack(const Bytes &packed, size_t room, int options = 0)
{
    Restored r;
    r.octets.assign(room, 0xEE);
    testing::internal::CaptureStderr();
    const int n = recUnpackRecord(packed.data(), packed.size(), r.octets.data(), r.octets.size(), options,
                                  &r.restored);
    r.err = testing::internal::GetCapturedStderr();
    r.octets.resize(n > 0 ? (size_t)n : 0);
    return r;
}

// Packs and restores; the restored octets are the record's, then zeros.
void roundTrip(const Bytes &rec, const std::string &what, bool mustCode = true)
{
    const Packed p = pack(rec);
    ASSERT_FALSE(p.octets.empty()) << what;
    EXPECT_EQ(p.coded, mustCode ? 1 : p.coded) << what;
    const Restored r = unpack(p.octets, rec.size() + kRoom);
    EXPECT_EQ(r.restored, p.coded) << what << r.err;
    ASSERT_GE(r.octets.size(), rec.size()) << what;
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), r.octets.begin())) << what;
    EXPECT_EQ(r.octets.size(), gribPaddedLength(rec.size())) << what;
    if (p.coded) {
        size_t bds = p.octets.size();
        unsigned char *pds, *gds, *bms, *b;
        long len;
        ASSERT_EQ(grib1Sections(const_cast<unsigned char *>(p.octets.data()), (long)p.octets.size(), &pds, &gds, &bms,
                                &b, &len),
                  0)
            << what;
        bds = (size_t)(b - p.octets.data());
        EXPECT_TRUE(g1::formCode(p.octets[bds + 13])) << what;
        EXPECT_EQ(p.octets[bds + 10], 255) << what;
        EXPECT_LE((double)len, 0.96 * (double)rec.size()) << what;
    }
}

TEST(RecordForm, EveryWidthWithAndWithoutPadding)
{
    for (int bits = 1; bits <= 32; ++bits) {
        for (size_t n : {3001u, 40000u}) {
            Bytes bds = simpleBds(field(n, bits, (unsigned)bits), bits);
            // A short field of few bits gains less than the form's header.
            const bool mustCode = n * (size_t)bits >= 8 * 2000;
            roundTrip(grib1(pds28(), {}, {}, bds), format("%d bits, %zu values", bits, n), mustCode);
            // Pad octets and unused bits that are not zero come back too.
            bds.back() = 0xA5;
            bds.push_back(0x5A);
            bds.push_back(0x01);
            bds[3] = (unsigned char)((bds[3] & 0xF0) | 0x0F);
            roundTrip(grib1(pds28(), {}, {}, bds), format("%d bits, %zu values, odd padding", bits, n), mustCode);
        }
    }
}

TEST(RecordForm, IntegerSecondOrderAndSmallRecords)
{
    Bytes bds = simpleBds(field(20000, 12), 12);
    bds[3] |= 0x20; // integer values
    roundTrip(grib1(pds28(), {}, {}, bds), "integer values");
    // Grid-point second-order packing: no n-bit values, coded as octets.
    Bytes second = simpleBds(std::vector<uint32_t>(20000, 77), 8);
    second[3] = 0x40;
    for (size_t i = 11; i < second.size(); i += 97) second[i] = (unsigned char)i;
    roundTrip(grib1(pds28(), {}, {}, second), "second-order");
    // Too few bits, constant fields and noise: copied as read.
    roundTrip(grib1(pds28(), {}, {}, simpleBds(field(100, 16), 16)), "small", false);
    roundTrip(grib1(pds28(), {}, {}, simpleBds({}, 0)), "constant", false);
    std::vector<uint32_t> noise(30000);
    uint64_t s = 88172645463325252ull;
    for (auto &x : noise) s ^= s << 13, s ^= s >> 7, s ^= s << 17, x = (uint32_t)(s & 0xFFFF);
    const Bytes rec = grib1(pds28(), {}, {}, simpleBds(noise, 16));
    const Packed p = pack(rec);
    EXPECT_EQ(p.coded, 0);
    EXPECT_EQ(p.octets.size(), gribPaddedLength(rec.size()));
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), p.octets.begin()));
}

// A large-form record of n values at 8 bits whose top bit never varies
// (7 bits of noise: about 0.88 of its size once coded, so the packed
// record is in the large form too).
Bytes largeRecord(size_t n)
{
    std::vector<uint32_t> v(n);
    uint64_t s = 2463534242ull;
    for (auto &x : v) s ^= s << 13, s ^= s >> 7, s ^= s << 17, x = (uint32_t)(s & 0x7F);
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(v, 8));
    const size_t T = rec.size(), R = (T + 119) / 120 * 120;
    put3(rec, 4, 0x800000u | (uint32_t)(R / 120));
    put3(rec, 8 + 28, (uint32_t)(R - T + 4));
    return rec;
}

TEST(RecordForm, LargeFormBothWays)
{
    // Lengths whose padding to 120 octets stays below 117 octets.
    size_t n = 20u << 20;
    while ((120 - (8 + 28 + 11 + n + n % 2 + 4) % 120) % 120 > 116) ++n;
    const Bytes rec = largeRecord(n);
    ASSERT_GT(rec.size(), 16u << 20);
    const Packed p = pack(rec);
    ASSERT_EQ(p.coded, 1);
    ASSERT_GT(p.octets.size(), 16u << 20) << "the packed record is in the large form too";
    EXPECT_TRUE(p.octets[4] & 0x80);
    const Restored r = unpack(p.octets, rec.size() + kRoom);
    EXPECT_EQ(r.restored, 1) << r.err;
    ASSERT_GE(r.octets.size(), rec.size());
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), r.octets.begin()));
    // Too small a buffer: left packed, with a word.
    const Restored cut = unpack(p.octets, rec.size() - 1);
    EXPECT_EQ(cut.restored, -1);
    EXPECT_TRUE(contains(cut.err, "does not fit")) << cut.err;
}

// A bit of every octet of a packed record flipped in turn (the bit moving
// along): never a record other than the original comes back, and a flip
// the framing survives is reported.
TEST(RecordForm, EveryFlippedBitIsFound)
{
    Bytes gds(32, 0);
    gds[5] = 0; // latitude/longitude grid
    Bytes bms(6 + 3000 / 8, 0xFF);
    const Bytes rec = grib1(pds28(), gds, bms, simpleBds(field(3000, 11), 11));
    const Packed p = pack(rec);
    ASSERT_EQ(p.coded, 1);
    long recLen = 0;
    {
        unsigned char *a, *b, *c, *d;
        grib1Sections(const_cast<unsigned char *>(p.octets.data()), (long)p.octets.size(), &a, &b, &c, &d, &recLen);
    }
    for (size_t at = 0; at < (size_t)recLen; ++at) {
        for (int bit = (int)(at % 8); bit == (int)(at % 8); ++bit) {
            Bytes damaged = p.octets;
            damaged[at] ^= (unsigned char)(1 << bit);
            testing::internal::CaptureStdout();
            const Restored r = unpack(damaged, rec.size() + kRoom);
            testing::internal::GetCapturedStdout();
            ASSERT_NE(r.restored, 1) << "octet " << at << " bit " << bit;
            // Not restored: the record is copied as read, never rebuilt wrongly.
            if (r.restored == -1) {
                EXPECT_TRUE(std::equal(damaged.begin(), damaged.begin() + recLen, r.octets.begin()));
            }
        }
    }
    // The flag alone cleared: the marks contradict it.
    size_t bds = 8 + 28 + gds.size() + bms.size();
    Bytes cleared = p.octets;
    cleared[bds + 3] &= ~0x10;
    const Restored r = unpack(cleared, rec.size() + kRoom);
    EXPECT_EQ(r.restored, -1);
    EXPECT_TRUE(contains(r.err, "damaged")) << r.err;
}

TEST(RecordForm, CompatIsCode128AsRecPackWritesIt)
{
    for (int bits : {8, 12, 16, 24}) {
        const Bytes rec = grib1(pds28(), {}, {}, simpleBds(field(20000, bits), bits));
        const Packed p = pack(rec, VALMORA_PACK_COMPAT);
        Bytes ref(rec.size() + kRoom, 0);
        const int n = recPackCopy(rec.data(), rec.size(), ref.data(), ref.size());
        ref.resize((size_t)n);
        EXPECT_EQ(p.octets, ref) << bits;
        EXPECT_EQ(p.coded, bits % 8 == 0 ? 1 : 0) << bits;
        const Restored r = unpack(p.octets, rec.size() + kRoom);
        EXPECT_EQ(r.restored, p.coded);
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), r.octets.begin())) << bits;
    }
}

TEST(RecordForm, BuffersRefusedWithAWord)
{
    const Bytes rec = grib1(pds28(), {}, {}, simpleBds(field(5000, 16), 16));
    Bytes small(rec.size() - 1);
    testing::internal::CaptureStderr();
    int coded = 7;
    EXPECT_EQ(recPackRecord(rec.data(), rec.size(), small.data(), small.size(), 0, &coded), 0);
    EXPECT_EQ(coded, 0);
    Bytes shared = rec;
    shared.resize(rec.size() * 2);
    EXPECT_EQ(recPackRecord(shared.data(), rec.size(), shared.data() + 8, rec.size(), 0, nullptr), 0);
    EXPECT_EQ(recUnpackRecord(shared.data(), rec.size(), shared.data() + 8, rec.size(), 0, nullptr), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "overlap")) << err;
}

TEST(RecordFormThreads, SeveralRecordsAtOnce)
{
    std::vector<Bytes> recs;
    for (int bits : {5, 12, 16, 24, 31}) recs.push_back(grib1(pds28(), {}, {}, simpleBds(field(30000, bits), bits)));
    std::vector<Bytes> first;
    for (const Bytes &r : recs) first.push_back(pack(r).octets);
    std::vector<std::thread> threads;
    std::vector<int> same(4, 1);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < recs.size(); ++i) {
                Bytes out(recs[i].size() + kRoom), back(recs[i].size() + kRoom);
                const int n = recPackRecord(recs[i].data(), recs[i].size(), out.data(), out.size(), 0, nullptr);
                out.resize((size_t)n);
                const int m = recUnpackRecord(out.data(), out.size(), back.data(), back.size(), 0, nullptr);
                if (out != first[i] || m < (int)recs[i].size() ||
                    !std::equal(recs[i].begin(), recs[i].end(), back.begin()))
                    same[t] = 0;
            }
        });
    for (auto &t : threads) t.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(same[t], 1) << t;
}

#ifdef VALMORA_HAVE_ECCODES_API

TEST(RecordFormEcCodes, FieldsOfEveryPackingComeBack)
{
    using recpackutil::FieldDesc;
    for (int bits : {4, 12, 16, 20, 32}) {
        const FieldDesc descs[] = {
            {"regular_gg_ml_grib1", bits, nullptr, false, 0, 130, 1},
            {"reduced_gg_pl_48_grib1", bits, nullptr, true, 0, 139, 2},
            {"sh_ml_grib1", bits, "spectral_simple", false, 0, 130, 3},
            {"sh_ml_grib1", bits, nullptr, false, 106, 130, 4},
        };
        for (const FieldDesc &d : descs) {
            const Bytes rec = recpackutil::makeRecord(d);
            ASSERT_FALSE(rec.empty()) << d.sample << " " << bits;
            // Spectral coefficients are mostly noise: they only have to come back.
            roundTrip(rec, std::string(d.sample) + " " + std::to_string(bits), d.sample[0] != 's');
        }
    }
}

// ecCodes refuses the values of a packed grid-point record with an error,
// and still reads its other sections. (A packed spectral record it refuses
// whole, and leaks doing so.)
TEST(RecordFormEcCodes, RefusesTheValuesListsTheRest)
{
    using recpackutil::FieldDesc;
    for (const FieldDesc &d : {FieldDesc{"regular_gg_ml_grib1", 12, nullptr, false, 0, 130, 1},
                               FieldDesc{"reduced_gg_pl_48_grib1", 16, nullptr, true, 0, 139, 2}}) {
        const Bytes rec = recpackutil::makeRecord(d);
        Bytes g = rec;
        g[8 + 28 + 3] |= 0x20; // integer values: ecCodes' raw float layout
        for (const Bytes &r : {rec, g}) {
            const Packed p = pack(r);
            if (!p.coded) continue;
            codes_handle *h = codes_handle_new_from_message(nullptr, p.octets.data(), p.octets.size());
            if (!h) continue; // refusing the whole record is refusing the values too
            long centre = 0;
            EXPECT_EQ(codes_get_long(h, "centre", &centre), 0) << d.sample;
            size_t n = 0;
            codes_get_size(h, "values", &n);
            std::vector<double> v(n ? n : 1);
            fflush(stderr);
            testing::internal::CaptureStderr();
            const int err = codes_get_double_array(h, "values", v.data(), &n);
            testing::internal::GetCapturedStderr();
            EXPECT_NE(err, 0) << d.sample;
            codes_handle_delete(h);
        }
    }
}

#endif

} // namespace

// The packed bits of every width and count, against a bit-by-bit reading:
// samples and native values both ways, the bits after the last value zero.
TEST(RecordFormSamples, EveryWidthAndCountBothWays)
{
    std::mt19937 rng(7);
    for (unsigned bits = 1; bits <= 32; ++bits) {
        for (size_t k : {0u, 1u, 7u, 8u, 9u, 31u, 1023u, 1024u, 1025u, 3001u}) {
            const size_t octets = (k * bits + 7) / 8, s = (bits + 7) / 8;
            Bytes packed(octets);
            for (auto &b : packed) b = (unsigned char)rng();
            const unsigned spare = (unsigned)(octets * 8 - k * bits);
            if (spare) packed[octets - 1] &= (unsigned char)(0xFF << spare);
            std::vector<uint32_t> want(k);
            for (size_t i = 0; i < k; ++i)
                for (unsigned j = 0; j < bits; ++j) {
                    const size_t at = i * bits + j;
                    want[i] = want[i] << 1 | (packed[at / 8] >> (7 - at % 8) & 1u);
                }
            std::vector<uint32_t> values(k);
            g1::bitsToValues(values.data(), packed.data(), k, bits);
            EXPECT_EQ(values, want) << bits << " bits, " << k;
            Bytes samples(k * s + 1), back(octets + 1, 0xA5);
            g1::bitsToSamples(samples.data(), packed.data(), k, bits);
            for (size_t i = 0; i < k; ++i) {
                uint32_t v = 0;
                for (size_t b = 0; b < s; ++b) v = v << 8 | samples[i * s + b];
                ASSERT_EQ(v, want[i]) << bits << " bits, value " << i << " of " << k;
            }
            g1::samplesToBits(back.data(), samples.data(), k, bits);
            EXPECT_TRUE(std::equal(packed.begin(), packed.end(), back.begin())) << bits << " bits, " << k;
            EXPECT_EQ(back[octets], 0xA5) << "written past the packed octets";
            std::fill(back.begin(), back.end(), 0xA5);
            g1::valuesToBits(back.data(), want.data(), k, bits);
            EXPECT_TRUE(std::equal(packed.begin(), packed.end(), back.begin())) << bits << " bits, " << k;
            EXPECT_EQ(back[octets], 0xA5) << "written past the packed octets";
        }
    }
}

// A mask of 1 bit per value, in large patches as a land-sea mask lies: its
// octets go to zstd as they stand (code 133), come back octet for octet,
// and the decoder reads the packed record's values as the plain record's.
TEST(RecordForm, MaskOfOneBitCodedAsOctets)
{
    const size_t n = 200000;
    std::vector<uint32_t> mask(n);
    for (size_t i = 0; i < n; ++i) mask[i] = (i / 700 + (i % 1440) / 90) % 3 == 0;
    const Bytes rec = grib1(pds28(), {}, {}, simpleBds(mask, 1));
    const Packed p = pack(rec);
    ASSERT_EQ(p.coded, 1);
    unsigned char *pds, *gds, *bms, *b;
    long len;
    ASSERT_EQ(grib1Sections(const_cast<unsigned char *>(p.octets.data()), (long)p.octets.size(), &pds, &gds, &bms, &b,
                            &len),
              0);
    EXPECT_EQ(b[13], VALMORA_ZIP_ZSTD);
    const Restored r = unpack(p.octets, rec.size() + kRoom);
    ASSERT_EQ(r.restored, 1) << r.err;
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), r.octets.begin()));

    std::vector<double> plain(n), packed(n);
    gribField f{};
    size_t size = n;
    ASSERT_EQ(grib_field_decode_double(rec.data(), rec.size(), 0, &f, plain.data(), &size, -1.0), VALMORA_DECODE_OK);
    size = n;
    ASSERT_EQ(grib_field_decode_double(p.octets.data(), p.octets.size(), 0, &f, packed.data(), &size, -1.0),
              VALMORA_DECODE_OK);
    EXPECT_EQ(std::memcmp(plain.data(), packed.data(), n * sizeof(double)), 0);
}

// 24- and 32-bit values whose low octets carry little (a 16-bit field
// stored wider, as archives often do): the planes coder takes them, and
// they come back octet for octet.
TEST(RecordForm, WideValuesCodedAsPlanes)
{
    for (int bits : {24, 32}) {
        std::vector<uint32_t> v = field(60000, 16, 3);
        for (uint32_t &x : v) x <<= bits - 16;
        const Bytes rec = grib1(pds28(), {}, {}, simpleBds(v, bits));
        const Packed p = pack(rec);
        ASSERT_EQ(p.coded, 1) << bits;
        unsigned char *pds, *gds, *bms, *b;
        long len;
        ASSERT_EQ(grib1Sections(const_cast<unsigned char *>(p.octets.data()), (long)p.octets.size(), &pds, &gds, &bms,
                                &b, &len),
                  0);
        EXPECT_EQ(b[13], VALMORA_ZIP_CCSDS_PLANES) << bits;
        const Restored r = unpack(p.octets, rec.size() + kRoom);
        ASSERT_EQ(r.restored, 1) << bits << r.err;
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), r.octets.begin())) << bits;
    }
}
