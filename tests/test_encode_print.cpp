// A record encoded from section arrays, then the same arrays printed: the
// printout must describe the record that was written.
#include "encode_util.h"
#include "printer_util.h"

#include <gtest/gtest.h>

using namespace printutil;

namespace {

struct Printed {
    encodeutil::Result result;
    std::string sec0, sec1, sec2, sec4;
};

Printed encodeAndPrint(encodeutil::Fields<double> &f)
{
    const std::vector<double> original = f.fsec4; // the encoder rewrites fsec4 in place
    Printed p;
    p.result = encodeutil::encode(f);
    p.sec0 = capture([&] { gribPrintSec0(f.isec0.data()); });
    p.sec1 = capture([&] { gribPrintSec1(f.isec0.data(), f.isec1.data()); });
    p.sec2 = capture([&] { gribPrintSec2DP(f.isec0.data(), f.isec2.data(), f.fsec2.data()); });
    p.sec4 = capture([&] { gribPrintSec4DP(f.isec0.data(), f.isec4.data(), original.data()); });
    return p;
}

} // namespace

TEST(EncodeThenPrint, LinesDescribeTheWrittenRecord)
{
    encodeutil::Fields<double> f;
    f.values({271.5, 272.25, 280.0, 265.75, 290.5, 300.0});
    f.isec2[1] = 3; // 3 x 2 points
    f.isec4[1] = 16;
    Printed p = encodeAndPrint(f);
    ASSERT_EQ(p.result.status, 0);
    const auto &rec = p.result.rec;

    // Section 0: the length is the one in the indicator, edition 1.
    EXPECT_TRUE(contains(p.sec0, v38("Length of GRIB message (octets).", (long long)testutil::get3(rec, 4))))
        << p.sec0;
    EXPECT_TRUE(contains(p.sec0, v38("GRIB Edition Number.", rec[7]))) << p.sec0;

    // Section 1: what the PDS octets say.
    EXPECT_TRUE(contains(p.sec1, v38("Originating centre identifier.", rec[8 + 4]))) << p.sec1;
    EXPECT_TRUE(contains(p.sec1, v38("Parameter identifier (Code Table 2).", rec[8 + 8]))) << p.sec1;
    EXPECT_TRUE(contains(p.sec1, v38("Type of level (Code Table 3).", rec[8 + 9]))) << p.sec1;
    EXPECT_TRUE(contains(p.sec1, v38("Month of reference time of data.", rec[8 + 13]))) << p.sec1;

    // Section 2: the grid dimensions written to the GDS.
    const auto l = encodeutil::layout(rec);
    ASSERT_NE(l.gds, 0u);
    EXPECT_TRUE(contains(p.sec2, v46("Number of points along a parallel.", encodeutil::get2(rec, l.gds + 6))))
        << p.sec2;
    EXPECT_TRUE(contains(p.sec2, v46("Number of points along a meridian.", encodeutil::get2(rec, l.gds + 8))))
        << p.sec2;

    // Section 4: the count and width written, and the first values given.
    const auto b = encodeutil::bds(rec);
    EXPECT_EQ(b.bits, 16u);
    EXPECT_TRUE(contains(p.sec4, v46("Number of data values coded/decoded.", 6))) << p.sec4;
    EXPECT_TRUE(contains(p.sec4, v46("Number of bits per data value.", b.bits))) << p.sec4;
    EXPECT_TRUE(contains(p.sec4, fmt(" First %4d data values.\n", 6))) << p.sec4;
    EXPECT_TRUE(contains(p.sec4, "271.5")) << p.sec4;
    EXPECT_TRUE(contains(p.sec4, "265.75")) << p.sec4;
}
