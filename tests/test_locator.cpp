// The large-record rule and the section locators of editions 0, 1 and 2:
// pointers, lengths, results and the exact texts on standard error, damaged
// headers that must end the walk without reading outside the record, and the
// scanner and locator agreeing on a malformed large-form record.
#include "record_util.h"

#include "support.h"

#include <random>

using namespace recutil;
using testutil::Bytes;
using testutil::TempDir;

namespace {

struct G1 {
    int rc;
    unsigned char *pds, *gds, *bms, *bds;
    long len;
    std::string err;
};

G1 locate1(Bytes &b, long bufsize)
{
    G1 r{};
    r.err = stderrOf([&] { r.rc = grib1Sections(b.data(), bufsize, &r.pds, &r.gds, &r.bms, &r.bds, &r.len); });
    return r;
}

G1 locate1(Bytes &b) { return locate1(b, (long)b.size()); }

struct G2 {
    int rc;
    unsigned char *p[7];
    std::string err;
};

G2 locate2(Bytes &b, long bufsize = 0)
{
    G2 r{};
    r.err = stderrOf(
        [&] { r.rc = grib2Sections(b.data(), bufsize, &r.p[0], &r.p[1], &r.p[2], &r.p[3], &r.p[4], &r.p[5], &r.p[6]); });
    return r;
}

Bytes pdsOf(size_t n, int decimal = 0)
{
    Bytes pds(n, 0);
    pds[8] = 11;
    pds[11] = 100;
    if (n >= 28) {
        pds[26] = (unsigned char)((decimal < 0 ? 0x80 : 0) | std::abs(decimal) >> 8);
        pds[27] = (unsigned char)std::abs(decimal);
    }
    return pds;
}

// A record with all four sections: PDS 28, GDS 32, BMS 14, BDS 40.
Bytes fullRecord()
{
    Bytes gds(32, 0x21), bms(14, 0xFF), bds(40, 0x44);
    bds[3] = 0;
    bds[4] = 0x80 | 0; // binary scale -3 as sign and magnitude
    bds[5] = 3;
    bds[6] = 65; // reference value 1.5 in IBM form: 0x41 0x18 0x00 0x00
    bds[7] = 0x18, bds[8] = 0, bds[9] = 0;
    bds[10] = 12;
    return testutil::grib1(pdsOf(28, -2), gds, bms, bds);
}

} // namespace

// ---- The large-record rule ---------------------------------------------------

TEST(LargeRecordRule, CorrectBdslen)
{
    EXPECT_EQ(correct_bdslen(50, 8388720, 1000), 8387670);
    EXPECT_EQ(correct_bdslen(50, 8388600, 1000), 50);
    EXPECT_EQ(correct_bdslen(121, 9000000, 1000), 121);
    EXPECT_EQ(correct_bdslen(120, 8388608, 0), 8388488);
    EXPECT_EQ(correct_bdslen(4, 1006632840, 60), 1006632840 - 60 - 4);
    EXPECT_EQ(correct_bdslen(-1, 9000000, 10), -1); // compared unsigned: not a correction
}

// ---- grib1Sections --------------------------------------------------------------

TEST(Grib1Sections, RecordWithoutGdsAndBms)
{
    Bytes b = testutil::grib1(pdsOf(28), {}, {}, Bytes(30, 0));
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.pds, b.data() + 8);
    EXPECT_EQ(r.gds, nullptr);
    EXPECT_EQ(r.bms, nullptr);
    EXPECT_EQ(r.bds, b.data() + 8 + 28);
    EXPECT_EQ(r.len, 8 + 28 + 30 + 4);
}

TEST(Grib1Sections, RecordWithEverySection)
{
    Bytes b = fullRecord();
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.gds, b.data() + 36);
    EXPECT_EQ(r.bms, b.data() + 68);
    EXPECT_EQ(r.bds, b.data() + 82);
    EXPECT_EQ(r.len, (long)b.size());
}

TEST(Grib1Sections, EditionZeroStartsThePdsAtOctetFive)
{
    Bytes pds = pdsOf(24);
    testutil::put3(pds, 0, 24);
    pds[3] = 0; // the octet the edition 1 indicator would hold
    Bytes bds(20, 0);
    testutil::put3(bds, 0, 20);
    Bytes b = concat({{'G', 'R', 'I', 'B'}, pds, bds, {'7', '7', '7', '7'}});
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.pds, b.data() + 4);
    EXPECT_EQ(r.bds, b.data() + 28);
    EXPECT_EQ(r.len, 4 + 24 + 20 + 4);
}

