// Record scanner and record I/O: the marker search (window, count, limit),
// the length worked out from the headers, the gribRead result table, the
// positions each call leaves behind, and gribWrite.
#include "record_util.h"

#include "support.h"

#include <random>
#include <sys/mman.h>

using namespace recutil;
using testutil::Bytes;
using testutil::TempDir;

namespace {

struct OpenFile {
    int id;
    OpenFile(const std::string &name, const char *mode = "r") : id(gribOpen(name.c_str(), mode)) {}
    ~OpenFile()
    {
        if (id >= 0) gribClose(id);
    }
};

std::string fileWith(const TempDir &dir, const Bytes &data, const char *name = "f.grb")
{
    std::string path = dir.file(name);
    testutil::writeFile(path, data);
    return path;
}

// The search exactly as the record format states it, over an octet vector.
struct ModelSearch {
    int status;
    long count;
    size_t after;
};

ModelSearch modelSearch(const Bytes &data, size_t from, long limit)
{
    uint32_t window = 0;
    long count = 0;
    for (size_t i = from;; ++i) {
        if (i >= data.size()) return {-1, count, data.size()};
        window = window << 8 | data[i];
        if (window == 0x47524942u) return {0, count, i + 1};
        if (++count >= limit) return {1, count, i + 1};
    }
}

} // namespace

// ---- The marker search -----------------------------------------------------

TEST(MarkerSearch, CountsOctetsBeforeTheMarkersLastOctet)
{
    TempDir dir;
    Bytes rec = recordOfLength(80);
    Bytes data(100, 0);
    data.insert(data.end(), rec.begin(), rec.end());
    std::string path = fileWith(dir, data);
    {
        OpenFile f(path);
        long count = -1;
        EXPECT_EQ(gribFileSeek(f.id, &count), 0);
        EXPECT_EQ(count, 103);
        EXPECT_EQ(gribGetPos(f.id), 104); // right after the marker
    }
    {
        OpenFile f(path);
        EXPECT_EQ(gribGetSize(f.id), 80u);
        EXPECT_EQ(gribGetPos(f.id), 100); // at the marker's first octet
    }
    path = fileWith(dir, rec, "g.grb");
    OpenFile f(path);
    long count = -1;
    EXPECT_EQ(gribFileSeek(f.id, &count), 0);
    EXPECT_EQ(count, 3);
}

TEST(MarkerSearch, AgreesWithTheWindowRuleOverAwkwardStreams)
{
    // Streams full of partial markers, read through buffers small enough for
    // markers to straddle refills; every successive search must give the
    // result, count and position of the plain window rule.
    std::mt19937 rng(7);
    const char alphabet[] = {'G', 'R', 'I', 'B', 'x', 0};
    TempDir dir;
    for (long bufsize : {1L, 2L, 3L, 5L, 7L, 64L, 0L}) {
        for (int round = 0; round < 40; ++round) {
            Bytes data(1 + rng() % 400);
            for (auto &c : data) c = (unsigned char)alphabet[rng() % 6];
            if (rng() % 2) {
                const char *m = "GRIB";
                size_t at = rng() % data.size();
                for (int i = 0; i < 4 && at + i < data.size(); ++i) data[at + i] = (unsigned char)m[i];
            }
            std::string path = fileWith(dir, data);
            OpenFile f(path);
            if (bufsize) fileSetBufferSize(f.id, bufsize);
            const long limit = 1 + (long)(rng() % 50);
            size_t from = 0;
            for (;;) {
                ModelSearch want = modelSearch(data, from, limit);
                long count = -1;
                int got = filePtrSearch(filePtr(f.id), 0x47524942u, limit, &count);
                ASSERT_EQ(got, want.status) << "buffer " << bufsize << " from " << from;
                ASSERT_EQ(count, want.count);
                ASSERT_EQ(fileGetPos(f.id), (int64_t)want.after);
                if (got == -1) break;
                from = want.after;
            }
        }
    }
}

