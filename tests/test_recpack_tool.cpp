// The recpack / recunpack program: name and argument rules, exit statuses,
// padding, the refusals that protect data, archives of mixed records, a
// large record, and damaged input.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <regex>
#include <unistd.h>

#ifdef VALMORA_HAVE_ECCODES_API
#include "recpack_util.h"
#endif

using namespace testutil;

namespace {

const std::string build = VALMORA_BUILD_DIR;
// These tests are of the code-128 form, which --compat keeps as it was.
const std::string recpackBin = build + "/recpack";
const std::string recpack = recpackBin + " --compat";
const std::string recunpack = build + "/recunpack";

using Result = ProgramResult;

Bytes pds28()
{
    Bytes p(28, 0);
    p[8] = 130;
    return p;
}

Bytes smoothRecord(size_t n, int bits)
{
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint32_t)(30000 + 20000 * std::sin((double)i / 200.0));
    return grib1(pds28(), {}, {}, simpleBds(v, bits));
}

// The records of a file, found independently: "GRIB" then the length from
// the indicator (edition 2: 64 bits; edition 1 large form: from the units
// of 120 less the correction in the data section).
std::vector<Bytes> records(const Bytes &f)
{
    std::vector<Bytes> out;
    size_t i = 0;
    while (i + 16 <= f.size()) {
        if (memcmp(&f[i], "GRIB", 4) != 0) {
            ++i;
            continue;
        }
        uint64_t len = get3(f, i + 4);
        if (f[i + 7] == 2) {
            len = 0;
            for (int k = 8; k < 16; ++k) len = len << 8 | f[i + k];
        } else if (len & 0x800000) {
            size_t off = 8 + get3(f, i + 8);
            unsigned flag = f[i + 15];
            if (flag & 0x80) off += get3(f, i + off);
            if (flag & 0x40) off += get3(f, i + off);
            unsigned corr = get3(f, i + off);
            if (corr <= 120) len = (len & 0x7FFFFF) * 120 - corr + 4;
        }
        if (len < 8 || i + len > f.size()) {
            ++i;
            continue;
        }
        out.emplace_back(f.begin() + (long)i, f.begin() + (long)(i + len));
        i += len;
    }
    return out;
}

// Equal apart from the low four bits of the data section's flag octet
// (edition 1), which the restored section may set differently.
bool sameRecord(const Bytes &a, const Bytes &b)
{
    if (a.size() != b.size()) return false;
    size_t flag = 0;
    if (a[7] == 1) {
        flag = 8 + get3(a, 8);
        if (a[15] & 0x80) flag += get3(a, flag);
        if (a[15] & 0x40) flag += get3(a, flag);
        flag += 3;
    }
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && !(i == flag && (a[i] & 0xF0) == (b[i] & 0xF0))) return false;
    return true;
}

bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

const std::regex timing("tall=\\d+\\.\\d\\d tsum=\\d+\\.\\d\\d tread=\\d+\\.\\d\\d tcompress=\\d+\\.\\d\\d "
                        "twrite=\\d+\\.\\d\\d\nwall=\\d+\\.\\d\\d wsum=\\d+\\.\\d\\d wread=\\d+\\.\\d\\d "
                        "wcompress=\\d+\\.\\d\\d wwrite=\\d+\\.\\d\\d\n");

} // namespace

TEST(Recpack, NameAndArguments)
{
    TempDir tmp;
    writeFile(tmp.file("in"), smoothRecord(4000, 16));
    std::string in = tmp.file("in");

    ASSERT_EQ(symlink(recpackBin.c_str(), tmp.file("recpack2").c_str()), 0);
    Result r = runProgram(tmp.file("recpack2") + " " + in + " " + tmp.file("o"), tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Wrong program name!");
    EXPECT_TRUE(readFile(tmp.file("o")).empty());

    r = runProgram(recpack + " " + in, tmp);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "usage : recpack [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n");
    r = runProgram(recunpack, tmp);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "usage : recunpack [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n");

    r = runProgram(recpack + " -P 4 " + in + " " + tmp.file("a"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, timing)) << r.out;
    EXPECT_FALSE(readFile(tmp.file("a")).empty());
    // Four arguments are most often a shell pattern: refused, nothing written.
    r = runProgram(recpack + " " + in + " " + tmp.file("b") + " " + tmp.file("c"), tmp);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "usage : recpack [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n");
    EXPECT_FALSE(exists(tmp.file("b")));
    EXPECT_FALSE(exists(tmp.file("c")));

    r = runProgram(recpack + " " + tmp.file("missing") + " " + tmp.file("d"), tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Open failed on " + tmp.file("missing") + "\n" + strerror(ENOENT) + "\n");
}

