// The check and repair of 24-bit data left in byte-plane order: which
// records are candidates, the lines printed, the byte-plane join, the header
// length of each packing, and that nothing outside the packed data changes.
#include "listings_util.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <valmora.h>

using namespace listings;
using testutil::Bytes;
using testutil::grib1;

namespace {

// A record whose BDS holds `data` after `header` octets (11, or more for
// spherical harmonics), 24 bits per value.
Bytes record24(const Bytes &data, Bytes header = Bytes(11, 0), int code = 130, int ltype = 100)
{
    header[10] = 24;
    Bytes bds = header;
    bds.insert(bds.end(), data.begin(), data.end());
    return grib1(pds(code, ltype, 1, 244), latlonGds(2, 1), {}, bds);
}

Output check(Bytes &rec, int nrec = 1)
{
    return inChild([&] { gribCheck1(nrec, 0, (long)rec.size(), rec.data()); });
}

// Repairs `times` times in a child and hands back the record it left.
Output repair(Bytes &rec, int times = 1, int nrec = 1)
{
    testutil::TempDir dir;
    std::string name = dir.file("rec");
    Output o = inChild([&] {
        for (int i = 0; i < times; ++i) gribRepair1(nrec, (long)rec.size(), rec.data());
        testutil::writeFile(name, rec);
    });
    rec = testutil::readFile(name);
    return o;
}

const Bytes kPlanes = {0xA0, 0xA1, 0xB0, 0xB1, 0xC0, 0xC1};

TEST(Check, A24BitRecordIsReportedAndRepaired)
{
    Bytes rec = record24(kPlanes), before = rec;
    Output c = check(rec, 7);
    EXPECT_EQ(c.out, "GRIB record     7 : code =  130   level =   50000\n");
    EXPECT_EQ(rec, before);

    Output r = repair(rec, 1, 7);
    EXPECT_EQ(r.out, "Repair GRIB record     7 : code =  130   level =   50000\n");
    size_t data = bdsOffset(rec) + 11;
    Bytes joined(rec.begin() + (long)data, rec.begin() + (long)data + 6);
    EXPECT_EQ(joined, (Bytes{0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1}));
    // Only the packed data changed.
    EXPECT_TRUE(std::equal(rec.begin(), rec.begin() + (long)data, before.begin()));
    EXPECT_TRUE(std::equal(rec.begin() + (long)data + 6, rec.end(), before.begin() + (long)data + 6));
}

TEST(Check, RepairingTwiceRewritesAgain)
{
    Bytes rec = record24(kPlanes);
    repair(rec, 2);
    size_t data = bdsOffset(rec) + 11;
    Bytes twice(rec.begin() + (long)data, rec.begin() + (long)data + 6);
    EXPECT_EQ(twice, (Bytes{0xA0, 0xC0, 0xB1, 0xB0, 0xA1, 0xC1}));
}

TEST(Check, NonCandidatesGiveNoOutputAndStayUnchanged)
{
    Bytes sixteen = grib1(pds(), latlonGds(2, 1), {}, testutil::simpleBds({1, 2, 3}, 16));

    // 24-bit values in the szip form (lengths differ: really compressed).
    std::vector<uint32_t> v(6000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (uint32_t)(70000 + i % 300);
    Bytes plain24 = grib1(pds(), latlonGds(100, 60), {}, testutil::simpleBds(v, 24));
    SzipRecord z = szipForm(plain24);
    ASSERT_GT(z.zipped, 0u);
    ASSERT_NE(z.zipped, z.packed);

    for (Bytes *rec : {&sixteen, &z.rec}) {
        Bytes before = *rec;
        EXPECT_EQ(check(*rec).out, "");
        Output r = repair(*rec);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(*rec, before);
    }
}

TEST(Check, SzipMarkWithEqualLengthsIsACandidate)
{
    Bytes header(23, 0);
    header[3] = 16;
    header[13] = 128;
    set3(header, 18, 600);
    set3(header, 21, 600);
    // The mark takes the BDS to 23 header octets, but the repair still
    // starts the packed data after octet 11: the header is grid-point.
    Bytes data(36, 0);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (unsigned char)i;
    Bytes rec = record24(data, header);
    EXPECT_EQ(check(rec).out, "GRIB record     1 : code =  130   level =   50000\n");
    Bytes other = rec;
    set3(other, bdsOffset(other) + 20, 599); // lengths differ: compressed
    EXPECT_EQ(check(other).out, "");

    repair(rec);
    size_t at = bdsOffset(rec) + 11;
    const size_t n = (23 - 11 + 36) / 3; // all octets after the 11 header octets
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(rec[at + 3 * i], i < 12 ? header[11 + i] : data[i - 12]) << i;
    }
}

// The join of n values from planes, written out independently.
Bytes joinedPlanes(const Bytes &planes, size_t n)
{
    Bytes out(3 * n);
    for (size_t k = 0; k < 3; ++k)
        for (size_t i = 0; i < n; ++i) out[3 * i + k] = planes[k * n + i];
    return out;
}

TEST(Repair, HeaderLengthOfEachPacking)
{
    struct Case {
        unsigned char flag;
        int J;
        size_t H;
    } cases[] = {
        {0x00, 0, 11},
        {0x80, 0, 15},
        {0xC0, 10, 18 + 11 * 48}, // 546
        {0xC0, 0, 26},
    };
    for (const Case &k : cases) {
        Bytes header(k.H, 0x5A);
        header[3] = k.flag;
        header[15 % k.H] = (unsigned char)k.J;
        if (k.H > 15) header[15] = (unsigned char)k.J;
        Bytes planes(3 * 5);
        for (size_t i = 0; i < planes.size(); ++i) planes[i] = (unsigned char)(i * 7 + 1);
        Bytes rec = record24(planes, header), before = rec;
        repair(rec);
        size_t bds = bdsOffset(rec);
        EXPECT_TRUE(std::equal(rec.begin(), rec.begin() + (long)(bds + k.H), before.begin())) << k.H;
        Bytes got(rec.begin() + (long)(bds + k.H), rec.begin() + (long)(bds + k.H + 15));
        EXPECT_EQ(got, joinedPlanes(planes, 5)) << k.H;
    }
}

TEST(Repair, UnusedBitsAndTheWholeValueRule)
{
    // 8 data octets, 16 of them unused bits at the end: 48 bits, 2 values.
    Bytes planes = {1, 2, 3, 4, 5, 6, 0xEE, 0xFF};
    Bytes header(11, 0);
    header[3] = 0; // the unused count is set below through the octet
    Bytes rec = record24(planes, header);
    size_t bds = bdsOffset(rec);
    rec[bds + 3] = 8; // 8 unused: 56 bits, down to 48
    repair(rec);
    Bytes got(rec.begin() + (long)bds + 11, rec.begin() + (long)bds + 19);
    EXPECT_EQ(got, (Bytes{1, 3, 5, 2, 4, 6, 0xEE, 0xFF}));

    // Fewer than 24 data bits: nothing to join.
    Bytes tiny = record24({9, 8}), before = tiny;
    Output r = repair(tiny);
    EXPECT_EQ(r.out, "Repair GRIB record     1 : code =  130   level =   50000\n");
    EXPECT_EQ(tiny, before);
}

TEST(Repair, FailuresAndLevelsInTheLines)
{
    Bytes rec = record24(kPlanes, Bytes(11, 0), 11, 105);
    rec[8 + 10] = 2; // PDS octet 11: level 2
    EXPECT_EQ(check(rec).out, "GRIB record     1 : code =   11   level =       2\n");

    Bytes noEnd = record24(kPlanes);
    noEnd[noEnd.size() - 1] = 0;
    Bytes before = noEnd;
    EXPECT_EQ(check(noEnd, 3).out, "    3 : GRIB message error\n");
    EXPECT_EQ(repair(noEnd, 1, 3).out, "    3 : GRIB message error\n");
    EXPECT_EQ(noEnd, before);

    Bytes whole = record24(kPlanes);
    Bytes cut(whole.begin(), whole.end() - 1);
    before = cut;
    EXPECT_EQ(check(cut, 4).out, "    4 : <-- GRIB data corrupted!\n");
    EXPECT_EQ(repair(cut, 1, 4).out, "    4 : <-- GRIB data corrupted!\n");
    EXPECT_EQ(cut, before);
}

// A large record whose BDS field is the short correction (10 < 11 header
// octets): the repair has no data bits and must leave every octet alone.
TEST(Repair, LargeRecordWithShortLengthFieldIsLeftAlone)
{
    const size_t R = 9000000;
    Bytes big(R, 0x33);
    Bytes head = record24({});
    size_t bds = bdsOffset(head);
    std::copy(head.begin(), head.begin() + (long)bds + 11, big.begin());
    testutil::put3(big, 4, 0x800000 + (uint32_t)(R / 120));
    testutil::put3(big, bds, 10);
    memcpy(&big[R - 10], "7777", 4);
    Bytes before = big;
    Output r = repair(big);
    EXPECT_EQ(r.out, "Repair GRIB record     1 : code =  130   level =   50000\n");
    EXPECT_TRUE(big == before);
}

// A large record whose huge bitmap leaves a located data section (24 octets)
// shorter than the stored correction (60): the join stays inside the 24.
TEST(Repair, StaysInsideTheLocatedDataSection)
{
    const size_t R = 69906 * 120, B = 8388600, bds = 8 + 28 + B;
    Bytes big(R, 0x44);
    Bytes head = record24({});
    std::copy(head.begin(), head.begin() + 36, big.begin());
    big[8 + 7] = 0x40; // a bitmap follows the PDS
    testutil::put3(big, 36, (uint32_t)B);
    testutil::put3(big, 4, 0x800000 + 69906);
    Bytes bdsHead(11, 0);
    bdsHead[10] = 24;
    std::copy(bdsHead.begin(), bdsHead.end(), big.begin() + (long)bds);
    testutil::put3(big, bds, 60);
    memcpy(&big[bds + 24], "7777", 4);
    for (size_t i = 0; i < 13; ++i) big[bds + 11 + i] = (unsigned char)i;
    Bytes before = big;
    Output r = repair(big);
    EXPECT_EQ(r.out, "Repair GRIB record     1 : code =  130   level =   50000\n");
    // (24 - 11) × 8 bits hold 4 values: 12 octets joined, the 13th kept.
    Bytes got(big.begin() + (long)bds + 11, big.begin() + (long)bds + 24);
    EXPECT_EQ(got, (Bytes{0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, 12}));
    EXPECT_TRUE(std::equal(big.begin() + (long)bds + 24, big.end(), before.begin() + (long)bds + 24));
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + (long)bds + 11, before.begin()));
}