TEST(MarkerSearch, EndOfFileIsQuiet)
{
    TempDir dir;
    std::string path = fileWith(dir, Bytes(50, 'G'));
    OpenFile f(path);
    DebugLevel debug(1);
    long count = -1;
    size_t size = 1;
    std::string err = stderrOf([&] {
        EXPECT_EQ(gribFileSeek(f.id, &count), -1);
        EXPECT_EQ(gribGetSize(f.id), 0u);
        unsigned char buf[8];
        size = sizeof buf;
        EXPECT_EQ(gribRead(f.id, buf, &size), -1);
    });
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(err, "");
    EXPECT_EQ(gribGetPos(f.id), 50);
}

TEST(MarkerSearch, DebugLineNamesGribFileSeekForEveryCaller)
{
    TempDir dir;
    Bytes rec = recordOfLength(64);
    Bytes data(10, 0);
    data.insert(data.end(), rec.begin(), rec.end());
    std::string path = fileWith(dir, data);
    OpenFile f(path);
    DebugLevel debug(1);
    std::string err = stderrOf([&] { EXPECT_EQ(gribGetSize(f.id), 64u); });
    EXPECT_TRUE(contains(err, "gribFileSeek")) << err;
    EXPECT_TRUE(contains(err, "record offset = 13")) << err;
    EXPECT_TRUE(contains(err, "gribversion = 1")) << err;
    EXPECT_TRUE(contains(err, "gribsize = 64")) << err;
    EXPECT_TRUE(contains(err, "recsize = 64")) << err;
    err = stderrOf([&] {
        Bytes buf(64);
        size_t size = buf.size();
        EXPECT_EQ(gribRead(f.id, buf.data(), &size), 0);
    });
    EXPECT_TRUE(contains(err, "record offset = 3")) << err;
    VALMORA_Debug = 0;
    err = stderrOf([&] { EXPECT_EQ(gribGetSize(f.id), 0u); });
    EXPECT_EQ(err, "");
}

// One 16 MB file serves every limit case: 16,777,214 zero octets, then two
// records. Searches start at different offsets to move the marker across
// the limit.
class SearchLimit : public ::testing::Test {
  protected:
    static constexpr long limit = 16777216;
    static constexpr long zeros = limit - 2;
    static TempDir *dir;
    static std::string path;
    static Bytes rec1, rec2;

    static void SetUpTestSuite()
    {
        dir = new TempDir;
        rec1 = recordOfLength(60, 1);
        rec2 = recordOfLength(72, 2);
        Bytes data(zeros, 0);
        data.insert(data.end(), rec1.begin(), rec1.end());
        data.insert(data.end(), rec2.begin(), rec2.end());
        path = dir->file("limit.grb");
        testutil::writeFile(path, data);
    }
    static void TearDownTestSuite() { delete dir; }
};
TempDir *SearchLimit::dir = nullptr;
std::string SearchLimit::path;
Bytes SearchLimit::rec1, SearchLimit::rec2;

TEST_F(SearchLimit, MarkerEndingOnTheLastOctetIsFound)
{
    OpenFile f(path);
    ASSERT_EQ(fileSetPos(f.id, 2, 0), 0); // 16,777,212 zeros, then "GRIB"
    long count = 0;
    EXPECT_EQ(gribFileSeek(f.id, &count), 0);
    EXPECT_EQ(count, limit - 1);
    ASSERT_EQ(fileSetPos(f.id, 2, 0), 0);
    EXPECT_EQ(gribGetSize(f.id), rec1.size());
    EXPECT_EQ(gribGetPos(f.id), zeros);
}

TEST_F(SearchLimit, MarkerEndingOneOctetLaterIsNotFound)
{
    OpenFile f(path);
    ASSERT_EQ(fileSetPos(f.id, 1, 0), 0);
    long count = 0;
    int edition = 0;
    DebugLevel debug(1);
    std::string err = stderrOf([&] { EXPECT_EQ(gribCheckSeek(f.id, &count, &edition), 1); });
    EXPECT_EQ(count, limit);
    EXPECT_EQ(edition, -1);
    EXPECT_EQ(gribGetPos(f.id), 1 + limit);
    EXPECT_TRUE(contains(err, "record offset = 16777216")) << err;
    EXPECT_FALSE(contains(err, "not found")) << err; // the seeks only return 1
}