TEST(Recpack, RefusesToLoseData)
{
    TempDir tmp;
    Bytes rec = smoothRecord(4000, 16);
    writeFile(tmp.file("in"), rec);
    // The same file under two names: the input must not be truncated.
    Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.path + "/./in", tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("same file"), std::string::npos) << r.err;
    EXPECT_TRUE(readFile(tmp.file("in")) == rec);
    // A marker whose record can't be sized is no record: its octets are
    // carried over as they stand, the search goes on after it, and nothing
    // is lost.
    Bytes in = rec;
    const char bogus[] = "GRIB\0\x01\0\x03 edition 3";
    in.insert(in.end(), bogus, bogus + sizeof bogus);
    in.insert(in.end(), rec.begin(), rec.end());
    writeFile(tmp.file("bogus"), in);
    r = runProgram(recpack + " " + tmp.file("bogus") + " " + tmp.file("out"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("at offset " + std::to_string(rec.size()) + " hold no GRIB record"), std::string::npos)
        << r.err;
    EXPECT_EQ(records(readFile(tmp.file("out"))).size(), 2u);
    EXPECT_TRUE(contains(readFile(tmp.file("out")), Bytes(bogus, bogus + sizeof bogus)));
    EXPECT_NE(r.out.find("wall="), std::string::npos);
    // More than 16 MB without a marker between records, and a record whose
    // data-section length disagrees with its end section: both records come
    // through, the second as it was read.
    Bytes broken = rec;
    put3(broken, 8 + 28, get3(rec, 8 + 28) - 2);
    in = rec;
    in.resize(rec.size() + 0x1000010, 0);
    in.insert(in.end(), broken.begin(), broken.end());
    writeFile(tmp.file("gap"), in);
    r = runProgram(recpack + " " + tmp.file("gap") + " " + tmp.file("out"), tmp);
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes out = readFile(tmp.file("out"));
    EXPECT_TRUE(contains(out, broken));
    EXPECT_EQ(out[8 + 28 + 13], 128);
    // A full disk ends the run with status 1 and names the file.
    for (const std::string &prog : {recpack, recunpack}) {
        r = runProgram(prog + " " + tmp.file("in") + " /dev/full", tmp);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;
    }
}

