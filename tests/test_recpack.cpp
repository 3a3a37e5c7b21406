// The szip coder: the compressed form octet by octet (checked against libaec
// directly), the threshold and the cases left alone, the safety of recUnpack
// on damaged input, and round trips of real ecCodes records.
#include "crc32c.h"
#include "szip.h"
#include "grib1.h"
#include "support.h"
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <thread>

extern "C" {
#include <szlib.h>
}

#ifdef VALMORA_HAVE_ECCODES_API
#include "recpack_util.h"
#endif

using namespace testutil;

namespace {

constexpr size_t room = 1000;

Bytes pds28(int parameter = 130)
{
    Bytes p(28, 0);
    p[3] = 3; // table version
    p[8] = (unsigned char)parameter;
    p[11] = 100; // level type octet used in messages
    return p;
}

// A smooth field, easily compressed: a slow sine plus a ramp.
std::vector<uint32_t> smooth(size_t n, int bits, double phase = 0)
{
    std::vector<uint32_t> v(n);
    double top = std::ldexp(1.0, bits) - 1;
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint32_t)((0.5 + 0.45 * std::sin(phase + (double)i / 300.0)) * top);
    return v;
}

std::vector<uint32_t> randomValues(size_t n, int bits)
{
    std::vector<uint32_t> v(n);
    uint64_t s = 88172645463325252ull;
    for (auto &x : v) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        x = (uint32_t)(s & ((bits == 32) ? 0xFFFFFFFFull : ((1ull << bits) - 1)));
    }
    return v;
}

struct Packed {
    Bytes buf;    // the record buffer (record + room)
    int result;   // recPack's result
    size_t bds;   // BDS offset
};

Packed pack(const Bytes &rec)
{
    Packed p{rec, 0, 0};
    p.buf.resize(rec.size() + room, 0xEE);
    Bytes work(p.buf.size());
    p.result = recPack(p.buf.data(), p.buf.size(), work.data(), work.size());
    p.bds = 8 + get3(rec, 8);
    if (rec[15] & 0x80) p.bds += get3(rec, p.bds);
    if (rec[15] & 0x40) p.bds += get3(rec, p.bds);
    return p;
}

// recUnpack as the program calls it: the destination holds a copy.
Bytes unpack(const Bytes &packed, size_t n, int *result = nullptr, size_t destRoom = 100)
{
    Bytes src(packed.begin(), packed.begin() + (long)n);
    size_t unzipped = 0;
    EXPECT_EQ(gribGetZip((long)n, src.data(), &unzipped), 128);
    Bytes dst = src;
    dst.resize(std::max(unzipped + destRoom, n));
    int r = recUnpack(dst.data(), dst.size(), src.data(), src.size());
    if (result) *result = r;
    return dst;
}

// Equal records apart from the data section's unused-bit count.
void expectSameRecord(const Bytes &a, const Bytes &b, size_t bds)
{
    ASSERT_GE(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (i == bds + 3)
            ASSERT_EQ(a[i] & 0xF0, b[i] & 0xF0);
        else
            ASSERT_EQ(a[i], b[i]) << "octet " << i;
}

Bytes szDecompress(const unsigned char *in, size_t n, size_t out, int bits)
{
    SZ_com_t p{176, bits, 8, 1024};
    Bytes o(out);
    size_t len = out;
    EXPECT_EQ(SZ_BufftoBuffDecompress(o.data(), &len, in, n, &p), 0);
    EXPECT_EQ(len, out);
    return o;
}

} // namespace