TEST(Grib1Sections, BufferOneOctetShort)
{
    Bytes b = fullRecord();
    G1 r = locate1(b, (long)b.size() - 1);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "Inconsistent length of GRIB message (grib_buffer_size=" + std::to_string(b.size() - 1) +
                         " < grib_record_size=" + std::to_string(b.size()) + ")!\n");
    EXPECT_EQ(r.pds, b.data() + 8); // set before the length test
    EXPECT_EQ(r.bds, b.data() + 82);
    EXPECT_EQ(r.len, (long)b.size());
}

TEST(Grib1Sections, WrongIndicatorOrEditionClearsTheOutputs)
{
    Bytes b = fullRecord();
    b[3] = 'C';
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Wrong GRIB indicator section: found >GRIC<\n");
    EXPECT_EQ(r.pds, nullptr);
    EXPECT_EQ(r.len, 0);

    Bytes e2 = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    r = locate1(e2);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Error while decoding GRIB1 sections: GRIB edition 2 records not supported!\n");
}

TEST(Grib1Sections, MissingEndSection)
{
    Bytes b = fullRecord();
    b[b.size() - 1] = '8';
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(r.err, "Missing GRIB end section: found >7778<\n");
    EXPECT_EQ(r.len, (long)b.size());
}

TEST(Grib1Sections, LargeFormRecord)
{
    // 69,906 units of 120 = 8,388,720 octets, 100 of them padding (f = 104).
    const size_t R = 69906 * 120, f = 104, T = R - f + 4;
    Bytes b(R, 0);
    const char *g = "GRIB";
    std::copy(g, g + 4, b.begin());
    testutil::put3(b, 4, 0x800000 | 69906);
    b[7] = 1;
    testutil::put3(b, 8, 28);
    testutil::put3(b, 36, (uint32_t)f);
    for (size_t i = T - 4; i < T; ++i) b[i] = '7';
    G1 r = locate1(b);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.bds, b.data() + 36);
    EXPECT_EQ(r.len, (long)T);
    // The rule is only for 69,906 units and more: one unit less is plain.
    testutil::put3(b, 4, 0x800000 | 69905);
    r = locate1(b);
    EXPECT_EQ(r.len, 36 + 104 + 4);
    EXPECT_EQ(r.rc, -2);
}

TEST(Grib1Sections, DamagedHeadersEndTheWalkInsideTheRecord)
{
    // Each buffer is exactly as long as the record, so the sanitizer build
    // catches any read outside it.
    struct Case {
        const char *what;
        std::function<void(Bytes &)> damage;
    };
    std::vector<Case> cases = {
        {"PDS length past the end", [](Bytes &b) { testutil::put3(b, 8, 0xFFFFFF); }},
        {"BMS length past the end", [](Bytes &b) { testutil::put3(b, 68, 0xFFFFF0); }},
        {"BDS past the stated length", [](Bytes &b) { testutil::put3(b, 4, 80); }},
        {"indicator claims a few octets", [](Bytes &b) { testutil::put3(b, 4, 12); }},
        {"end section past the stated length", [](Bytes &b) { testutil::put3(b, 4, (uint32_t)b.size() - 1); }},
    };
    for (const Case &c : cases) {
        Bytes b = fullRecord();
        c.damage(b);
        G1 r = locate1(b);
        EXPECT_EQ(r.rc, -2) << c.what;
        EXPECT_TRUE(contains(r.err, "GRIB record damaged")) << c.what << ": " << r.err;
    }
    Bytes tiny = {'G', 'R', 'I', 'B', 0};
    G1 r = locate1(tiny);
    EXPECT_EQ(r.rc, -1);
}

TEST(Grib1Sections, ScannerAndLocatorAgreeOnAMalformedLargeRecord)
{
    // The large flag with a correction-sized field but too few units: both
    // read the BDS field as a plain length.
    TempDir dir;
    for (uint32_t units : {1u, 1000u, 69905u}) {
        for (uint32_t gds : {0u, 44u}) {
            Bytes pds = pdsOf(28);
            Bytes g(gds, 0);
            Bytes bds(60, 0);
            Bytes b = testutil::grib1(pds, g, {}, bds);
            testutil::put3(b, 4, 0x800000 | units);
            std::string path = dir.file("m.grb");
            testutil::writeFile(path, b);
            int id = gribOpen(path.c_str(), "r");
            size_t scanned = gribGetSize(id);
            Bytes buf(scanned ? scanned : 1);
            size_t size = buf.size();
            int rc = gribRead(id, buf.data(), &size);
            gribClose(id);
            G1 r = locate1(b);
            EXPECT_EQ(scanned, b.size()) << units << " " << gds;
            EXPECT_EQ(r.len, (long)scanned) << units << " " << gds;
            EXPECT_EQ(r.rc, 0) << r.err;
            EXPECT_EQ(rc, 0);
        }
    }
}