TEST_F(SearchLimit, GetSizeAndReadWarnAndStopAfterTheLimit)
{
    OpenFile f(path);
    std::string err = stderrOf([&] { EXPECT_EQ(gribGetSize(f.id), 0u); });
    EXPECT_TRUE(contains(err, "gribGetSize")) << err;
    EXPECT_TRUE(contains(err, "GRIB record not found!")) << err;
    EXPECT_EQ(gribGetPos(f.id), limit); // 16,777,214 zeros and "GR"

    ASSERT_EQ(fileSetPos(f.id, 0, 0), 0);
    Bytes buf(100, 0xEE);
    size_t size = buf.size();
    err = stderrOf([&] { EXPECT_EQ(gribRead(f.id, buf.data(), &size), -2); });
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(contains(err, "gribRead")) << err;
    EXPECT_TRUE(contains(err, "GRIB record not found!")) << err;
    EXPECT_EQ(gribGetPos(f.id), limit);
    EXPECT_EQ(buf, Bytes(100, 0xEE));
}

TEST_F(SearchLimit, WindowStartsEmptyForEverySearch)
{
    // The first search stopped after "GR" of the first record; the next one
    // must not complete that marker from "IB" and finds the second record.
    OpenFile f(path);
    long count = 0;
    ASSERT_EQ(gribFileSeek(f.id, &count), 1);
    ASSERT_EQ(gribFileSeek(f.id, &count), 0);
    EXPECT_EQ(count, (long)rec1.size() - 2 + 3);
    ASSERT_EQ(fileSetPos(f.id, -4, 1), 0);
    Bytes buf(rec2.size());
    size_t size = buf.size();
    EXPECT_EQ(gribRead(f.id, buf.data(), &size), 0);
    EXPECT_EQ(buf, rec2);
}

// ---- Length from the headers -------------------------------------------------

namespace {

// Length that gribGetSize gives for a file holding `data`, with the debug
// lines it printed; the position after the call must be the marker.
size_t sizeOf(const Bytes &data, std::string *err = nullptr, int debug = 0)
{
    TempDir dir;
    std::string path = fileWith(dir, data);
    OpenFile f(path);
    DebugLevel level(debug);
    size_t size = 0;
    std::string text = stderrOf([&] { size = gribGetSize(f.id); });
    if (err) *err = text;
    EXPECT_EQ(gribGetPos(f.id), 0) << "gribGetSize must leave the file at the marker";
    return size;
}

} // namespace

TEST(RecordLength, PlainEditionOneAndTwo)
{
    EXPECT_EQ(sizeOf(recordOfLength(1000)), 1000u);

    Bytes e2 = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89};
    e2.resize(40, 0);
    EXPECT_EQ(sizeOf(e2), (size_t)0x123456789ull); // 64-bit length, body not needed

    // 24 with edition 1 is an edition 1 record of 24 octets.
    Bytes e1 = {'G', 'R', 'I', 'B', 0, 0, 24, 1};
    e1.resize(30, 0);
    EXPECT_EQ(sizeOf(e1), 24u);
}

TEST(RecordLength, EditionZeroAddsTheSectionsAndBothMarkers)
{
    // "GRIB", PDS of 24 octets (its length stands where edition 1 keeps the
    // total), GDS of 32, BMS of 10, BDS field 100.
    Bytes b = {'G', 'R', 'I', 'B'};
    Bytes pds(24, 0);
    testutil::put3(pds, 0, 24);
    pds[3] = 3;    // would be the edition octet: neither 1 nor 2
    pds[7] = 0xC0; // GDS and BMS follow
    Bytes gds(32, 0), bms(10, 0), bds(20, 0);
    testutil::put3(gds, 0, 32);
    testutil::put3(bms, 0, 10);
    testutil::put3(bds, 0, 100);
    b = concat({b, pds, gds, bms, bds});
    std::string err;
    EXPECT_EQ(sizeOf(b, &err, 1), 24u + 32 + 10 + 100 + 8);
    EXPECT_TRUE(contains(err, "gribversion = 0")) << err;
    EXPECT_TRUE(contains(err, "pdssize     = 24")) << err;
    EXPECT_TRUE(contains(err, "flag        = 192")) << err;
    EXPECT_TRUE(contains(err, "gdssize     = 32")) << err;
    EXPECT_TRUE(contains(err, "bmssize     = 10")) << err;
    EXPECT_TRUE(contains(err, "bdssize     = 100")) << err;
    EXPECT_TRUE(contains(err, "gribsize = 174")) << err;
}