TEST(RecPack, SzipFormOctetByOctet)
{
    // 10,000 16-bit values and more, until both parities of the compressed
    // length were seen: an odd section gets one zero octet and flag bits 8.
    bool seen[2] = {false, false};
    for (size_t k = 0; k < 24 && !(seen[0] && seen[1]); ++k) {
        size_t nv = 10000 + 7 * k, D = 2 * nv;
        Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(nv, 16, (double)k), 16));
        Packed p = pack(rec);
        const unsigned char *bds = p.buf.data() + p.bds;
        unsigned clen = get3(p.buf, p.bds + 20), bdslen = get3(p.buf, p.bds);
        bool padded = (23 + clen) % 2 == 1;
        seen[padded] = true;
        EXPECT_LT(clen, 0.95 * (double)D);
        EXPECT_EQ(bdslen, 23 + clen + padded);
        EXPECT_EQ(bds[3], 0x10 | (padded ? 8 : 0));
        EXPECT_TRUE(!padded || bds[bdslen - 1] == 0);
        EXPECT_EQ(bds[10], 16);
        // The check of the section before compression, never 0.
        uint32_t crc = crc32c(0, rec.data() + p.bds, get3(rec, p.bds)) & 0xFFFF;
        EXPECT_EQ((uint32_t)(bds[11] << 8 | bds[12]), crc ? crc : 0xFFFFu);
        EXPECT_EQ(bds[13], 128);
        EXPECT_EQ(get3(p.buf, p.bds + 14), rec.size());
        EXPECT_EQ(get3(p.buf, p.bds + 17), D);
        EXPECT_EQ(0, memcmp(bds + bdslen, "7777", 4));
        size_t total = p.bds + bdslen + 4;
        EXPECT_EQ(get3(p.buf, 4), total);
        EXPECT_EQ((size_t)p.result, (total + 7) / 8 * 8);
        EXPECT_TRUE(std::all_of(&p.buf[total], &p.buf[0] + p.result, [](unsigned char c) { return c == 0; }));
        // The stream is plain szip of the packed values.
        Bytes data = szDecompress(bds + 23, clen, D, 16);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), rec.begin() + (long)p.bds + 11));
        expectSameRecord(rec, unpack(p.buf, total), p.bds);
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(RecPack, RecordsLeftAsTheyAre)
{
    // Random data don't gain 5 %; too few data bits; a constant field.
    Bytes cases[] = {
        grib1(pds28(), {}, {}, simpleBds(randomValues(5000, 16), 16)),
        grib1(pds28(), {}, {}, simpleBds(smooth(127, 16), 16)), // 2032 data bits
        grib1(pds28(), {}, {}, simpleBds({}, 0)),
        grib1(pds28(), {}, {}, simpleBds(smooth(5000, 16), 16)),
    };
    // 15 unused bits: three octets follow the whole values, and a section
    // rebuilt from them would be two octets short of the stated length.
    cases[3][8 + 28 + 3] = 15;
    for (const Bytes &rec : cases) {
        Packed p = pack(rec);
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), p.buf.begin()));
        EXPECT_GE((size_t)p.result, rec.size());
        EXPECT_LT((size_t)p.result, rec.size() + 8);
        for (size_t i = rec.size(); i < (size_t)p.result; ++i) {
            EXPECT_EQ(p.buf[i], 0);
        }
    }
    // Already compressed: compressing again must not touch it.
    Packed once = pack(grib1(pds28(), {}, {}, simpleBds(smooth(4000, 16), 16)));
    Bytes first(once.buf.begin(), once.buf.begin() + get3(once.buf, 4));
    Packed twice = pack(first);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), twice.buf.begin()));
}

TEST(RecPack, ThresholdIsStrictlyFivePercent)
{
    // Search fields of 1,000 16-bit values (D = 2,000) for the compressed
    // lengths 1,900 (exactly 0.95 D: refused) and 1,899 (accepted).
    bool found[2] = {false, false};
    for (size_t t = 0; t < 32000 && !(found[0] && found[1]); ++t) {
        size_t k = 850 + t % 150, m = 1 + t / 150; // random prefix, then a sawtooth
        std::vector<uint32_t> v = randomValues(1000, 16);
        for (size_t i = k; i < v.size(); ++i) v[i] = 1000 + (uint32_t)(i % m);
        Bytes bds = simpleBds(v, 16);
        SZ_com_t par{176, 16, 8, 1024};
        Bytes out(4000);
        size_t clen = out.size();
        ASSERT_EQ(SZ_BufftoBuffCompress(out.data(), &clen, bds.data() + 11, 2000, &par), 0);
        if (clen != 1900 && clen != 1899) continue;
        found[clen == 1899] = true;
        Bytes rec = grib1(pds28(), {}, {}, bds);
        Packed p = pack(rec);
        EXPECT_EQ(p.buf[p.bds + 13] == 128, clen == 1899) << clen;
    }
    EXPECT_TRUE(found[0] && found[1]);
}

TEST(RecPack, UnsupportedWidthMessageOncePerProcess)
{
    TempDir tmp;
    std::string log = tmp.file("stderr");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(5000, 12), 12));
        for (int i = 0; i < 3; ++i) {
            Packed p = pack(rec);
            if (p.result != (int)rec.size() || !std::equal(rec.begin(), rec.end(), p.buf.begin())) _exit(3);
        }
        _exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Bytes text = readFile(log);
    EXPECT_EQ(std::string(text.begin(), text.end()), "GRIB szip supports only 8, 16, 24 and 32 bit data!\n");
}

TEST(RecPack, ComplexPackingHeaderMovesAndComesBack)
{
    const unsigned J = 21, X = 7 + 4 * (J + 1) * (J + 2);
    ASSERT_EQ(X, 2031u);
    Bytes bds = simpleBds(smooth(6000, 16), 16);
    Bytes extra(X);
    for (unsigned i = 0; i < X; ++i) extra[i] = (unsigned char)(i * 37 + 11);
    extra[4] = (unsigned char)J; // BDS octet 16
    bds.pop_back(); // 12,000 data octets exactly, so the section stays even
    bds.insert(bds.begin() + 11, extra.begin(), extra.end());
    bds[3] = 0xC0;
    Bytes rec = grib1(pds28(), {}, {}, bds);
    Packed p = pack(rec);
    ASSERT_EQ(p.buf[p.bds + 13], 128);
    EXPECT_TRUE(std::equal(extra.begin(), extra.end(), p.buf.begin() + (long)p.bds + 23));
    EXPECT_EQ(get3(p.buf, p.bds + 17), 12000u);
    EXPECT_EQ(p.buf[p.bds + 3] & 0xF0, 0xD0);
    expectSameRecord(rec, unpack(p.buf, get3(p.buf, 4)), p.bds);
}

