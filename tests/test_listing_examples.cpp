// The gribls and gribcheck examples run on files made here: what they list,
// what the checker repairs into its copy, and their errors.
#include "listings_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

using namespace listings;
using testutil::Bytes;
using testutil::grib1;

namespace {

std::string tool(const std::string &name) { return std::string(VALMORA_BUILD_DIR) + "/" + name; }

bool haveTools()
{
    struct stat st;
    return stat(tool("gribls").c_str(), &st) == 0 && stat(tool("gribcheck").c_str(), &st) == 0;
}

#define NEED_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "the examples are not built (VALMORA_EXAMPLES=OFF)"

Bytes cat(std::initializer_list<const Bytes *> parts)
{
    Bytes out;
    for (const Bytes *p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

TEST(Gribls, ListsEveryRecordWithOffsetsAndPositions)
{
    NEED_TOOLS();
    testutil::TempDir dir;
    Bytes a = grib1(pds(), latlonGds(3, 2), {}, testutil::simpleBds({1, 2, 3, 4, 5, 6}, 8));
    Bytes b = grib2(Grib2Spec());
    Bytes junk(5, 'x');
    std::string f = dir.file("mixed.grb");
    testutil::writeFile(f, cat({&a, &junk, &b, &a}));

    testutil::CommandResult r = testutil::run(tool("gribls") + " " + f);
    EXPECT_EQ(r.status, 0);
    long la = (long)a.size(), lb = (long)b.size();
    int bdsA = (int)testutil::get3(a, bdsOffset(a));
    auto lineA = [&](int n, long off, long pos) {
        return format("%5d :%4ld %8ld %6ld :%2d%4d%5d %6d %6d : %3d %6d : %5d %5d %6.4g  %c\n", n, off, pos, la, 1, 28,
                      32, 0, bdsA, 130, 50000, 100, 0, 1.0, 'F');
    };
    std::string want =
        "  Rec : Off Position   Size : V PDS  GDS    BMS    BDS : Code Level :  LType GType: CR LL\n" +
        lineA(1, 0, 0) +
        "  Rec : Off Position   Size : V IDS LUS GDS PDS  DRS    BMS    BDS : Parameter   Level :  LType GType: CR\n" +
        format("%5d :%4ld %8ld %6ld :%2d %3ld %3ld %3ld %3ld %4ld %6ld %6ld : %-9s %7d : %5d %5d %6.4g\n", 2, 5L,
               la + 5, lb, 2, 21L, 0L, 72L, 34L, 21L, 6L, 13L, "3.2.0", 50000, 100, 0, 1.0) +
        "        field 1: parameter 0.2.3  level 100:50000  time +0 min  grid 3.0  packing 5.0\n" +
        lineA(3, 0, la + 5 + lb);
    EXPECT_EQ(r.out, want);
}

TEST(Gribls, SectionListingOption)
{
    NEED_TOOLS();
    testutil::TempDir dir;
    Bytes a = grib1(pds(), {}, {}, testutil::simpleBds({1, 2}, 8));
    std::string f = dir.file("one.grb");
    testutil::writeFile(f, a);
    EXPECT_EQ(testutil::run(tool("gribls") + " -s gds " + f).out,
              "  Rec : GDS  NV PVPL Typ : xsize ysize   Lat1   Lon1   Lat2   Lon2    dx    dy\n"
              "    1 : Grid Description Section not defined\n");
    EXPECT_EQ(testutil::run(tool("gribls") + " -s bms " + f).out,
              "  Rec : Code Level     BMS    Size\n    1 : 130  50000 Bit Map Section not defined\n");
    EXPECT_NE(testutil::run(tool("gribls") + " -s pds " + f).out.find("FCnum CT\n    1 :  28 128  98"),
              std::string::npos);
    EXPECT_NE(testutil::run(tool("gribls") + " -s bds " + f).out.find("Bits  CR\n    1 : 130  50000"),
              std::string::npos);
}

TEST(Gribls, UsageAndFileErrors)
{
    NEED_TOOLS();
    testutil::TempDir dir;
    std::string text = dir.file("text.txt");
    testutil::writeFile(text, Bytes(100, 'a'));
    Bytes a = grib1(pds(), {}, {}, testutil::simpleBds({1, 2, 3, 4}, 8));
    Bytes cut(a.begin(), a.end() - 3);
    std::string trunc = dir.file("trunc.grb");
    testutil::writeFile(trunc, cat({&a, &cut}));

    struct Case {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {"", 2, "usage: gribls [-s pds|gds|bms|bds] file.grb"},
        {"-s xyz " + text, 2, "unknown section 'xyz'"},
        {dir.file("missing.grb"), 1, "cannot open"},
        {dir.path, 1, "is not a regular file"},
        {text, 1, "no GRIB record found"},
        {trunc, 1, "record 2 at octet"},
    };
    for (const Case &c : cases) {
        testutil::CommandResult r = testutil::run(tool("gribls") + " " + c.args + " 2>&1");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
    // The sound first record is still listed before the error.
    EXPECT_NE(testutil::run(tool("gribls") + " " + trunc + " 2>/dev/null").out.find("    1 :   0        0"),
              std::string::npos);
}

Bytes record24(const Bytes &data)
{
    Bytes bds(11, 0);
    bds[10] = 24;
    bds.insert(bds.end(), data.begin(), data.end());
    return grib1(pds(), {}, {}, bds);
}

// 300 smooth 24-bit values, stored whole or as three byte planes.
Bytes smooth24(bool planes)
{
    const size_t n = 300;
    Bytes data(3 * n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = (uint32_t)(8000000.0 + 6000000.0 * std::sin((double)i / 40.0));
        for (size_t k = 0; k < 3; ++k) data[planes ? k * n + i : 3 * i + k] = (unsigned char)(v >> (16 - 8 * k));
    }
    return record24(data);
}

TEST(Gribcheck, ReportsAndRepairsIntoACopy)
{
    NEED_TOOLS();
    testutil::TempDir dir;
    Bytes planes = smooth24(true), healthy = smooth24(false), few = record24({1, 2, 3, 4, 5, 6});
    Bytes other = grib1(pds(), {}, {}, testutil::simpleBds({1, 2, 3}, 16));
    std::string in = dir.file("in.grb"), out = dir.file("out.grb");
    testutil::writeFile(in, cat({&other, &planes, &healthy, &few}));

    // Only the record in planes: the healthy one and the one of two values
    // (too few to judge) are left alone.
    testutil::CommandResult c = testutil::run(tool("gribcheck") + " " + in);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.out, "GRIB record     2 : code =  130   level =   50000\n");

    testutil::CommandResult r = testutil::run(tool("gribcheck") + " -r " + out + " " + in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Repair GRIB record     2 : code =  130   level =   50000\n");
    EXPECT_EQ(testutil::readFile(out), cat({&other, &healthy, &healthy, &few}));
    EXPECT_EQ(testutil::readFile(in), cat({&other, &planes, &healthy, &few})); // the input is left as it was
}

TEST(Gribcheck, UsageAndFileErrors)
{
    NEED_TOOLS();
    testutil::TempDir dir;
    std::string in = dir.file("in.grb");
    testutil::writeFile(in, record24({1, 2, 3}));
    struct Case {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {"", 2, "usage: gribcheck [-r repaired.grb [-f]] file.grb"},
        {"-r " + in + " " + in, 2, "must not overwrite"},
        {dir.file("missing.grb"), 2, "cannot open"},
        {"-r " + dir.file("x.grb") + " " + dir.file("missing.grb"), 2, "cannot open"},
        {"-r " + dir.file("no/such/dir.grb") + " " + in, 2, "cannot create"},
    };
    for (const Case &c : cases) {
        testutil::CommandResult r = testutil::run(tool("gribcheck") + " " + c.args + " 2>&1");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
}

} // namespace