TEST(Repair, ScratchIsReleased)
{
    Bytes rec = record24(kPlanes);
    long before = memBlocksInUse();
    Output o = inChild([&] {
        gribRepair1(1, (long)rec.size(), rec.data());
        printf("%ld\n", memBlocksInUse());
    });
    EXPECT_EQ(o.out.substr(o.out.find('\n') + 1), std::to_string(before) + "\n");
}

#if defined(__SANITIZE_ADDRESS__)
#define VALMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VALMORA_ASAN 1
#endif
#endif

#ifndef VALMORA_ASAN
long addressSpaceInUse()
{
    FILE *f = fopen("/proc/self/statm", "r");
    long pages = 0;
    if (f) {
        if (fscanf(f, "%ld", &pages) != 1) pages = 0;
        fclose(f);
    }
    return pages * sysconf(_SC_PAGESIZE);
}
#endif

// Without memory for the scratch block the record is left as it was. The
// work runs in a fresh run of this program, so that no block freed by an
// earlier test can serve the request, on a record built in one allocation.
TEST(Repair, FailedScratchAllocationLeavesTheRecord)
{
#ifdef VALMORA_ASAN
    GTEST_SKIP() << "the address sanitizer reserves address space beyond any limit set here";
#else
    const size_t octets = 3 * 4000000; // 12 MB of packed data
    if (getenv("VALMORA_TEST_NOMEM")) {
        Bytes rec(8 + 28 + 11 + octets + 4, 0);
        memcpy(rec.data(), "GRIB", 4);
        testutil::put3(rec, 4, (uint32_t)rec.size());
        rec[7] = 1;
        testutil::put3(rec, 8, 28);
        rec[8 + 8] = 130;
        testutil::put3(rec, 36, (uint32_t)(11 + octets));
        rec[36 + 10] = 24;
        for (size_t i = 0; i < octets; ++i) rec[47 + i] = (unsigned char)(i * 31);
        memcpy(&rec[rec.size() - 4], "7777", 4);
        Bytes copy = rec;
        printf("start\n");
        fflush(stdout);
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = (rlim_t)addressSpaceInUse() + 2 * 1024 * 1024;
        if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(98);
        gribRepair1(1, (long)copy.size(), copy.data());
        fflush(stdout);
        _exit(copy == rec ? 0 : 97);
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    testutil::CommandResult r = testutil::run(std::string("VALMORA_TEST_NOMEM=1 '") + self +
                                              "' --gtest_filter=Repair.FailedScratchAllocationLeavesTheRecord 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("start\nRepair GRIB record     1 : code =  130   level =       0\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("No Memory! GRIB record 1 left unchanged"), std::string::npos) << r.out;
#endif
}

} // namespace
