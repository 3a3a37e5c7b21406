// recpack and recunpack with the packed form by default, --compat and
// --grib2, on a file of mixed records with octets between them: the way
// back gives the file again, any number of workers the same output, and
// --compat the octets of the code-128 coder.
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include <sys/stat.h>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

using namespace testutil;

namespace {

const std::string build = VALMORA_BUILD_DIR;
const std::string recpack = build + "/recpack";
const std::string recunpack = build + "/recunpack";

using Result = ProgramResult;

Bytes pds28()
{
    Bytes p(28, 0);
    p[8] = 130;
    return p;
}

Bytes record(size_t n, int bits, unsigned seed)
{
    std::vector<uint32_t> v(n);
    const double top = std::ldexp(1.0, bits) - 1;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = (uint32_t)std::min(top, (0.5 + 0.4 * std::sin((double)i / 150.0)) * top + (double)(seed >> 30));
    }
    return grib1(pds28(), {}, {}, simpleBds(v, bits));
}

void append(Bytes &file, const Bytes &rec)
{
    file.insert(file.end(), rec.begin(), rec.end());
    file.resize(gribPaddedLength(file.size()), 0);
}

#ifdef VALMORA_HAVE_ECCODES_API
Bytes simpleGrib2(int bits)
{
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, "regular_ll_sfc_grib2");
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 250.0 + 30.0 * std::sin((double)i / 90.0);
    codes_set_string(h, "packingType", "grid_simple", nullptr);
    codes_set_long(h, "bitsPerValue", bits);
    codes_set_double_array(h, "values", v.data(), n);
    const void *m = nullptr;
    size_t len = 0;
    codes_get_message(h, &m, &len);
    Bytes b((const unsigned char *)m, (const unsigned char *)m + len);
    codes_handle_delete(h);
    return b;
}
#endif

// Records of several widths, a GRIB2 message where there is ecCodes, and
// octets that are no record between them.
Bytes mixedFile(std::vector<Bytes> &records)
{
    Bytes file;
    for (int bits : {3, 8, 12, 16, 17, 24, 29, 32}) records.push_back(record(9000, bits, (unsigned)bits));
#ifdef VALMORA_HAVE_ECCODES_API
    records.push_back(simpleGrib2(14));
#endif
    const std::string junk = "no record here";
    for (size_t i = 0; i < records.size(); ++i) {
        append(file, records[i]);
        if (i % 3 == 1) file.insert(file.end(), junk.begin(), junk.end());
        file.resize(gribPaddedLength(file.size()), 0);
    }
    return file;
}

TEST(RecpackForms, RoundTripAndWorkers)
{
    TempDir tmp;
    std::vector<Bytes> records;
    const Bytes file = mixedFile(records);
    writeFile(tmp.file("in"), file);
    for (const std::string opts : {"", " --grib2"}) {
        ASSERT_EQ(runProgram(recpack + opts + " " + tmp.file("in") + " " + tmp.file("p1"), tmp).status, 0) << opts;
        const Bytes p1 = readFile(tmp.file("p1"));
        EXPECT_LT(p1.size(), file.size() * 3 / 4) << opts;
        for (const char *n : {"2", "8"}) {
            ASSERT_EQ(runProgram(recpack + opts + " -P " + n + " " + tmp.file("in") + " " + tmp.file("pn"), tmp).status,
                      0);
            EXPECT_TRUE(readFile(tmp.file("pn")) == p1) << opts << " -P " << n;
        }
        const Result back = runProgram(recunpack + opts + " -P 2 " + tmp.file("p1") + " " + tmp.file("back"), tmp);
        EXPECT_EQ(back.status, 0) << back.err;
        EXPECT_TRUE(readFile(tmp.file("back")) == file) << opts;
    }
#ifdef VALMORA_HAVE_ECCODES_API
    // GRIB2 converted stays converted without --grib2 on the way back.
    runProgram(recpack + " --grib2 " + tmp.file("in") + " " + tmp.file("g"), tmp);
    runProgram(recunpack + " " + tmp.file("g") + " " + tmp.file("gback"), tmp);
    EXPECT_FALSE(readFile(tmp.file("gback")) == file);
#endif
}