TEST(Recpack, PaddingAndPassThrough)
{
    TempDir tmp;
    // 12 bits are not coded: 1,001 octets copied, padded to 1,008.
    std::vector<uint32_t> v(630, 123);
    Bytes bds = simpleBds(v, 12);
    bds.resize(1001 - 8 - 28 - 4, 0);
    Bytes rec12 = grib1(pds28(), {}, {}, bds);
    ASSERT_EQ(rec12.size(), 1001u);
    Bytes g2 = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 21, 0, '7', '7', '7', '7'};
    Bytes in = rec12;
    in.insert(in.end(), g2.begin(), g2.end());
    writeFile(tmp.file("in"), in);
    Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("out"), tmp);
    EXPECT_EQ(r.status, 0);
    Bytes out = readFile(tmp.file("out"));
    ASSERT_EQ(out.size(), 1008u + 24u);
    EXPECT_TRUE(std::equal(rec12.begin(), rec12.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 1001, out.begin() + 1008, [](unsigned char c) { return c == 0; }));
    EXPECT_TRUE(std::equal(g2.begin(), g2.end(), out.begin() + 1008));
    EXPECT_TRUE(std::all_of(out.begin() + 1008 + 21, out.end(), [](unsigned char c) { return c == 0; }));

    // No marker at all: the octets are copied as they stand, with one line,
    // and the timing lines.
    writeFile(tmp.file("junk"), Bytes(5000, 'G'));
    r = runProgram(recunpack + " " + tmp.file("junk") + " " + tmp.file("empty"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, timing)) << r.out;
    EXPECT_TRUE(readFile(tmp.file("empty")) == Bytes(5000, 'G'));
    EXPECT_EQ(r.err, "recunpack: 5000 octets at offset 0 hold no GRIB record; copied as they stand\n");
    // Only zeros: padding, left out.
    writeFile(tmp.file("zeros"), Bytes(5000, 0));
    r = runProgram(recunpack + " " + tmp.file("zeros") + " " + tmp.file("empty"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(readFile(tmp.file("empty")).empty());
}

TEST(Recunpack, CodesItCannotUndoAreCopied)
{
    TempDir tmp;
    Bytes rec = smoothRecord(4000, 16);
    writeFile(tmp.file("in"), rec);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp).status, 0);
    Bytes z = readFile(tmp.file("z"));
    size_t bds = 8 + 28;
    ASSERT_EQ(z[bds + 13], 128);

    Result r = runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("tcompress=0.00"), std::string::npos);
    EXPECT_NE(r.out.find("wcompress=0.00"), std::string::npos);
    Bytes u = readFile(tmp.file("u"));
    ASSERT_GE(u.size(), rec.size());
    EXPECT_TRUE(sameRecord(rec, Bytes(u.begin(), u.begin() + (long)rec.size())));

    // Code 130 gives no length: reported, and written as read.
    Bytes c130 = z;
    c130[bds + 13] = 130;
    writeFile(tmp.file("c130"), c130);
    r = runProgram(recunpack + " " + tmp.file("c130") + " " + tmp.file("u130"), tmp);
    size_t n = get3(z, 4);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Decompressed size smaller than compressed size (in " + std::to_string(n) +
                         "; out 0)!\nrecunpack: GRIB record at offset 0 left packed; copied as read\n");
    Bytes u130 = readFile(tmp.file("u130"));
    EXPECT_TRUE(std::equal(c130.begin(), c130.begin() + (long)n, u130.begin()));
    // Another code: reported, copied unchanged.
    c130[bds + 13] = 7;
    writeFile(tmp.file("c7"), c130);
    r = runProgram(recunpack + " " + tmp.file("c7") + " " + tmp.file("u7"), tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Decompression for 7 not implemented!\n"
                     "recunpack: GRIB record at offset 0 left packed; copied as read\n");
    EXPECT_TRUE(readFile(tmp.file("u7")) == c130);
}