TEST(RecordLength, LargeFormRecoversTheTrueLength)
{
    // 69,906 units of 120 with a correction of 50: 8,388,720 - 50 + 4.
    std::string err;
    EXPECT_EQ(sizeOf(largeHeaders(69906, 50), &err, 1), 8388674u);
    EXPECT_TRUE(contains(err, "pdssize     = 28")) << err;
    EXPECT_TRUE(contains(err, "flag        = 0")) << err;
    EXPECT_TRUE(contains(err, "bdssize     = 50")) << err;
    // the corrected BDS length, shown by a second line: R - (4 + P) - f
    EXPECT_TRUE(contains(err, "bdssize     = " + std::to_string(8388720 - 32 - 50))) << err;
    EXPECT_TRUE(contains(err, "gribsize = 8388674")) << err;

    // With GDS and BMS the offset changes the corrected BDS length only.
    EXPECT_EQ(sizeOf(largeHeaders(69906, 120, 52, 760, 300)), 8388720u - 120 + 4);
    EXPECT_EQ(sizeOf(largeHeaders(0x7FFFFF, 4)), 1006632840u); // the largest, no padding
}

TEST(RecordLength, LargeFlagWithABigFieldIsAPlainLength)
{
    EXPECT_EQ(sizeOf(largeHeaders(0x100000, 1000)), 0x900000u);
    EXPECT_EQ(sizeOf(largeHeaders(0x100000, 121)), 0x900000u); // 121 is not a correction
}

TEST(RecordLength, TooFewUnitsForTheLargeFormKeepTheBdsField)
{
    // Flag set, f <= 120, but 69,905 units lie below 0x800000: the BDS field
    // is a plain length, as the section locator reads it too.
    EXPECT_EQ(sizeOf(largeHeaders(69905, 100)), 8u + 28 + 100 + 4);
    EXPECT_EQ(sizeOf(largeHeaders(1, 60, 28, 40)), 8u + 28 + 40 + 60 + 4);
}

TEST(RecordLength, UnsupportedEditionWarnsAndGivesNoLength)
{
    Bytes b = {'G', 'R', 'I', 'B', 0, 1, 0, 3};
    b.resize(64, 0);
    std::string err;
    EXPECT_EQ(sizeOf(b, &err), 0u);
    EXPECT_TRUE(contains(err, "gribReadSize")) << err;
    EXPECT_TRUE(contains(err, "GRIB version 3 unsupported!")) << err;

    b[6] = 24; // 24 with an edition octet of 3: edition 0
    b[4] = b[5] = 0;
    EXPECT_NE(sizeOf(b, &err), 0u);
    EXPECT_FALSE(contains(err, "unsupported")) << err;
}

TEST(RecordLength, EndOfFileInTheHeadersGivesNoLengthAndNoMessage)
{
    for (size_t keep : {5u, 7u, 8u + 10u, 8u + 28u + 2u}) {
        Bytes b = largeHeaders(69906, 50);
        b.resize(keep);
        std::string err;
        EXPECT_EQ(sizeOf(b, &err), 0u) << keep;
        EXPECT_EQ(err, "") << keep;
    }
    Bytes e2 = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(sizeOf(e2), 0u);
    // A GDS flagged in a large-form record that ends inside it.
    Bytes g = largeHeaders(69906, 50, 28, 100, 0, 0);
    g.resize(8 + 28 + 50);
    EXPECT_EQ(sizeOf(g), 0u);
}