TEST(RecpackForms, CompatIsWhatRecPackCopyWrites)
{
    TempDir tmp;
    std::vector<Bytes> records;
    const Bytes file = mixedFile(records);
    writeFile(tmp.file("in"), file);
    ASSERT_EQ(runProgram(recpack + " --compat " + tmp.file("in") + " " + tmp.file("c"), tmp).status, 0);
    const Bytes packed = readFile(tmp.file("c"));
    // Each record as recPackCopy writes it, in order, the rest as read.
    size_t from = 0;
    for (const Bytes &r : records) {
        Bytes want(r.size() + 240);
        testing::internal::CaptureStderr();
        const int n = gribVersion(r.data(), r.size()) == 1 ? recPackCopy(r.data(), r.size(), want.data(), want.size())
                                                             : (int)gribPaddedLength(r.size());
        testing::internal::GetCapturedStderr();
        if (gribVersion(r.data(), r.size()) != 1) std::copy(r.begin(), r.end(), want.begin());
        want.resize((size_t)n);
        const auto at = std::search(packed.begin() + (long)from, packed.end(), want.begin(), want.end());
        ASSERT_NE(at, packed.end()) << "record " << &r - &records[0];
        from = (size_t)(at - packed.begin()) + want.size();
    }
    const Result back = runProgram(recunpack + " " + tmp.file("c") + " " + tmp.file("back"), tmp);
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(readFile(tmp.file("back")) == file);
}

// Files of the large form are compared and measured by the system, not
// read back: reading them octet by octet takes seconds in a debug build.
bool sameFile(const std::string &a, const std::string &b)
{
    return run("cmp -s '" + a + "' '" + b + "'").status == 0;
}

size_t fileSize(const std::string &name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}

// The first n octets of a file (fewer when it is shorter).
Bytes fileHead(const std::string &name, size_t n)
{
    Bytes b(n);
    std::ifstream in(name, std::ios::binary);
    in.read(reinterpret_cast<char *>(b.data()), (std::streamsize)n);
    b.resize((size_t)in.gcount());
    return b;
}

// The record with the lengths of the large form (its padding left out),
// and its true length T.
Bytes largeForm(Bytes rec, size_t &T)
{
    T = rec.size();
    const size_t R = (T + 119) / 120 * 120;
    put3(rec, 4, 0x800000u | (uint32_t)(R / 120));
    put3(rec, 8 + 28, (uint32_t)(R - T + 4));
    return rec;
}

// A record in the large form of over 16 MB (a smooth 16-bit field with
// noise in its low six bits) and its true length T; its padding up to the
// R octets its indicator states is not included.
Bytes largeRecord(size_t &T)
{
    size_t n = 8400000;
    while ((120 - (8 + 28 + 12 + 2 * n + 4) % 120) % 120 > 116) ++n;
    Bytes bds(12 + 2 * n, 0);
    bds[3] = 8; // the even-length octet's bits unused
    bds[10] = 16;
    unsigned s = 7;
    unsigned char *d = bds.data() + 11;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1664525u + 1013904223u;
        const double x = 0.5 + 0.3 * std::sin((double)i / 1500.0) * std::cos((double)i / 97000.0);
        const unsigned v = (unsigned)(x * 65000.0) + (s >> 26);
        *d++ = (unsigned char)(v >> 8);
        *d++ = (unsigned char)v;
    }
    return largeForm(grib1(pds28(), {}, {}, bds), T);
}