TEST(RecPack, WideValuesAndScratchReleased)
{
    long blocks = memBlocksInUse();
    // 24 bits: three byte planes of 8-bit samples.
    const size_t k = 9001;
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(k, 24), 24));
    Packed p = pack(rec);
    ASSERT_EQ(p.buf[p.bds + 13], 128);
    Bytes planes = szDecompress(p.buf.data() + p.bds + 23, get3(p.buf, p.bds + 20), 3 * k, 8);
    for (size_t i = 0; i < k; i += 97)
        for (size_t b = 0; b < 3; ++b) {
            EXPECT_EQ(planes[b * k + i], rec[p.bds + 11 + 3 * i + b]);
        }
    expectSameRecord(rec, unpack(p.buf, get3(p.buf, 4)), p.bds);

    for (int bits : {8, 32}) {
        Bytes r = grib1(pds28(), {}, {}, simpleBds(smooth(7000, bits), bits));
        Packed q = pack(r);
        ASSERT_EQ(q.buf[q.bds + 13], 128) << bits;
        expectSameRecord(r, unpack(q.buf, get3(q.buf, 4)), q.bds);
    }
    EXPECT_EQ(memBlocksInUse(), blocks);
}

TEST(RecPack, LargeFormIsNotCompressed)
{
    // N = 69,906 units of 120 octets, correction 50: true length R - 46.
    const size_t R = 69906 * 120, T = R - 46;
    Bytes pds = pds28();
    Bytes rec = grib1(pds, {}, {}, simpleBds(smooth(8, 16), 16));
    rec.resize(T + room, 0);
    rec[4] = 0x81, rec[5] = 0x11, rec[6] = 0x12;
    size_t bds = 8 + 28;
    put3(rec, bds, 50);
    rec[bds + 10] = 16;
    memcpy(&rec[T - 4], "7777", 4);
    Bytes before = rec;
    Bytes work(rec.size());
    EXPECT_EQ(recPack(rec.data(), rec.size(), work.data(), work.size()), (int)R);
    EXPECT_TRUE(rec == before);
}

TEST(RecPack, GetZipCodes)
{
    Bytes plain = grib1(pds28(), {}, {}, simpleBds(smooth(4000, 16), 16));
    size_t out = 77;
    EXPECT_EQ(gribGetZip((long)plain.size(), plain.data(), &out), 0);
    EXPECT_EQ(out, 0u);
    Packed p = pack(plain);
    EXPECT_EQ(gribGetZip((long)p.result, p.buf.data(), &out), 128);
    EXPECT_EQ(out, plain.size());
    // Another code is reported with no length.
    p.buf[p.bds + 13] = 130;
    EXPECT_EQ(gribGetZip((long)p.result, p.buf.data(), &out), 130);
    EXPECT_EQ(out, 0u);

    Bytes g2 = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 20, '7', '7', '7', '7'};
    out = 55;
    EXPECT_EQ(gribGetZip((long)g2.size(), g2.data(), &out), 0);
    EXPECT_EQ(out, 55u);
}

TEST(RecUnpack, DamagedOrOversizedRecordsStayCompressed)
{
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(8000, 16), 16));
    Packed p = pack(rec);
    size_t n = get3(p.buf, 4);
    Bytes packed(p.buf.begin(), p.buf.begin() + (long)n);
    auto check = [&](Bytes src, size_t destSize, const char *what) {
        Bytes dst = src;
        dst.resize(destSize, 0xAB);
        Bytes guard = dst;
        int r = recUnpack(dst.data(), destSize, src.data(), src.size());
        EXPECT_EQ(r, (int)src.size()) << what;
        EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin())) << what;
        EXPECT_TRUE(std::equal(guard.begin() + (long)src.size(), guard.end(), dst.begin() + (long)src.size()))
            << what;
    };
    // The true restored size does not fit: nothing is written past the room given.
    check(packed, rec.size() - 1, "room too small");
    // The stored length claims more than the buffer holds.
    Bytes claim = packed;
    put3(claim, p.bds + 17, 0xFFFFFE);
    check(claim, rec.size() + 100, "claimed length");
    // A compressed length beyond the section.
    Bytes beyond = packed;
    put3(beyond, p.bds + 20, 0xFFFFFF);
    check(beyond, rec.size() + 100, "compressed length");
    // Cut compressed data: libaec yields a short output and says nothing.
    Bytes cut = packed;
    unsigned clen = get3(cut, p.bds + 20);
    put3(cut, p.bds + 20, clen / 2);
    check(cut, rec.size() + 100, "cut data");

    // A stored record length that disagrees with the restored record: the
    // record stays packed, as read.
    Bytes wrong = packed;
    put3(wrong, p.bds + 14, (uint32_t)rec.size() + 8);
    check(wrong, rec.size() + 100, "stored record length");
}