TEST(RecordLength, ReadSizeLeavesTheFileWhereItWas)
{
    TempDir dir;
    Bytes data = concat({largeHeaders(69906, 50, 28, 32, 12), Bytes(100, 0)});
    std::string path = fileWith(dir, data);
    OpenFile f(path);
    long count;
    ASSERT_EQ(gribFileSeek(f.id, &count), 0);
    EXPECT_EQ(gribReadSize(f.id), 8388720u - 50 + 4);
    EXPECT_EQ(gribGetPos(f.id), 4);
    EXPECT_EQ(filePtrGetc(filePtr(f.id)), 0x81); // octet 5, read through the handle
}

TEST(RecordLength, CheckSeekReportsTheEditionOctetSigned)
{
    TempDir dir;
    Bytes rec = recordOfLength(64);
    Bytes odd = rec;
    odd[7] = 0xFE;
    Bytes data = concat({Bytes(5, 0), rec, odd, {'G', 'R', 'I', 'B', 0, 0}});
    std::string path = fileWith(dir, data);
    OpenFile f(path);
    long count = 0;
    int edition = 0;
    EXPECT_EQ(gribCheckSeek(f.id, &count, &edition), 0);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(edition, 1);
    EXPECT_EQ(gribGetPos(f.id), 5 + 8);
    EXPECT_EQ(gribCheckSeek(f.id, &count, &edition), 0);
    EXPECT_EQ(edition, -2);
    EXPECT_EQ(gribCheckSeek(f.id, &count, &edition), 0); // only two octets follow
    EXPECT_EQ(edition, -1);
    EXPECT_EQ(gribCheckSeek(f.id, &count, &edition), -1);
    EXPECT_EQ(edition, -1);
}

// ---- gribRead ----------------------------------------------------------------

TEST(GribRead, WholeRecordLeavesTheFileAfterIt)
{
    TempDir dir;
    Bytes rec = recordOfLength(500);
    std::string path = fileWith(dir, concat({Bytes(7, 'x'), rec, Bytes(3, 0)}));
    OpenFile f(path);
    Bytes buf(600, 0);
    size_t size = buf.size();
    EXPECT_EQ(gribRead(f.id, buf.data(), &size), 0);
    EXPECT_EQ(size, 500u);
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), buf.begin()));
    EXPECT_EQ(gribGetPos(f.id), 507);
}

TEST(GribRead, SmallBufferGetsTheFirstOctetsOnly)
{
    TempDir dir;
    Bytes rec = recordOfLength(1000);
    std::string path = fileWith(dir, rec);
    OpenFile f(path);
    Bytes buf(200, 0xEE);
    size_t size = 100;
    EXPECT_EQ(gribRead(f.id, buf.data(), &size), -3);
    EXPECT_EQ(size, 1000u);
    EXPECT_TRUE(std::equal(rec.begin(), rec.begin() + 100, buf.begin()));
    EXPECT_EQ(Bytes(buf.begin() + 100, buf.end()), Bytes(100, 0xEE)); // nothing past the capacity
    EXPECT_EQ(gribGetPos(f.id), 100);
}

TEST(GribRead, ShortFileIsAShortRead)
{
    TempDir dir;
    Bytes rec = recordOfLength(1000);
    rec.resize(700);
    std::string path = fileWith(dir, rec);
    OpenFile f(path);
    Bytes buf(1000);
    size_t size = buf.size();
    EXPECT_EQ(gribRead(f.id, buf.data(), &size), 1);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(gribGetPos(f.id), 700);
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), buf.begin()));
}

TEST(GribRead, NothingIsReadWithoutALengthOrRoomForTheMarker)
{
    TempDir dir;
    Bytes bad = {'G', 'R', 'I', 'B', 0, 1, 0, 3};
    bad.resize(40, 0x33);
    Bytes rec = recordOfLength(64);
    std::string path = fileWith(dir, concat({bad, rec}));
    OpenFile f(path);
    Bytes buf(64, 0xEE);
    size_t size = buf.size();
    stderrOf([&] { EXPECT_EQ(gribRead(f.id, buf.data(), &size), 1); });
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buf, Bytes(64, 0xEE));
    EXPECT_EQ(gribGetPos(f.id), 4);

    for (size_t capacity : {0u, 3u}) {
        ASSERT_EQ(fileSetPos(f.id, (int64_t)bad.size(), 0), 0);
        size = capacity;
        EXPECT_EQ(gribRead(f.id, buf.data(), &size), 1) << capacity;
        EXPECT_EQ(size, 64u);
        EXPECT_EQ(buf, Bytes(64, 0xEE)) << capacity;
    }
}