TEST(RecpackForms, LargeFormCodedAndBackExactly)
{
    TempDir tmp;
    size_t T = 0;
    const Bytes large = largeRecord(T);
    const size_t R = (size_t)(get3(large, 4) & 0x7FFFFF) * 120;
    ASSERT_GT(T, 16u << 20);
    ASSERT_GT(R, T);
    const std::string junk = "no record here";
    const Bytes first = record(9000, 16, 1), last = record(9000, 12, 2);

    // Framed with its padding of zeros, between small records and junk.
    Bytes file = first;
    file.insert(file.end(), junk.begin(), junk.end());
    file.insert(file.end(), large.begin(), large.end());
    file.resize(file.size() + R - T, 0);
    append(file, last);
    writeFile(tmp.file("in"), file);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("p1"), tmp).status, 0);
    EXPECT_LT(fileSize(tmp.file("p1")), file.size() * 3 / 4);
    for (const char *n : {"2", "8"}) {
        ASSERT_EQ(runProgram(recpack + " -P " + n + " " + tmp.file("in") + " " + tmp.file("pn"), tmp).status, 0);
        EXPECT_TRUE(sameFile(tmp.file("pn"), tmp.file("p1"))) << "-P " << n;
    }
    Result back = runProgram(recunpack + " -P 2 " + tmp.file("p1") + " " + tmp.file("back"), tmp);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(sameFile(tmp.file("back"), tmp.file("in")));

    // Without its padding, octets other than zeros where it would lie: the
    // true record is coded, those octets carried as they stand.
    file = first;
    file.insert(file.end(), large.begin(), large.begin() + (long)T);
    file.insert(file.end(), R - T, 0x55);
    file.insert(file.end(), last.begin(), last.end());
    writeFile(tmp.file("in"), file);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("p"), tmp).status, 0);
    EXPECT_LT(fileSize(tmp.file("p")), file.size() * 3 / 4);
    back = runProgram(recunpack + " " + tmp.file("p") + " " + tmp.file("back"), tmp);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(sameFile(tmp.file("back"), tmp.file("in")));
}

// A large-form record that codes to about 0.9 of its size (8-bit values
// of 7 bits of noise) stays in the large form once packed; as ecCodes
// writes such records, no padding follows it.
TEST(RecpackForms, PackedRecordInTheLargeForm)
{
    TempDir tmp;
    size_t n = 19500000;
    while ((120 - (8 + 28 + 12 + n + 4) % 120) % 120 > 116) n += 2;
    Bytes bds(12 + n, 0);
    bds[3] = 8;
    bds[10] = 8;
    uint64_t s = 2463534242ull;
    unsigned char *d = bds.data() + 11;
    for (size_t i = 0; i < n; ++i) s ^= s << 13, s ^= s >> 7, s ^= s << 17, d[i] = (unsigned char)(s & 0x7F);
    size_t T = 0;
    const Bytes large = largeForm(grib1(pds28(), {}, {}, bds), T);
    Bytes file = record(9000, 16, 1);
    file.insert(file.end(), large.begin(), large.end());
    file.insert(file.end(), large.begin(), large.begin() + 8); // a cut record's first octets
    writeFile(tmp.file("in"), file);
    ASSERT_EQ(runProgram(recpack + " -P 2 " + tmp.file("in") + " " + tmp.file("p"), tmp).status, 0);
    // The small record before it is coded too: the second marker is the large one's.
    const Bytes head = fileHead(tmp.file("p"), 64 << 10);
    const std::string marker = "GRIB";
    const auto at = std::search(head.begin() + 4, head.end(), marker.begin(), marker.end());
    ASSERT_LT(at + 8, head.end());
    EXPECT_TRUE(at[4] & 0x80) << "the packed record is in the large form";
    EXPECT_LT(fileSize(tmp.file("p")), file.size() * 19 / 20);
    const Result back = runProgram(recunpack + " -P 2 " + tmp.file("p") + " " + tmp.file("back"), tmp);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(sameFile(tmp.file("back"), tmp.file("in")));
}

TEST(RecpackForms, DamagedPackedRecordIsReported)
{
    TempDir tmp;
    Bytes file;
    append(file, record(20000, 12, 1));
    append(file, record(20000, 12, 2));
    writeFile(tmp.file("in"), file);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("p"), tmp).status, 0);
    Bytes packed = readFile(tmp.file("p"));
    packed[8 + 28 + 60] ^= 0x04; // a coded octet of the first record
    writeFile(tmp.file("p"), packed);
    const Result r = runProgram(recunpack + " " + tmp.file("p") + " " + tmp.file("back"), tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("left packed"), std::string::npos) << r.err;
    const Bytes back = readFile(tmp.file("back"));
    const Bytes second = record(20000, 12, 2);
    EXPECT_NE(std::search(back.begin(), back.end(), second.begin(), second.end()), back.end());
}

} // namespace
