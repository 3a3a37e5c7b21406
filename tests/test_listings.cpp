// The one-line record listings: header lines, every column, the large-record
// and compression columns, the error lines and the corruption mark.
#include "listings_util.h"

#include <gtest/gtest.h>
#include <valmora.h>

using namespace listings;
using testutil::Bytes;
using testutil::grib1;
using testutil::simpleBds;

namespace {

const char *kHead1 = "  Rec : Off Position   Size : V PDS  GDS    BMS    BDS : Code Level :  LType GType: CR LL\n";
const char *kHead2 =
    "  Rec : Off Position   Size : V IDS LUS GDS PDS  DRS    BMS    BDS : Parameter   Level :  LType GType: CR\n";
const char *kHeadPDS =
    "  Rec : PDS Tab Cen Sub Ver Grid Code LTyp Level1 Level2    Date  Time P1 P2 TU TR NAVE Scale FCnum CT\n";
const char *kHeadGDS = "  Rec : GDS  NV PVPL Typ : xsize ysize   Lat1   Lon1   Lat2   Lon2    dx    dy\n";
const char *kHeadBMS = "  Rec : Code Level     BMS    Size\n";
const char *kHeadBDS = "  Rec : Code Level     BDS Flag     Scale   RefValue Bits  CR\n";

struct Cols1 {
    int v = 1, pds = 28, gds = 32, bms = 0, bds = 0, code = 130, level = 50000, ltype = 100, gtype = 0;
    double cr = 1;
    char ll = 'F';
};

std::string line1(int nrec, long off, long pos, long size, const Cols1 &c)
{
    return format("%5d :%4ld %8ld %6ld :%2d%4d%5d %6d %6d : %3d %6d : %5d %5d %6.4g  %c", nrec, off, pos, size, c.v,
                  c.pds, c.gds, c.bms, c.bds, c.code, c.level, c.ltype, c.gtype, c.cr, c.ll);
}

void all(int nrec, long off, long pos, Bytes &rec) { gribPrintALL(nrec, off, pos, (long)rec.size(), rec.data()); }

// A sound edition 1 record with a GDS and 16-bit data.
Bytes plainRecord(Bytes p = pds(), Bytes bms = {})
{
    return grib1(std::move(p), latlonGds(4, 3), std::move(bms), simpleBds({1, 2, 3, 4, 5, 6}, 16));
}

TEST(Overview, HeaderOnceThenOneLinePerRecord)
{
    Bytes rec = plainRecord();
    Output o = inChild([&] {
        all(1, 0, 0, rec);
        all(2, 16, 200, rec);
    });
    Cols1 c;
    c.bds = (int)testutil::get3(rec, bdsOffset(rec));
    long n = (long)rec.size();
    EXPECT_EQ(o.out, kHead1 + line1(1, 0, 0, n, c) + "\n" + line1(2, 16, 200, n, c) + "\n");
}

TEST(Overview, LevelFromTheTypeOfLevel)
{
    struct Case {
        int type, l1, l2, level;
    } cases[] = {
        {100, 500 >> 8, 500 & 255, 50000}, // hPa shown in Pa
        {105, 2, 0, 2},                    // first octet alone
        {105, 0, 2, 0},
        {99, 1013 >> 8, 1013 & 255, 1013},
        {109, 0, 137, 137},
        {112, 3, 7, 3},
    };
    std::vector<Bytes> recs;
    for (const Case &k : cases) recs.push_back(plainRecord(pds(11, k.type, k.l1, k.l2)));
    Output o = inChild([&] {
        for (size_t i = 0; i < recs.size(); ++i) all((int)i + 1, 0, 0, recs[i]);
    });
    std::string want = kHead1;
    for (size_t i = 0; i < recs.size(); ++i) {
        Cols1 c;
        c.code = 11;
        c.ltype = cases[i].type;
        c.level = cases[i].level;
        c.bds = (int)testutil::get3(recs[i], bdsOffset(recs[i]));
        want += line1((int)i + 1, 0, 0, (long)recs[i].size(), c) + "\n";
    }
    EXPECT_EQ(o.out, want);
}

TEST(Overview, MissingGdsAndBitmapPresent)
{
    Bytes noGds = grib1(pds(), {}, {}, simpleBds({7, 8}, 8));
    Bytes bms(9, 0);
    bms[3] = 4; // 20 bits used
    Bytes withBms = grib1(pds(), latlonGds(5, 4), bms, simpleBds({1}, 8));
    Output o = inChild([&] {
        all(1, 0, 0, noGds);
        all(2, 0, 0, withBms);
    });
    Cols1 a;
    a.gds = 0;
    a.gtype = -1;
    a.bds = (int)testutil::get3(noGds, bdsOffset(noGds));
    Cols1 b;
    b.bms = 9;
    b.bds = (int)testutil::get3(withBms, bdsOffset(withBms));
    EXPECT_EQ(o.out, kHead1 + line1(1, 0, 0, (long)noGds.size(), a) + "\n" +
                         line1(2, 0, 0, (long)withBms.size(), b) + "\n");
}

// A 9,000,000-octet buffer whose BDS field holds 10: with the large flag the
// record is in the large form; without it the field is a plain length and
// the column shows it as stored, whatever size the caller passes.
TEST(Overview, LargeRecordColumnsAreDecidedIndependently)
{
    const long R = 9000000; // 75,000 × 120
    const size_t bdsAt = 8 + 28;
    Bytes big((size_t)R, 0);
    Bytes head = grib1(pds(), {}, {}, Bytes(10, 0));
    std::copy(head.begin(), head.begin() + (long)bdsAt + 10, big.begin());
    testutil::put3(big, bdsAt, 10);
    Bytes large = big, plain = big;
    testutil::put3(large, 4, 0x800000 + 75000);
    memcpy(&large[(size_t)R - 10], "7777", 4); // true length R - f + 4
    testutil::put3(plain, 4, (uint32_t)(bdsAt + 14));
    memcpy(&plain[bdsAt + 10], "7777", 4);

    // Flag set but a small size: the column shows the field, LL shows T.
    Bytes small = grib1(pds(), {}, {}, Bytes(20, 0));
    small[4] |= 0x80;

    // The caller passes the true length, as the scanner gives it.
    const long T = R - 10 + 4;
    Output o = inChild([&] {
        all(1, 0, 0, large);
        all(2, 0, 0, plain);
        all(3, 0, 0, small);
        gribPrintALL(4, 0, 0, T, large.data());
    });
    Cols1 c;
    c.gds = 0;
    c.gtype = -1;
    c.level = 50000;
    c.bds = (int)(R - (long)bdsAt - 10);
    c.ll = 'T';
    std::string want = kHead1 + line1(1, 0, 0, R, c) + "\n";
    c.ll = 'F';
    c.bds = 10;
    want += line1(2, 0, 0, R, c) + "\n";
    c.bds = 20;
    c.ll = 'T';
    want += line1(3, 0, 0, (long)small.size(), c) + "\n";
    c.bds = (int)(R - (long)bdsAt - 10);
    want += line1(4, 0, 0, T, c) + "\n";
    EXPECT_EQ(o.out, want);
}

TEST(Overview, CompressionRatiosOfAnSzipRecord)
{
    Bytes plain = grib1(pds(), latlonGds(100, 100), {}, smooth16());
    SzipRecord z = szipForm(plain);
    ASSERT_GT(z.zipped, 0u);
    ASSERT_LT(z.zipped, z.packed);
    SzipRecord old = szipForm(plain, 130); // accepted by the overview only
    Output o = inChild([&] {
        all(1, 0, 0, z.rec);
        all(2, 0, 0, plain);
        all(3, 0, 0, old.rec);
        gribPrintBDS(1, 0, (long)z.rec.size(), z.rec.data());
        gribPrintBDS(2, 0, (long)plain.size(), plain.data());
        gribPrintBDS(3, 0, (long)old.rec.size(), old.rec.data());
    });
    Cols1 c;
    c.level = 50000;
    c.bds = (int)testutil::get3(z.rec, bdsOffset(z.rec));
    c.cr = (double)z.before / (double)z.rec.size();
    std::string want = kHead1 + line1(1, 0, 0, (long)z.rec.size(), c) + "\n";
    c.bds = (int)testutil::get3(plain, bdsOffset(plain));
    c.cr = 1;
    want += line1(2, 0, 0, (long)plain.size(), c) + "\n";
    c.bds = (int)testutil::get3(old.rec, bdsOffset(old.rec));
    c.cr = (double)old.before / (double)old.rec.size();
    want += line1(3, 0, 0, (long)old.rec.size(), c) + "\n";
    auto bdsLine = [](int nrec, const Bytes &r, double cr) {
        size_t at = bdsOffset(r);
        return format("%5d :%4d%7d %7d %4d %8.5g %11.5g%4d %6.4g\n", nrec, 130, 50000, (int)testutil::get3(r, at),
                      r[at + 3], 1.0, 0.0, 16, cr);
    };
    want += kHeadBDS + bdsLine(1, z.rec, (double)z.packed / z.zipped) + bdsLine(2, plain, 1) + bdsLine(3, old.rec, 1);
    EXPECT_EQ(o.out, want);
    EXPECT_GT(c.cr, 1.0);
}

std::string line2(int nrec, long size, const Grib2Spec &s, const char *param)
{
    return format("%5d :%4ld %8ld %6ld :%2d %3ld %3ld %3ld %3ld %4ld %6ld %6ld : %-9s %7d : %5d %5d %6.4g\n", nrec,
                  0L, 0L, size, 2, 21L, (long)s.lus, 72L, 34L, 21L, 6L, (long)(5 + s.ndata), param, s.scaled,
                  s.surface, s.gtype, 1.0);
}

TEST(Overview, Grib2Columns)
{
    Grib2Spec a; // discipline 0, category 2, number 3, no local use section
    Grib2Spec b;
    b.discipline = 10;
    b.category = 191;
    b.number = 1;
    b.surface = 103;
    b.scaled = -2;
    b.gtype = 40;
    b.lus = 12;
    b.ndata = 100;
    Bytes ra = grib2(a), rb = grib2(b), r1 = plainRecord();
    Output o = inChild([&] {
        all(1, 0, 0, ra);
        all(2, 0, 0, r1);
        all(3, 0, 0, rb);
        all(4, 0, 0, r1);
    });
    Cols1 c;
    c.bds = (int)testutil::get3(r1, bdsOffset(r1));
    std::string want = kHead2 + line2(1, (long)ra.size(), a, "3.2.0") + kHead1 + line1(2, 0, 0, (long)r1.size(), c) +
                       "\n" + line2(3, (long)rb.size(), b, "1.191.10") + line1(4, 0, 0, (long)r1.size(), c) + "\n";
    EXPECT_EQ(o.out, want);
}

TEST(Overview, FailureLines)
{
    Bytes ed3 = {'G', 'R', 'I', 'B', 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes good = plainRecord();
    Bytes noEnd = good;
    noEnd[noEnd.size() - 1] = '6';
    Bytes g2 = grib2(Grib2Spec());
    g2[g2.size() - 1] = '6';
    Output o = inChild([&] {
        all(1, 3, 10, ed3); // no header for an edition not handled
        all(2, 4, 20, noEnd);
        all(3, 5, 30, good);
        all(4, 6, 40, g2);
        // Fewer octets than the GRIB2 indicator: an error, not a read past them.
        std::vector<unsigned char> stub(g2.begin(), g2.begin() + 12);
        gribPrintALL(5, 7, 50, 12, stub.data());
    });
    Cols1 c;
    c.bds = (int)testutil::get3(good, bdsOffset(good));
    std::string want = format("%5d :%4ld%9ld%7ld : GRIB version %d unsupported\n", 1, 3L, 10L, 16L, 3);
    want += kHead1;
    want += format("%5d :%4ld %8ld %6ld : GRIB message error\n", 2, 4L, 20L, (long)noEnd.size());
    want += line1(3, 5, 30, (long)good.size(), c) + "\n";
    want += kHead2;
    want += format("%5d :%4ld %8ld %6ld : error\n", 4, 6L, 40L, (long)g2.size());
    want += format("%5d :%4ld %8ld %6ld : error\n", 5, 7L, 50L, 12L);
    EXPECT_EQ(o.out, want);
    EXPECT_NE(o.err.find("Missing GRIB end section"), std::string::npos);
}

// A record cut short: the line is made from what was located, fields past
// the cut read 0, and the mark follows. The copies are exactly as long as
// the size given, so a read past them shows under the address sanitizer.
TEST(Overview, CorruptedMarkAndFieldsPastTheRecordSize)
{
    Bytes plain = grib1(pds(), latlonGds(100, 100), {}, smooth16());
    SzipRecord z = szipForm(plain);
    size_t bdsAt = bdsOffset(z.rec);
    Output o = inChild([&] {
        std::vector<unsigned char> cut(z.rec.begin(), z.rec.begin() + (long)bdsAt + 11);
        gribPrintALL(1, 0, 0, (long)cut.size(), cut.data());
        gribPrintBDS(1, 0, (long)cut.size(), cut.data());
        gribPrintPDS(1, 0, (long)cut.size(), cut.data());
        gribPrintGDS(1, 0, (long)cut.size(), cut.data());
        gribPrintBMS(1, 0, (long)cut.size(), cut.data());
    });
    const std::string mark = " <-- GRIB data corrupted!\n";
    Cols1 c;
    c.bds = (int)testutil::get3(z.rec, bdsAt);
    std::string want = kHead1 + line1(1, 0, 0, (long)bdsAt + 11, c) + mark;
    want += kHeadBDS + format("%5d :%4d%7d %7d %4d %8.5g %11.5g%4d %6.4g", 1, 130, 50000, c.bds, z.rec[bdsAt + 3], 1.0,
                              0.0, 16, 1.0) + mark;
    ASSERT_EQ(o.out.substr(0, want.size()), want);
    EXPECT_NE(o.out.find(kHeadPDS), std::string::npos);
    EXPECT_NE(o.out.find(kHeadGDS), std::string::npos);
    EXPECT_NE(o.out.find(std::string(kHeadBMS) + "    1 : 130  50000 Bit Map Section not defined" + mark),
              std::string::npos);
    EXPECT_NE(o.err.find("Inconsistent length"), std::string::npos);
}

std::string pdsLine(int nrec, int len, int tab, int cen, int sub, int ver, int grid, int code, int ltyp, int l1, int l2,
                    int date, int time, int p1, int p2, int tu, int tr, int nave, int scale, int fc, int ct)
{
    return format("%5d :%4d%4d%4d%4d%4d %4d %4d%4d%7d%7d %8d%6d%3d%3d%3d%3d%5d%6d%5d%4d\n", nrec, len, tab, cen, sub,
                  ver, grid, code, ltyp, l1, l2, date, time, p1, p2, tu, tr, nave, scale, fc, ct);
}

TEST(SectionListings, PdsColumnsSignedYearAndEnsembleNumber)
{
    Bytes p = pds(167, 105, 2, 0);
    set(p, 13, 0x81); // year 1 before the century's start
    set(p, 14, 3);
    set(p, 15, 4);
    set(p, 16, 6);
    set(p, 17, 15);
    set(p, 19, 12);
    set(p, 20, 24);
    set(p, 21, 4);
    set2(p, 22, 300);
    set(p, 25, 20);
    set(p, 26, 7);
    setSigned(p, 27, -2, 2);
    Bytes a = grib1(p, {}, {}, simpleBds({1}, 8));

    Bytes q = pds(); // a local extension naming an ensemble member
    q.resize(60, 0);
    set(q, 41, 1);
    set(q, 50, 17);
    Bytes b = grib1(q, {}, {}, simpleBds({1}, 8));
    Bytes q2 = q;
    set(q2, 41, 2);
    Bytes c = grib1(q2, {}, {}, simpleBds({1}, 8));

    // Edition 0: the PDS follows the marker; unsigned year, no sub-centre,
    // no decimal scale, century column 1.
    Bytes p0 = pds(2, 1, 0, 0);
    p0.resize(24);
    set(p0, 4, 0); // record octet 8: the locator reads an edition there
    set(p0, 13, 0x81);
    Bytes e0 = {'G', 'R', 'I', 'B'};
    testutil::put3(p0, 0, 24);
    p0[7] = 0;
    Bytes bds0 = simpleBds({1, 2}, 8);
    testutil::put3(bds0, 0, (uint32_t)bds0.size());
    e0.insert(e0.end(), p0.begin(), p0.end());
    e0.insert(e0.end(), bds0.begin(), bds0.end());
    e0.insert(e0.end(), {'7', '7', '7', '7'});

    Output o = inChild([&] {
        for (Bytes *r : {&a, &b, &c, &e0}) gribPrintPDS(1, 0, (long)r->size(), r->data());
    });
    std::string want = kHeadPDS;
    want += pdsLine(1, 28, 128, 98, 7, 127, 255, 167, 105, 2, 0, 10000 + 304, 615, 12, 24, 1, 4, 300, -2, 0, -20);
    want += pdsLine(1, 60, 128, 98, 0, 127, 255, 130, 100, 1, 244, 240517, 1230, 0, 0, 1, 0, 0, 0, 17, 21);
    want += pdsLine(1, 60, 128, 98, 0, 127, 255, 130, 100, 1, 244, 240517, 1230, 0, 0, 1, 0, 0, 0, 0, 21);
    want += pdsLine(1, 24, 0, 98, 0, 127, 255, 2, 1, 0, 0, 1290000 + 517, 1230, 0, 0, 1, 0, 0, 0, 0, 1);
    EXPECT_EQ(o.out, want);
}

TEST(SectionListings, GdsAndBmsColumns)
{
    Bytes g = latlonGds(360, 181);
    set(g, 4, 2);
    Bytes bms(9, 0);
    set(bms, 4, 4);
    Bytes with = grib1(pds(), g, bms, simpleBds({1}, 8));
    Bytes without = grib1(pds(11, 105, 10, 0), {}, {}, simpleBds({1}, 8));
    Output o = inChild([&] {
        for (Bytes *r : {&with, &without}) gribPrintGDS(1, 0, (long)r->size(), r->data());
        for (Bytes *r : {&with, &without}) gribPrintBMS(2, 0, (long)r->size(), r->data());
    });
    std::string want = kHeadGDS;
    want += format("%5d :%4d%4d%4d %4d :%6d%6d%7d%7d%7d%7d%6d%6d\n", 1, 32, 2, 255, 0, 360, 181, 90000, 0, -90000,
                   359000, 1000, 1000);
    want += "    1 : Grid Description Section not defined\n";
    want += kHeadBMS;
    want += format("%5d :%4d%7d %7d %7d\n", 2, 130, 50000, 9, 8 * 9 - 4 - 48);
    want += format("%5d :%4d%7d Bit Map Section not defined\n", 2, 11, 10);
    EXPECT_EQ(o.out, want);
}

TEST(SectionListings, BdsScaleAndReferenceWithDecimalFactor)
{
    struct Case {
        int E, D;
        unsigned char refExp;
        double scale, ref;
    } cases[] = {
        {-3, 2, 0x41, 0.00125, 0.01}, // 2^-3 × 10^-2; IBM 0x41 0x100000 is 1
        {3, 0, 0x41, 8, 1},
        {0, -1, 0xC1, 10, -10},
        {-20, 0, 0x42, 1.0 / 1048576, 16},
    };
    std::vector<Bytes> recs;
    for (const Case &k : cases) {
        Bytes p = pds();
        setSigned(p, 27, k.D, 2);
        Bytes b = simpleBds({1, 2, 3}, 12);
        setSigned(b, 5, k.E, 2);
        set(b, 7, k.refExp);
        set3(b, 8, 0x100000);
        recs.push_back(grib1(p, {}, {}, b));
    }
    Output o = inChild([&] {
        for (Bytes &r : recs) gribPrintBDS(9, 0, (long)r.size(), r.data());
    });
    std::string want = kHeadBDS;
    for (size_t i = 0; i < recs.size(); ++i)
        want += format("%5d :%4d%7d %7d %4d %8.5g %11.5g%4d %6.4g\n", 9, 130, 50000, 16, 4, cases[i].scale,
                       cases[i].ref, 12, 1.0);
    EXPECT_EQ(o.out, want);
    EXPECT_NE(o.out.find("  0.00125        0.01  12"), std::string::npos);
}

TEST(SectionListings, EachListingHasItsOwnHeaderAndFailureLines)
{
    Bytes good = plainRecord(), g2 = grib2(Grib2Spec()), bad = plainRecord();
    bad[bad.size() - 2] = 'x'; // no end section
    Output o = inChild([&] {
        gribPrintBDS(1, 100, (long)g2.size(), g2.data()); // unsupported: no header
        gribPrintPDS(2, 0, (long)bad.size(), bad.data());
        gribPrintGDS(3, 0, (long)good.size(), good.data());
        gribPrintPDS(4, 0, (long)good.size(), good.data());
        gribPrintBMS(5, 0, (long)bad.size(), bad.data());
    });
    std::string want = format("%5d :%4ld%9ld%7ld : GRIB version %d unsupported\n", 1, 0L, 100L, (long)g2.size(), 2);
    want += kHeadPDS + std::string("    2 : GRIB message error\n");
    want += kHeadGDS + format("%5d :%4d%4d%4d %4d :%6d%6d%7d%7d%7d%7d%6d%6d\n", 3, 32, 0, 255, 0, 4, 3, 90000, 0,
                              -90000, 359000, 1000, 1000);
    want += pdsLine(4, 28, 128, 98, 0, 127, 255, 130, 100, 1, 244, 240517, 1230, 0, 0, 1, 0, 0, 0, 0, 21);
    want += kHeadBMS + std::string("    5 : GRIB message error\n");
    EXPECT_EQ(o.out, want);
}

} // namespace