TEST(GribRead, SizeAndReadVisitEveryRecordOnce)
{
    TempDir dir;
    std::vector<Bytes> recs;
    Bytes data;
    std::mt19937 rng(3);
    for (int i = 0; i < 30; ++i) {
        recs.push_back(recordOfLength(56 + rng() % 3000, (unsigned char)i));
        data.insert(data.end(), rng() % 20, 'G'); // junk between records
        data.insert(data.end(), recs.back().begin(), recs.back().end());
    }
    std::string path = fileWith(dir, data);
    for (long bufsize : {0L, 100L, 4096L}) {
        OpenFile f(path);
        if (bufsize) fileSetBufferSize(f.id, bufsize);
        size_t i = 0, len;
        while ((len = gribGetSize(f.id)) > 0) {
            ASSERT_LT(i, recs.size());
            ASSERT_EQ(len, recs[i].size());
            Bytes buf(len);
            size_t size = len;
            ASSERT_EQ(gribRead(f.id, buf.data(), &size), 0);
            ASSERT_EQ(buf, recs[i]);
            ++i;
        }
        EXPECT_EQ(i, recs.size()) << bufsize;
    }
}

// ---- gribWrite -----------------------------------------------------------------

TEST(GribWrite, WritesTheOctetsAndReturnsTheCount)
{
    TempDir dir;
    Bytes rec = recordOfLength(300);
    std::string path = dir.file("out.grb");
    {
        OpenFile f(path, "w");
        ASSERT_GE(f.id, 0);
        EXPECT_EQ(gribWrite(f.id, rec.data(), rec.size()), 300);
        EXPECT_EQ(gribWrite(f.id, rec.data(), rec.size()), 300);
        EXPECT_EQ(gribGetPos(f.id), 600);
    }
    EXPECT_EQ(testutil::readFile(path), concat({rec, rec}));
}

TEST(GribWrite, FailedWriteReportsTheSystemError)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    Bytes big(1 << 20, 7);
    int id = gribOpen("/dev/full", "w");
    ASSERT_GE(id, 0);
    std::string err = stderrOf([&] { EXPECT_EQ(gribWrite(id, big.data(), big.size()), -1); });
    EXPECT_TRUE(contains(err, "gribWrite: ")) << err;
    // A small write is buffered; the failure shows at the flush and the close.
    EXPECT_EQ(gribWrite(id, big.data(), 10), 10);
    EXPECT_NE(fileFlush(id), 0);
    EXPECT_EQ(gribWrite(id, big.data(), 10), 10);
    EXPECT_NE(gribClose(id), 0);

    TempDir dir;
    std::string path = fileWith(dir, Bytes(4, 0));
    OpenFile ro(path, "r");
    stderrOf([&] { EXPECT_EQ(gribWrite(ro.id, big.data(), 10), -1); });
}

TEST(GribWrite, SizesBeyondThirtyTwoBitsAreComparedWhole)
{
    // 4 GiB of address space that is never touched: /dev/full
    // and /dev/null do not read what they are given.
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    const size_t size = (size_t)1 << 32;
    void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) GTEST_SKIP() << "no room for a 4 GiB mapping";
    int id = gribOpen("/dev/full", "w");
    std::string err = stderrOf([&] { EXPECT_EQ(gribWrite(id, p, size), -1); });
    EXPECT_TRUE(contains(err, "gribWrite")) << err;
    gribClose(id);
    id = gribOpen("/dev/null", "w");
    EXPECT_GT(gribWrite(id, p, size), 0);
    EXPECT_EQ(gribClose(id), 0);
    munmap(p, size);
}