// ---- grib2Sections ---------------------------------------------------------------

TEST(Grib2Sections, WithoutLocalUseSection)
{
    Bytes b = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    G2 r = locate2(b);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.p[0], b.data() + 16);
    EXPECT_EQ(r.p[1], nullptr);
    EXPECT_EQ(r.p[2], b.data() + 37);
    EXPECT_EQ(r.p[3], b.data() + 109);
    EXPECT_EQ(r.p[4], b.data() + 143);
    EXPECT_EQ(r.p[5], b.data() + 164);
    EXPECT_EQ(r.p[6], b.data() + 170);
}

TEST(Grib2Sections, LocalUseSectionIsFollowedBySectionThree)
{
    Bytes b = grib2({{1, 21}, {2, 11}, {9, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    G2 r = locate2(b);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.p[1], b.data() + 37);
    EXPECT_EQ(r.p[2], b.data() + 48); // taken as section 3 whatever its number
}

TEST(Grib2Sections, SecondFieldIsReportedAndSkipped)
{
    Bytes b = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}, {4, 34}, {5, 21}, {6, 6}, {7, 12}});
    G2 r = locate2(b);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "Skipped unsupported multi GRIB section 2!\n");
    EXPECT_EQ(r.p[6], b.data() + 170); // the first field's data section
}

TEST(Grib2Sections, ResultsAndMessagesOfBadRecords)
{
    Bytes b = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    Bytes x = b;
    x[0] = 'g';
    G2 r = locate2(x);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "wrong indicator section >gRIB<\n");
    for (int i = 0; i < 7; ++i) EXPECT_EQ(r.p[i], nullptr);

    x = b;
    x[7] = 1;
    EXPECT_EQ(locate2(x).err, "wrong GRIB version 1\n");

    struct Order {
        std::initializer_list<std::pair<int, uint32_t>> secs;
        const char *text;
    };
    for (const Order &o : {Order{{{2, 21}, {3, 72}}, "Unexpected section1 number 2\n"},
                           Order{{{1, 21}, {4, 72}}, "Unexpected section3 number 4\n"},
                           Order{{{1, 21}, {3, 72}, {5, 34}}, "Unexpected section4 number 5\n"},
                           Order{{{1, 21}, {3, 72}, {4, 34}, {6, 21}}, "Unexpected section5 number 6\n"},
                           Order{{{1, 21}, {3, 72}, {4, 34}, {5, 21}, {7, 6}}, "Unexpected section6 number 7\n"},
                           Order{{{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {1, 10}},
                                 "Unexpected section7 number 1\n"}}) {
        Bytes y = grib2(o.secs);
        y.resize(y.size() + 16, 0); // room for the headers that are looked at
        G2 q = locate2(y);
        EXPECT_EQ(q.rc, -1);
        EXPECT_EQ(q.err, o.text);
    }

    // Something other than a section or "7777" after the data section.
    x = b;
    x.insert(x.end() - 4, {0, 0, 0, 9, 8, 0, 0, 0, 0});
    for (int i = 0; i < 8; ++i) x[8 + i] = (unsigned char)((uint64_t)x.size() >> (56 - 8 * i));
    r = locate2(x);
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(r.err, "Missing end section > 0  0  0  9<\n");
    EXPECT_EQ(r.p[6], x.data() + 170); // pointers stay set
}

TEST(Grib2Sections, SectionLengthsPointingOutsideEndTheWalk)
{
    Bytes b = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    for (size_t at : {16u, 37u, 170u}) {
        Bytes x = b;
        put4(x, at, 0x7FFFFFF0);
        G2 r = locate2(x, (long)x.size());
        EXPECT_LT(r.rc, 0) << at;
        r = locate2(x); // no buffer size: the stated length bounds the walk
        EXPECT_LT(r.rc, 0) << at;
    }
    Bytes x = b;
    put4(x, 37, 0); // a zero length must not loop
    EXPECT_LT(locate2(x).rc, 0);
    x = b;
    x[15] = 40; // the stated length ends inside section 3
    EXPECT_EQ(locate2(x).rc, -2);
}