#ifdef VALMORA_HAVE_ECCODES_API

namespace {

std::vector<double> decode(const Bytes &rec)
{
    codes_handle *h = codes_handle_new_from_message(nullptr, rec.data(), rec.size());
    std::vector<double> v;
    if (!h) return v;
    size_t n = 0;
    codes_get_size(h, "values", &n);
    v.resize(n);
    codes_get_double_array(h, "values", v.data(), &n);
    codes_handle_delete(h);
    return v;
}

void roundTrip(const Bytes &rec, const std::string &what, bool mustShrink)
{
    ASSERT_FALSE(rec.empty()) << what;
    Packed p = pack(rec);
    size_t n = get3(p.buf, 4);
    bool compressed = p.buf[p.bds + 3] & 0x10;
    if (mustShrink) {
        EXPECT_TRUE(compressed && n < rec.size()) << what;
    }
    Bytes back = compressed ? unpack(p.buf, n) : p.buf;
    expectSameRecord(rec, back, p.bds);
    EXPECT_EQ(get3(back, 4), rec.size()) << what;
    std::vector<double> a = decode(rec), b = decode(Bytes(back.begin(), back.begin() + (long)rec.size()));
    EXPECT_TRUE(a == b) << what;
}

} // namespace

TEST(RecPackEcCodes, EverySampleComesBack)
{
    const char *dir = "/usr/share/eccodes/samples";
    DIR *d = opendir(dir);
    if (!d) GTEST_SKIP() << "no ecCodes samples in " << dir;
    int count = 0;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.find("grib1.tmpl") == std::string::npos && name != "GRIB1.tmpl") continue;
        Bytes rec = readFile(std::string(dir) + "/" + name);
        if (rec.size() < 8 || rec[7] != 1) continue;
        rec.resize(get3(rec, 4)); // the files hold octets after the record
        roundTrip(rec, name, false);
        ++count;
    }
    closedir(d);
    EXPECT_GT(count, 20);
}

TEST(RecPackEcCodes, FieldsOfEveryWidthAndPacking)
{
    using recpackutil::FieldDesc;
    for (int bits : {8, 12, 16, 24, 32}) {
        bool szip = bits != 12;
        const FieldDesc descs[] = {
            {"regular_gg_ml_grib1", bits, nullptr, false, 0, 130, 1},
            {"reduced_gg_pl_48_grib1", bits, nullptr, true, 0, 139, 2},
            {"sh_ml_grib1", bits, "spectral_simple", false, 0, 130, 3},
            {"sh_ml_grib1", bits, nullptr, false, 106, 130, 4},
        };
        for (const FieldDesc &s : descs) {
            // Spectral coefficients at 8 or 32 bits are mostly noise to
            // szip: those only have to come back.
            bool shrink = szip && (s.sample[0] != 's' || bits == 16 || bits == 24);
            roundTrip(recpackutil::makeRecord(s), std::string(s.sample) + " " + std::to_string(bits), shrink);
        }
    }
}

#endif

// ---- The check, the guards and the buffers -------------------------------------