TEST(Recpack, DamagedInputNeverLosesIntactRecords)
{
    TempDir tmp;
    Bytes in;
    std::vector<size_t> ends; // end of each record in the input
    for (int k = 0; k < 4; ++k) {
        Bytes rec = smoothRecord(3000 + 500 * (size_t)k, 16);
        in.insert(in.end(), rec.begin(), rec.end());
        in.insert(in.end(), 8, 0); // padding between records
        ends.push_back(in.size() - 8);
    }
    std::vector<Bytes> originals = records(in);
    ASSERT_EQ(originals.size(), 4u);
    writeFile(tmp.file("in"), in);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp).status, 0);
    Bytes packed = readFile(tmp.file("z"));

    // Cut short: every whole record before the cut comes through, the cut
    // one is carried over as it stands with a line, and nothing is lost.
    for (const Bytes *src : {&in, &packed}) {
        const std::string &prog = src == &in ? recpack : recunpack;
        std::vector<Bytes> whole = records(*src);
        for (size_t cut = 1; cut < src->size(); cut += src->size() / 37) {
            writeFile(tmp.file("cut"), Bytes(src->begin(), src->begin() + (long)cut));
            Result r = runProgram(prog + " " + tmp.file("cut") + " " + tmp.file("o"), tmp);
            std::vector<Bytes> got = records(readFile(tmp.file("o")));
            size_t complete = records(Bytes(src->begin(), src->begin() + (long)cut)).size();
            bool inside = false;
            size_t at = 0, cutStart = 0;
            for (const Bytes &w : whole) {
                size_t start = (size_t)(std::search(src->begin() + (long)at, src->end(), w.begin(), w.end()) -
                                        src->begin());
                if (cut >= start + 4 && cut < start + w.size()) inside = true, cutStart = start; // marker whole
                at = start + w.size();
            }
            EXPECT_EQ(r.status, 0) << "cut at " << cut;
            if (inside) {
                EXPECT_NE(r.err.find("at offset " + std::to_string(cutStart) + " "), std::string::npos) << r.err;
            }
            EXPECT_EQ(got.size(), complete) << "cut at " << cut;
            EXPECT_NE(r.out.find("wall="), std::string::npos);
        }
    }

    // A record length made too long or too short frames no record: it is
    // carried over as it stands, and the records after it still come
    // through compressed and restored.
    for (long delta : {3000L, -100L}) {
        Bytes bad = in;
        put3(bad, 4, (uint32_t)((long)originals[0].size() + delta));
        writeFile(tmp.file("bad"), bad);
        Result r1 = runProgram(recpack + " " + tmp.file("bad") + " " + tmp.file("bz"), tmp);
        EXPECT_EQ(r1.status, 0) << delta;
        EXPECT_NE(r1.err.find("at offset 0 hold no GRIB record"), std::string::npos) << r1.err;
        Bytes bz = readFile(tmp.file("bz"));
        size_t szip = 0; // markers of compressed records, the damaged one aside
        for (size_t i = 0; i + 64 < bz.size(); ++i) szip += memcmp(&bz[i], "GRIB", 4) == 0 && bz[i + 49] == 128;
        EXPECT_EQ(szip, 3u) << delta;
        Result r2 = runProgram(recunpack + " " + tmp.file("bz") + " " + tmp.file("bu"), tmp);
        Bytes restored = readFile(tmp.file("bu"));
        for (size_t k = 1; k < originals.size(); ++k) EXPECT_TRUE(contains(restored, originals[k])) << k;
    }

    // Flipped octets: no crash in either mode, and every record that holds no
    // flipped octet comes back.
    uint32_t s = 12345;
    for (int trial = 0; trial < 40; ++trial) {
        Bytes bad = in;
        s = s * 1103515245u + 12345u;
        size_t pos = (s >> 4) % bad.size();
        bad[pos] ^= (unsigned char)(1u << (s % 8));
        writeFile(tmp.file("bad"), bad);
        Result r1 = runProgram(recpack + " " + tmp.file("bad") + " " + tmp.file("bz"), tmp);
        Result r2 = runProgram(recunpack + " " + tmp.file("bz") + " " + tmp.file("bu"), tmp);
        ASSERT_TRUE(r1.status == 0 || r1.status == 1) << "flip at " << pos;
        ASSERT_TRUE(r2.status == 0 || r2.status == 1) << "flip at " << pos;
        Bytes restored = readFile(tmp.file("bu"));
        for (size_t k = 0; k < originals.size(); ++k) {
            size_t start = ends[k] - originals[k].size();
            if (pos >= start && pos < ends[k]) continue;
            EXPECT_TRUE(contains(restored, originals[k])) << "record " << k << ", flip at " << pos;
        }
    }
}

#ifdef VALMORA_HAVE_ECCODES_API