// ---- grib_info_for_grads -------------------------------------------------------------

TEST(GribInfoForGrads, OffsetsScalesAndReferenceValue)
{
    Bytes b = fullRecord();
    int ints[1] = {0};
    float flts[3] = {0, 0, 0};
    int64_t big[2] = {0, 0};
    std::string err = stderrOf([&] { EXPECT_EQ(grib_info_for_grads(1000, (long)b.size(), b.data(), ints, flts, big), 0); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(ints[0], 12);
    EXPECT_FLOAT_EQ(flts[0], 0.01f); // 10^-2
    EXPECT_FLOAT_EQ(flts[1], 0.125f); // 2^-3
    EXPECT_FLOAT_EQ(flts[2], 1.5f);
    EXPECT_EQ(big[0], 1000 + 82 + 11);
    EXPECT_EQ(big[1], 1000 + 68 + 6);

    Bytes nb = testutil::grib1(pdsOf(28, 3), {}, {}, Bytes(30, 0));
    EXPECT_EQ(grib_info_for_grads(5, (long)nb.size(), nb.data(), ints, flts, big), 0);
    EXPECT_EQ(big[1], -999);
    EXPECT_FLOAT_EQ(flts[0], 1000.0f);
}

TEST(GribInfoForGrads, SmallSizeMissingEndAndWrongIndicator)
{
    Bytes b = fullRecord();
    int ints[1];
    float flts[3];
    int64_t big[2];
    std::string err = stderrOf([&] { EXPECT_EQ(grib_info_for_grads(0, (long)b.size() - 2, b.data(), ints, flts, big), 1); });
    EXPECT_EQ(err, "GRIB buffer size " + std::to_string(b.size() - 2) + " too small! Min size = " +
                       std::to_string(b.size()) + "\n");

    b[b.size() - 4] = 'X';
    err = stderrOf([&] { EXPECT_EQ(grib_info_for_grads(0, (long)b.size(), b.data(), ints, flts, big), 0); });
    EXPECT_EQ(err, "Missing end section >58 37 37 37<\n");

    b[0] = 'B';
    err = stderrOf([&] { EXPECT_EQ(grib_info_for_grads(0, (long)b.size(), b.data(), ints, flts, big), -1); });
    EXPECT_EQ(err, "wrong indicator section >BRIB<\n");
}

// ---- Corrupted records ------------------------------------------------------------------

TEST(Locators, RandomDamageNeverLeavesTheRecord)
{
    // Random octets overwritten and random truncation, in buffers of the
    // exact size: results stay in their sets and pointers inside the buffer.
    std::mt19937 rng(99);
    const Bytes g1 = fullRecord();
    const Bytes g2 = grib2({{1, 21}, {2, 9}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}, {7, 10}});
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20000; ++round) {
        const Bytes &src = round % 2 ? g1 : g2;
        Bytes b(src.begin(), src.begin() + (long)(16 + rng() % (src.size() - 15)));
        for (int k = (int)(rng() % 4); k >= 0; --k) b[rng() % b.size()] = (unsigned char)(rng() % 3 ? rng() : 0xFF);
        auto inside = [&](unsigned char *p) { return !p || (p >= b.data() && p < b.data() + b.size()); };
        unsigned char *pds, *gds, *bms, *bds;
        long len;
        int rc = grib1Sections(b.data(), (long)b.size(), &pds, &gds, &bms, &bds, &len);
        ASSERT_TRUE(rc == 0 || rc == 1 || rc == -1 || rc == -2);
        ASSERT_TRUE(inside(pds) && inside(gds) && inside(bms) && inside(bds));
        if (rc == 0) {
            ASSERT_LE(len, (long)b.size());
        }
        unsigned char *p[7];
        rc = grib2Sections(b.data(), (long)b.size(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
        ASSERT_TRUE(rc == 0 || rc == -1 || rc == -2);
        for (auto *q : p) ASSERT_TRUE(inside(q));
        int ints[1];
        float flts[3];
        int64_t big[2];
        rc = grib_info_for_grads(0, (long)b.size(), b.data(), ints, flts, big);
        ASSERT_TRUE(rc == 0 || rc == 1 || rc == -1);
    }
    testing::internal::GetCapturedStderr();
}