namespace {

struct Capture {
    std::string err;
    int result = 0;
};

// recUnpack into a destination holding a copy; dst receives the result.
Capture unpackInto(const Bytes &src, Bytes &dst, size_t extra)
{
    dst = src;
    dst.resize(src.size() + extra, 0xAB);
    Bytes copy = src;
    Capture c;
    testing::internal::CaptureStderr();
    c.result = recUnpack(dst.data(), dst.size(), copy.data(), copy.size());
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

Bytes packedRecord(int bits, size_t nv, Packed *out = nullptr)
{
    Packed p = pack(grib1(pds28(), {}, {}, simpleBds(smooth(nv, bits), bits)));
    if (out) *out = p;
    return Bytes(p.buf.begin(), p.buf.begin() + get3(p.buf, 4));
}

bool contains(const std::string &s, const char *part) { return s.find(part) != std::string::npos; }

} // namespace

TEST(RecUnpack, CheckCatchesDamageInTheCompressedData)
{
    Packed p;
    Bytes packed = packedRecord(16, 8000, &p);
    const size_t start = p.bds + 23, clen = get3(packed, p.bds + 20);
    int caught = 0, flips = 0;
    for (size_t i = 0; i < clen; i += clen / 97 + 1, ++flips) {
        Bytes bad = packed;
        bad[start + i] ^= (unsigned char)(1u << (i % 8));
        Bytes dst;
        Capture c = unpackInto(bad, dst, 17000);
        // Either szip fails or the check sees it; never a silent change.
        ASSERT_EQ(c.result, (int)bad.size()) << i;
        ASSERT_TRUE(std::equal(bad.begin(), bad.end(), dst.begin())) << i;
        ASSERT_TRUE(contains(c.err, "Warning (recUnpack)")) << i;
        caught += contains(c.err, "data section check differs");
    }
    EXPECT_GT(caught, 0) << flips;

    // A wrong check alone: the record stays packed too.
    Bytes wrong = packed;
    wrong[p.bds + 12] ^= 1;
    Bytes dst;
    Capture c = unpackInto(wrong, dst, 17000);
    EXPECT_TRUE(contains(c.err, "data section check differs")) << c.err;
    EXPECT_TRUE(std::equal(wrong.begin(), wrong.end(), dst.begin()));
}

TEST(RecUnpack, RecordsWithoutCheckRestoreAsBefore)
{
    Packed p;
    Bytes packed = packedRecord(24, 6001, &p);
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(6001, 24), 24));
    packed[p.bds + 11] = packed[p.bds + 12] = 0; // as written before the check
    Bytes dst;
    Capture c = unpackInto(packed, dst, rec.size());
    EXPECT_EQ(c.err, "");
    EXPECT_EQ((size_t)c.result, (rec.size() + 7) / 8 * 8);
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), dst.begin()));
}

// libaec writes past its output when asked for part of a sample: the stored
// data length must be a whole number of samples, checked before szip runs.
TEST(RecUnpack, WholeSampleGuard)
{
    for (int bits : {16, 24, 32}) {
        Packed p;
        Bytes packed = packedRecord(bits, 3000, &p);
        const uint32_t D = get3(packed, p.bds + 17);
        for (uint32_t part : {1u, 2u}) {
            if (part >= (uint32_t)bits / 8) continue;
            Bytes bad = packed;
            put3(bad, p.bds + 17, D - part);
            size_t len = 11 + D - part; // and a record length to match, so only the guard stands
            put3(bad, p.bds + 14, (uint32_t)(p.bds + len + len % 2 + 4));
            bad[p.bds + 11] = bad[p.bds + 12] = 0; // no check to fall back on
            Bytes dst;
            Capture c = unpackInto(bad, dst, 20000);
            EXPECT_TRUE(contains(c.err, "damaged szip data section")) << bits << " " << part << ": " << c.err;
            EXPECT_EQ(c.result, (int)bad.size());
            EXPECT_TRUE(std::equal(bad.begin(), bad.end(), dst.begin()));
            EXPECT_TRUE(std::all_of(dst.begin() + (long)bad.size(), dst.end(), [](unsigned char x) { return x == 0xAB; }))
                << bits << " " << part;
        }
    }
}

TEST(RecUnpack, OverlappingBuffersAreRefused)
{
    Bytes packed = packedRecord(16, 5000);
    Bytes buf = packed;
    buf.resize(packed.size() * 3, 0);
    Bytes before = buf;
    testing::internal::CaptureStderr();
    int same = recUnpack(buf.data(), buf.size(), buf.data(), packed.size());
    // The source in the middle of the destination.
    std::copy(packed.begin(), packed.end(), buf.begin() + 8);
    Bytes moved = buf;
    int inside = recUnpack(buf.data(), buf.size(), buf.data() + 8, packed.size());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(same, 0);
    EXPECT_EQ(inside, 0);
    EXPECT_TRUE(buf == moved);
    EXPECT_TRUE(contains(err, "overlap")) << err;
}

namespace {

// A large-form record whose padded length (69906 x 120 octets) lies 46
// octets past its end.
Bytes largeFormRecord()
{
    const size_t R = 69906 * 120, T = R - 46;
    Bytes big = grib1(pds28(), {}, {}, simpleBds(smooth(8, 16), 16));
    big.resize(T, 0);
    big[4] = 0x81, big[5] = 0x11, big[6] = 0x12;
    put3(big, 8 + 28, 50);
    memcpy(&big[T - 4], "7777", 4);
    return big;
}

} // namespace

// A large-form record is returned padded to R with zeros where the buffer
// has room, whatever the buffer held after the record; by the copy too.
TEST(RecPack, LargeFormPaddedWithZerosWhereThereIsRoom)
{
    const Bytes big = largeFormRecord();
    const size_t T = big.size(), R = 69906 * 120;
    Bytes work(64);
    for (size_t size : {R + 10, R - 20}) {
        Bytes buf = big;
        buf.resize(size, 0x5A);
        const int n = recPack(buf.data(), buf.size(), work.data(), work.size());
        EXPECT_EQ(n, (int)std::min(size, R)) << size;
        EXPECT_TRUE(std::equal(big.begin(), big.end(), buf.begin()));
        EXPECT_TRUE(std::all_of(buf.begin() + (long)T, buf.begin() + n, [](unsigned char c) { return c == 0; }));
        if (size > R) {
            EXPECT_EQ(buf[R], 0x5A);
        }

        Bytes copy(size, 0x77);
        EXPECT_EQ(recPackCopy(big.data(), big.size(), copy.data(), copy.size()), n);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, copy.begin()));
    }
}