TEST(RecpackEcCodes, MixedArchiveRoundTrip)
{
    if (!haveCommand("grib_compare")) GTEST_SKIP() << "ecCodes tools (grib_compare) not installed";
    TempDir tmp;
    using recpackutil::FieldDesc;
    Bytes in(333, 'x'); // junk before the first record
    int seed = 1;
    for (int bits : {8, 12, 16, 24, 32}) {
        const FieldDesc descs[] = {
            {"regular_gg_pl_grib1", bits, nullptr, false, 0, 130, (unsigned)seed++},
            {"reduced_gg_pl_32_grib1", bits, nullptr, true, 0, 139, (unsigned)seed++},
            {"sh_ml_grib1", bits, "spectral_simple", false, 0, 155, (unsigned)seed++},
            {"sh_ml_grib1", bits, nullptr, false, 63, 130, (unsigned)seed++},
        };
        for (const FieldDesc &f : descs) {
            Bytes rec = recpackutil::makeRecord(f);
            ASSERT_FALSE(rec.empty()) << f.sample;
            in.insert(in.end(), rec.begin(), rec.end());
            in.insert(in.end(), (size_t)bits, 'j'); // junk between records
        }
    }
    Bytes g2 = readFile("/usr/share/eccodes/samples/gg_sfc_grib2.tmpl");
    in.insert(in.end(), g2.begin(), g2.end());
    std::vector<Bytes> originals = records(in);
    ASSERT_EQ(originals.size(), 21u);
    writeFile(tmp.file("in"), in);

    Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("GRIB szip supports only 8, 16, 24 and 32 bit data!\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("recpack: 333 octets at offset 0 hold no GRIB record"), std::string::npos) << r.err;
    r = runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp);
    ASSERT_EQ(r.status, 0) << r.err;

    Bytes packed = readFile(tmp.file("z"));
    EXPECT_LT(packed.size(), in.size() * 9 / 10);
    std::vector<Bytes> restored = records(readFile(tmp.file("u")));
    ASSERT_EQ(restored.size(), originals.size());
    for (size_t k = 0; k < originals.size(); ++k) EXPECT_TRUE(sameRecord(originals[k], restored[k])) << k;
    EXPECT_EQ(run("grib_compare " + tmp.file("in") + " " + tmp.file("u") + " >/dev/null 2>&1").status, 0);
}

TEST(RecpackEcCodes, LargeRecordCopiedAndPaddedTo120)
{
    if (!haveCommand("grib_get")) GTEST_SKIP() << "ecCodes tools (grib_get) not installed";
    TempDir tmp;
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, "reduced_gg_pl_1280_grib1");
    ASSERT_NE(h, nullptr);
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 250.0 + 40.0 * std::sin((double)i * 1e-4);
    codes_set_long(h, "bitsPerValue", 24);
    ASSERT_EQ(codes_set_double_array(h, "values", v.data(), n), 0);
    const void *msg;
    size_t len;
    ASSERT_EQ(codes_get_message(h, &msg, &len), 0);
    Bytes large((const unsigned char *)msg, (const unsigned char *)msg + len);
    codes_handle_delete(h);
    ASSERT_GT(large.size(), 16777216u);
    ASSERT_TRUE(large[4] & 0x80);

    Bytes small = smoothRecord(5000, 16);
    Bytes in = small;
    in.insert(in.end(), large.begin(), large.end());
    in.insert(in.end(), small.begin(), small.end());
    writeFile(tmp.file("in"), in);
    std::vector<Bytes> originals = records(in);
    ASSERT_EQ(originals.size(), 3u);

    Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp);
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes z = readFile(tmp.file("z"));
    std::vector<Bytes> packed = records(z);
    ASSERT_EQ(packed.size(), 3u);
    EXPECT_TRUE(packed[1] == originals[1]); // not compressed
    size_t at = (size_t)(std::search(z.begin(), z.end(), packed[1].begin(), packed[1].end()) - z.begin());
    size_t next = (size_t)(std::search(z.begin() + (long)at + 4, z.end(), packed[2].begin(), packed[2].end()) -
                           z.begin());
    EXPECT_EQ((next - at) % 120, 0u);
    EXPECT_TRUE(std::all_of(z.begin() + (long)(at + packed[1].size()), z.begin() + (long)next,
                            [](unsigned char c) { return c == 0; }));
    EXPECT_EQ(packed[2][8 + 28 + 3] & 0x10, 0x10); // the record after it is compressed

    r = runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Bytes> restored = records(readFile(tmp.file("u")));
    ASSERT_EQ(restored.size(), 3u);
    for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(sameRecord(originals[k], restored[k])) << k;
}

#endif