TEST(RecPack, NeverReturnsMoreThanTheBufferHolds)
{
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(5000, 16), 16));
    Bytes work(rec.size() * 2);
    // The record is longer than the buffer given.
    for (size_t cut : {rec.size() - 1, rec.size() / 2}) {
        Bytes buf = rec;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = recPack(buf.data(), cut, work.data(), work.size());
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_LE((size_t)r, cut);
    }
    // A large-form record whose padded length lies beyond the buffer.
    Bytes big = largeFormRecord();
    EXPECT_EQ(recPack(big.data(), big.size(), work.data(), work.size()), (int)big.size());
}

TEST(RecPack, OnlyRecordsThatComeBackExactlyAreCompressed)
{
    // 16-bit values with an odd data length: one pad octet, unused bits 8.
    Bytes good = grib1(pds28(), {}, {}, simpleBds(smooth(5001, 16), 16));
    const size_t bds = 8 + 28, last = good.size() - 5;
    ASSERT_EQ(good[bds + 3], 8);
    // Another unused-bit count, or a pad octet that is not zero, would not
    // be restored as it stood.
    Bytes fewerUnused = good, nonzeroPad = good;
    fewerUnused[bds + 3] = 3;
    nonzeroPad[last] = 0x5A;
    EXPECT_EQ(pack(good).buf[bds + 13], 128);
    for (const Bytes *rec : {&fewerUnused, &nonzeroPad}) {
        Packed p = pack(*rec);
        EXPECT_TRUE(std::equal(rec->begin(), rec->end(), p.buf.begin()));
    }
}

TEST(SzipRestoreSection, CodesAndTheSectionAsItStood)
{
    Packed p;
    Bytes packed = packedRecord(16, 4000, &p);
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(4000, 16), 16));
    const size_t plainLen = get3(rec, p.bds), bdslen = packed.size() - p.bds - 4;
    const unsigned char *bds = packed.data() + p.bds;
    Bytes out(plainLen + 10, 0xCD);
    size_t n = 99;
    EXPECT_EQ(szipRestoreSection(bds, bdslen, out.data(), out.size(), &n), 0);
    EXPECT_EQ(n, plainLen);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + (long)n, rec.begin() + (long)p.bds));
    EXPECT_EQ(out[n], 0xCD);

    EXPECT_EQ(szipRestoreSection(bds, bdslen, out.data(), plainLen - 1, &n), SZIP_NO_ROOM);
    EXPECT_EQ(n, plainLen);
    EXPECT_EQ(szipRestoreSection(rec.data() + p.bds, plainLen, out.data(), out.size(), &n), SZIP_NOT_PACKED);
    EXPECT_EQ(szipRestoreSection(bds, 20, out.data(), out.size(), &n), SZIP_NOT_PACKED);
    Bytes bad(bds, bds + bdslen);
    put3(bad, 20, (uint32_t)bdslen); // compressed data beyond the section
    EXPECT_EQ(szipRestoreSection(bad.data(), bad.size(), out.data(), out.size(), &n), SZIP_DAMAGED);
    bad.assign(bds, bds + bdslen);
    bad[30] ^= 0x10;
    int status = szipRestoreSection(bad.data(), bad.size(), out.data(), out.size(), &n);
    EXPECT_TRUE(status == SZIP_CHECK_MISMATCH || status == SZIP_DECODE_FAILED) << status;
    put3(bad, 17, get3(bad, 17) + 4000); // more data than szip gives back
    bad[30] ^= 0x10;
    out.resize(out.size() + 4000);
    EXPECT_EQ(szipRestoreSection(bad.data(), bad.size(), out.data(), out.size(), &n), SZIP_DECODE_FAILED);
}

// Every reader asks one test whether a data section is in the szip form: a
// flagged section shorter than the 23 octets of the layout is not, whatever
// octet 14 holds (gribGetZip used to read its lengths from 17 octets on),
// and a complex-packed one too short to hold J is damaged, not plain.
TEST(SzipForm, OneTestAtEveryLength)
{
    for (size_t len : {12, 14, 17, 20, 22, 23, 24, 30})
        for (unsigned code : {128u, 130u}) {
            Bytes bds(len, 0);
            bds[3] = g1::kBdsSzip;
            bds[10] = 16;
            if (len > g1::kSzipCodeAt) bds[g1::kSzipCodeAt] = (unsigned char)code;
            if (len >= 17) put3(bds, g1::kSzipRecordLengthAt, 1000);
            Bytes rec = grib1(pds28(), {}, {}, bds);
            const unsigned char *b = rec.data() + 36;
            const bool holds = len >= g1::kSzipHeader;
            SCOPED_TRACE(testing::Message() << len << " octets, code " << code);
            EXPECT_EQ(g1::szipCode(b, len), holds ? code : 0u);
            EXPECT_EQ(g1::szipForm(b, len), holds && code == VALMORA_ZIP_SZIP);
            size_t before = 7;
            EXPECT_EQ(gribGetZip((long)rec.size(), rec.data(), &before), holds ? (int)code : 0);
            EXPECT_EQ(before, holds && code == VALMORA_ZIP_SZIP ? 1000u : 0u);
            size_t n;
            EXPECT_EQ(szipRestoreSection(b, len, nullptr, 0, &n), holds && code == VALMORA_ZIP_SZIP ? SZIP_DAMAGED
                                                                                                     : SZIP_NOT_PACKED);
            // The decoder's headers: the szip form, or further flags it refuses.
            int isec0[2], isec1[VALMORA_ISEC1_SIZE], isec3[2], isec4[VALMORA_ISEC4_SIZE];
            double fsec3[2] = {0, 0};
            EXPECT_EQ(grib_decode_double(rec.data(), rec.size(), isec0, isec1, nullptr, nullptr, nullptr, nullptr,
                                         isec3, fsec3, isec4, nullptr, nullptr),
                      holds && code == VALMORA_ZIP_SZIP ? VALMORA_DECODE_OK : VALMORA_DECODE_UNSUPPORTED);
        }
    for (size_t len : {23, 27, 28}) {
        Bytes bds(len, 0);
        bds[3] = g1::kBdsSzip | g1::kBdsSpectral | g1::kBdsComplex;
        bds[10] = 16;
        bds[g1::kSzipCodeAt] = VALMORA_ZIP_SZIP;
        size_t n;
        EXPECT_EQ(szipRestoreSection(bds.data(), len, nullptr, 0, &n), SZIP_DAMAGED) << len;
    }
}

// Several threads pack and restore records of their own at once, through
// every width and the check (.ci/run runs this under ThreadSanitizer).
TEST(SzipCoderThreads, PackAndRestoreDifferentRecordsAtOnce)
{
    const int widths[] = {8, 16, 24, 32};
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &widths, &failures] {
            for (int round = 0; round < 10; ++round) {
                int bits = widths[(t + round) % 4];
                Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(3000 + 100 * (size_t)t, bits, t + round), bits));
                Bytes buf = rec, work(rec.size());
                buf.resize(rec.size() + room, 0);
                // In place, or from the record into a buffer apart.
                int n = round % 2 ? recPack(buf.data(), buf.size(), work.data(), work.size())
                                  : recPackCopy(rec.data(), rec.size(), buf.data(), buf.size());
                if (n <= 0 || buf[8 + 28 + 13] != 128) {
                    ++failures;
                    continue;
                }
                Bytes src(buf.begin(), buf.begin() + g1::get3(buf.data() + 4));
                Bytes dst = src;
                dst.resize(rec.size() + 100);
                recUnpack(dst.data(), dst.size(), src.data(), src.size());
                if (!std::equal(rec.begin(), rec.end(), dst.begin())) ++failures;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

namespace {

struct Outcome {
    int result;
    Bytes octets; // the first `result` octets of the buffer
    std::string out, err;
};

// recPack in place on the record followed by zeros, as the program hands
// it records; recPackCopy from the record alone into a buffer of the same
// size that holds something else.
Outcome inPlace(const Bytes &rec, size_t extra)
{
    Bytes buf = rec, work(rec.size() + extra);
    buf.resize(rec.size() + extra, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = recPack(buf.data(), buf.size(), work.data(), work.size());
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    buf.resize(r > 0 ? (size_t)r : 0);
    return {r, buf, out, err};
}

Outcome copied(const Bytes &rec, size_t extra)
{
    const Bytes before = rec;
    Bytes buf(rec.size() + extra, 0xEE);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = recPackCopy(rec.data(), rec.size(), buf.data(), buf.size());
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(rec == before) << "the source was written";
    buf.resize(r > 0 ? (size_t)r : 0);
    return {r, buf, out, err};
}

} // namespace

TEST(RecPackCopy, SameAsInPlaceForEveryKindOfRecord)
{
    std::vector<Bytes> cases;
    for (int bits : {8, 16, 24, 32}) cases.push_back(grib1(pds28(), {}, {}, simpleBds(smooth(7001, bits), bits)));
    cases.push_back(grib1(pds28(), {}, {}, simpleBds(randomValues(5000, 16), 16))); // not worth it
    cases.push_back(grib1(pds28(), {}, {}, simpleBds(smooth(127, 16), 16)));        // too few bits
    cases.push_back(grib1(pds28(), {}, {}, simpleBds(smooth(5000, 12), 12)));       // a width szip skips
    cases.push_back(grib1(pds28(), {}, {}, simpleBds({}, 0)));
    Bytes unused15 = grib1(pds28(), {}, {}, simpleBds(smooth(5000, 16), 16));
    unused15[8 + 28 + 3] = 15; // would not come back as it stood
    cases.push_back(unused15);
    Bytes damaged = grib1(pds28(), {}, {}, simpleBds(smooth(3000, 16), 16));
    put3(damaged, 8 + 28, get3(damaged, 8 + 28) - 2); // the section ends before "7777"
    cases.push_back(damaged);
    cases.push_back(Bytes(cases[1].begin(), cases[1].begin() + (long)cases[1].size() / 2)); // cut
    Bytes packed = inPlace(cases[1], 256).octets;
    packed.resize(get3(packed, 4));
    cases.push_back(packed); // already in the szip form
    Bytes edition0 = cases[1];
    edition0.erase(edition0.begin() + 4, edition0.begin() + 8);
    edition0[3] = 'B';
    cases.push_back(Bytes(edition0));
    cases.push_back(largeFormRecord());

    // The message on widths szip does not take comes once per process:
    // out of the way before the comparison.
    copied(cases[6], 0);
    for (size_t k = 0; k < cases.size(); ++k)
        for (size_t extra : {(size_t)0, (size_t)7, (size_t)256}) {
            const Outcome a = inPlace(cases[k], extra), b = copied(cases[k], extra);
            EXPECT_EQ(b.result, a.result) << "case " << k << ", room " << extra;
            EXPECT_TRUE(b.octets == a.octets) << "case " << k << ", room " << extra;
            // The locator's messages name the octets it was given: the
            // record alone, for the copy.
            if (extra > 0) continue;
            EXPECT_EQ(b.out, a.out) << "case " << k;
            EXPECT_EQ(b.err, a.err) << "case " << k;
        }
}

TEST(RecPackCopy, RefusesOverlapAndShortDestinations)
{
    Bytes rec = grib1(pds28(), {}, {}, simpleBds(smooth(5000, 16), 16));
    Bytes buf(2 * rec.size(), 0xEE);
    std::copy(rec.begin(), rec.end(), buf.begin());
    testing::internal::CaptureStderr();
    EXPECT_EQ(recPackCopy(buf.data(), rec.size(), buf.data() + 100, rec.size()), 0);
    Bytes small(rec.size() - 1, 0xEE);
    EXPECT_EQ(recPackCopy(rec.data(), rec.size(), small.data(), small.size()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("overlap"), std::string::npos) << err;
    EXPECT_NE(err.find("not compressed"), std::string::npos) << err;
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char c) { return c == 0xEE; }));
}

TEST(RecUnpackCopy, SameAsRecUnpackOnACopy)
{
    Packed p;
    std::vector<Bytes> cases;
    for (int bits : {8, 16, 24, 32}) cases.push_back(packedRecord(bits, 7001));
    Bytes packed = packedRecord(16, 8000, &p);
    cases.push_back(packed);
    Bytes flipped = packed, wrongCheck = packed, longer = packed;
    flipped[p.bds + 23 + 500] ^= 0x10;  // damage in the compressed data
    wrongCheck[p.bds + 12] ^= 1;        // a check that does not match
    longer[p.bds + 18] ^= 0x01;         // a stored data length szip won't give
    cases.push_back(flipped);
    cases.push_back(wrongCheck);
    cases.push_back(longer);
    cases.push_back(grib1(pds28(), {}, {}, simpleBds(smooth(3000, 16), 16))); // no szip data section
    cases.push_back(Bytes(packed.begin(), packed.begin() + (long)packed.size() / 2)); // cut
    for (size_t k = 0; k < cases.size(); ++k)
        for (size_t extra : {(size_t)0, (size_t)100, (size_t)20000}) {
            const Bytes &src = cases[k];
            Bytes a;
            testing::internal::CaptureStdout();
            Capture want = unpackInto(src, a, extra);
            Bytes b(src.size() + extra, 0x5C);
            testing::internal::CaptureStderr();
            int got = recUnpackCopy(src.data(), src.size(), b.data(), b.size());
            std::string err = testing::internal::GetCapturedStderr();
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(got, want.result) << "case " << k << ", room " << extra;
            EXPECT_EQ(err, want.err) << "case " << k << ", room " << extra;
            if (got > 0 && got == want.result) {
                EXPECT_TRUE(std::equal(a.begin(), a.begin() + got, b.begin())) << "case " << k << ", room " << extra;
            }
        }
    // Buffers that overlap are refused before anything is written.
    Bytes buf = packed;
    buf.resize(3 * packed.size());
    testing::internal::CaptureStderr();
    EXPECT_EQ(recUnpackCopy(buf.data(), packed.size(), buf.data() + 10, 2 * packed.size()), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "overlap"));
}
