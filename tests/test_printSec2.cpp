// Printouts of the grid description section: representation type groups,
// quasi-regular summaries, vertical coordinates, rotation and stretching.
#include "printer_util.h"
#include "support.h"

#include <gtest/gtest.h>

#include <vector>

using namespace printutil;

namespace {

const std::string kHeading = " \n Section 2 - Grid Description Section.\n"
                             " -------------------------------------\n";
const std::string kSigns = " (Southern latitudes and Western longitudes are negative.)\n";
const std::string kINotGiven = " i direction (East-West) increment            Not given\n";
const std::string kJNotGiven = " j direction (North-South) increment          Not given\n";

struct Grid {
    int isec0[2] = {0, 1};
    std::vector<int> s = std::vector<int>(64, 0);
    std::vector<double> f = std::vector<double>(64, 0.0);

    std::string print() const
    {
        return capture([&] { gribPrintSec2DP(isec0, s.data(), f.data()); });
    }
};

std::string flagLine(unsigned v)
{
    return " Resolution and components flag.               " + bits8(v) + "\n";
}

std::string scanLine(unsigned v)
{
    return " Scanning mode flags (Code Table 8)            " + bits8(v) + "\n";
}

// A one-degree global grid, points given in millidegrees.
Grid latLon(int type = 0)
{
    Grid g;
    const int e[] = {type, 360, 181, 90000, 0, 128, -90000, 359000, 1000, 1000, 0, 0};
    for (int i = 0; i < 12; ++i) g.s[i] = e[i];
    return g;
}

// ---- Latitude/longitude and Gaussian groups -------------------------------------

TEST(PrintSec2Grid, RegularLatLonLineByLine)
{
    Grid g = latLon();
    g.s[17] = 8;  // added to the flags with element 18
    g.s[18] = 0;
    g.s[10] = 64;
    std::string expect = kHeading + kSigns +
                         v46("Data represent type = lat/long     (Table 6)", 0) +
                         v46("Number of points along a parallel.", 360) +
                         v46("Number of points along a meridian.", 181) +
                         v46("Latitude of first grid point.", 90000) +
                         v46("Longitude of first grid point.", 0) + flagLine(128 + 8) +
                         v46("Latitude of last grid point.", -90000) +
                         v46("Longitude of last grid point.", 359000) +
                         v46("i direction (East-West) increment.", 1000) +
                         v46("j direction (North-South) increment.", 1000) + scanLine(64) +
                         v46("Number of vertical coordinate parameters.", 0);
    EXPECT_EQ(g.print(), expect);
    EXPECT_EQ(v46("Number of points along a parallel.", 360),
              " Number of points along a parallel." + std::string(11, ' ') + "      360\n");
}

TEST(PrintSec2Grid, FlagSumOfElements17And5And18)
{
    Grid g = latLon();
    g.s[5] = 128;
    g.s[17] = 64;
    g.s[18] = 8;
    EXPECT_TRUE(contains(g.print(), flagLine(200)));
}

TEST(PrintSec2Grid, LatLonIncrementsNotGivenWhenNegative)
{
    Grid g = latLon();
    g.s[8] = -1;
    std::string t = g.print();
    EXPECT_TRUE(contains(t, v46("Longitude of last grid point.", 359000) + kINotGiven +
                                v46("j direction (North-South) increment.", 1000)));
    g.s[8] = 1000;
    g.s[9] = -1;
    t = g.print();
    EXPECT_TRUE(contains(t, v46("i direction (East-West) increment.", 1000) + kJNotGiven));
    // Zero is a given increment.
    g.s[8] = 0;
    g.s[9] = 0;
    t = g.print();
    EXPECT_FALSE(contains(t, "Not given"));
}

TEST(PrintSec2Grid, GaussianIncrementDependsOnTheFlagOnly)
{
    Grid g = latLon(4);
    g.s[9] = 90;
    std::string expect = kHeading + kSigns +
                         v46("Data represent type = gaussian     (Table 6)", 4) +
                         v46("Number of points along a parallel.", 360) +
                         v46("Number of points along a meridian.", 181) +
                         v46("Latitude of first grid point.", 90000) +
                         v46("Longitude of first grid point.", 0) + flagLine(128) +
                         v46("Latitude of last grid point.", -90000) +
                         v46("Longitude of last grid point.", 359000) +
                         v46("i direction (East-West) increment.", 1000) +
                         v46("Number of parallels between pole and equator.", 90) + scanLine(0) +
                         v46("Number of vertical coordinate parameters.", 0);
    EXPECT_EQ(g.print(), expect);
    for (int flag : {0, 136, 129}) {
        g.s[5] = flag;
        g.s[8] = 1000;
        std::string t = g.print();
        EXPECT_TRUE(contains(t, kINotGiven)) << flag;
        EXPECT_FALSE(contains(t, "i direction (East-West) increment.")) << flag;
    }
    g.s[5] = 128;
    g.s[8] = -1; // a negative increment still prints under flag 128
    EXPECT_TRUE(contains(g.print(), v46("i direction (East-West) increment.", -1)));
}

// ---- Quasi-regular summary ---------------------------------------------------

Grid quasi(int type, const std::vector<int> &points)
{
    Grid g = latLon(type);
    g.s.resize(22 + points.size() + 8, 0);
    g.s[1] = 65535;
    g.s[2] = (int)points.size();
    g.s[16] = 1;
    for (size_t i = 0; i < points.size(); ++i) g.s[22 + i] = points[i];
    return g;
}

// The summary line of a run: count, then its parallels as text in 12 columns.
std::string run(int count, int first, int last)
{
    std::string text = rjust(std::to_string(first), 4);
    if (last > first) text += "to " + rjust(std::to_string(last), 5);
    if (text.size() < 12) text.append(12 - text.size(), ' ');
    return " " + rjust(std::to_string(count), 5) + std::string(16, ' ') + text + "\n";
}

const std::string kVaries = "  Number of points along a parallel varies.\n";
const std::string kNorthSouth = "  Number of points.   Parallel. (North to South)\n";
const std::string kSouthNorth = "  Number of points.   Parallel. (South to North)\n";

TEST(PrintSec2Quasi, RunsOfEqualCounts)
{
    Grid g = quasi(0, {20, 20, 20, 24});
    std::string t = g.print();
    EXPECT_TRUE(contains(t, v46("Data represent type = lat/long     (Table 6)", 0) + kVaries +
                                kNorthSouth + run(20, 1, 3) + run(24, 4, 4) +
                                v46("Number of points along a meridian.", 4)));
    EXPECT_EQ(run(20, 1, 3), "    20                   1to     3\n");
    EXPECT_FALSE(contains(t, "Number of points along a parallel."));

    t = quasi(0, {20, 24, 20}).print();
    EXPECT_TRUE(contains(t, kNorthSouth + run(20, 1, 1) + run(24, 2, 2) + run(20, 3, 3) +
                                v46("Number of points along a meridian.", 3)));
    t = quasi(0, {7, 7, 7, 7, 7}).print();
    EXPECT_TRUE(contains(t, kNorthSouth + run(7, 1, 5) + v46("Number of points along a meridian.", 5)));
}

TEST(PrintSec2Quasi, ScanningDirection)
{
    struct {
        int mode;
        const std::string &text;
    } cases[] = {{0, kNorthSouth}, {128, kNorthSouth}, {64, kSouthNorth},
                 {192, kSouthNorth}, {32, kNorthSouth}, {-64, kNorthSouth}};
    for (const auto &c : cases) {
        Grid g = quasi(0, {4, 8});
        g.s[10] = c.mode;
        EXPECT_TRUE(contains(g.print(), kVaries + c.text)) << c.mode;
    }
}

TEST(PrintSec2Quasi, NoParallelsPrintsOnlyTheHeadings)
{
    Grid g = quasi(0, {});
    g.s[2] = -3;
    EXPECT_TRUE(contains(g.print(), kVaries + kNorthSouth +
                                        v46("Number of points along a meridian.", -3)));
}

TEST(PrintSec2Quasi, GaussianSummaryOnlyFromEdition1)
{
    Grid g = quasi(4, {20, 20, 24});
    std::string t = g.print();
    EXPECT_TRUE(contains(t, kVaries + kNorthSouth + run(20, 1, 2) + run(24, 3, 3)));
    g.isec0[1] = 0;
    t = g.print();
    EXPECT_FALSE(contains(t, kVaries));
    EXPECT_TRUE(contains(t, v46("Number of points along a parallel.", 65535)));
    // Latitude/longitude grids show it in any edition.
    Grid l = quasi(0, {20, 24});
    l.isec0[1] = 0;
    EXPECT_TRUE(contains(l.print(), kVaries));
}

TEST(PrintSec2Quasi, FiveDigitParallelNumbersAreNotCut)
{
    std::vector<int> points(10000, 1);
    points.push_back(2);
    points.push_back(2);
    std::string t = quasi(0, points).print();
    EXPECT_TRUE(contains(t, run(1, 1, 10000) + run(2, 10001, 10002)));
    EXPECT_TRUE(contains(t, "10001to 10002\n"));
}

// ---- The other representation types --------------------------------------------

TEST(PrintSec2Types, Spectral)
{
    Grid g;
    const int e[] = {50, 106, 106, 106, 1, 2, 9, 9, 9, 9, 9, 0};
    for (int i = 0; i < 12; ++i) g.s[i] = e[i];
    std::string expect = kHeading + v46("Data represent type = spectral     (Table 6)", 50) +
                         v46("J - Pentagonal resolution parameter.", 106) +
                         v46("K - Pentagonal resolution parameter.", 106) +
                         v46("M - Pentagonal resolution parameter.", 106) +
                         v46("Representation type (Table 9)", 1) +
                         v46("Representation mode (Table 10).", 2);
    for (int i = 0; i < 5; ++i) expect += v46("Not used.", 9);
    expect += v46("Number of vertical coordinate parameters.", 0);
    EXPECT_EQ(g.print(), expect);
}

TEST(PrintSec2Types, Lambert)
{
    Grid g;
    for (int i = 1; i < 21; ++i) g.s[i] = 100 + i;
    g.s[0] = 3;
    g.s[5] = 8;
    g.s[17] = 128;
    g.s[18] = 1;
    g.s[10] = 64;
    g.s[11] = 0;
    std::string expect = kHeading + kSigns +
                         v46("Data represent type = Lambert      (Table 6)", 3) +
                         v46("Number of points along X axis.", 101) +
                         v46("Number of points along Y axis.", 102) +
                         v46("Latitude of first grid point.", 103) +
                         v46("Longitude of first grid point.", 104) + flagLine(137) +
                         v46("Orientation of the grid.", 106) +
                         v46("X direction increment.", 108) +
                         v46("Y direction increment.", 109) + scanLine(64) +
                         v46("Number of vertical coordinate parameters.", 0) +
                         v46("Projection centre flag.", 112) +
                         v46("Latitude intersection 1 - Latin 1 -.", 113) +
                         v46("Latitude intersection 2 - Latin 2 -.", 114) +
                         v46("Latitude of Southern Pole.", 119) +
                         v46("Longitude of Southern Pole.", 120);
    EXPECT_EQ(g.print(), expect);
}

TEST(PrintSec2Types, PolarStereographicLeavesElement5OutOfTheFlags)
{
    Grid g;
    for (int i = 1; i < 21; ++i) g.s[i] = 100 + i;
    g.s[0] = 5;
    g.s[5] = 128;
    g.s[17] = 8;
    g.s[18] = 0;
    g.s[10] = 0;
    g.s[11] = 0;
    std::string expect = kHeading + kSigns +
                         v46("Data represent type = polar stereo (Table 6)", 5) +
                         v46("Number of points along X axis.", 101) +
                         v46("Number of points along Y axis.", 102) +
                         v46("Latitude of first grid point.", 103) +
                         v46("Longitude of first grid point.", 104) + flagLine(8) +
                         v46("Orientation of the grid.", 106) +
                         v46("X direction increment.", 108) +
                         v46("Y direction increment.", 109) + scanLine(0) +
                         v46("Number of vertical coordinate parameters.", 0) +
                         v46("Projection centre flag.", 112);
    EXPECT_EQ(g.print(), expect);
}

TEST(PrintSec2Types, SpaceView)
{
    Grid g;
    for (int i = 1; i < 21; ++i) g.s[i] = 100 + i;
    g.s[0] = 90;
    g.s[10] = 128;
    g.s[11] = 0;
    std::string expect = kHeading + kSigns +
                         v46("Data represent type = space/ortho  (Table 6)", 90) +
                         v46("Number of points along X axis.", 101) +
                         v46("Number of points along Y axis.", 102) +
                         v46("Latitude of sub-satellite point.", 103) +
                         v46("Longitude of sub-satellite point.", 104) +
                         v46("Diameter of the earth in x direction.", 106) +
                         v46("Y coordinate of sub-satellite point.", 109) + scanLine(128) +
                         v46("Number of vertical coordinate parameters.", 0) +
                         v46("Orientation of the grid.", 106) +
                         v46("Altitude of the camera.", 113) +
                         v46("Y coordinate of origin of sector image.", 114) +
                         v46("X coordinate of origin of sector image.", 115);
    EXPECT_EQ(g.print(), expect);
}

TEST(PrintSec2Types, Triangular)
{
    Grid g;
    for (int i = 1; i < 21; ++i) g.s[i] = 100 + i;
    g.s[0] = 192;
    g.s[11] = 0;
    std::string expect = kHeading + v46("Data represent type = triangular   (Table 6)", 192) +
                         v46("Number of factor 2 in factorisation of Ni.", 101) +
                         v46("Number of factor 3 in factorisation of Ni.", 102) +
                         v46("Number of diamonds (Nd).", 103) +
                         " Number of triangular subdivisions of the\n" +
                         fmt("           icosahedron (Ni).                  %9d\n", 104) +
                         v46("Flag for orientation of diamonds (Table A).", 105) +
                         v46("Latitude of pole point.", 106) + v46("Longitude of pole point.", 107) +
                         v46("Longitude of the first diamond.", 108) +
                         v46("Flag for storage sequence (Table B).", 109) +
                         v46("Number of vertical coordinate parameters.", 0);
    EXPECT_EQ(g.print(), expect);
}

TEST(PrintSec2Types, UnsupportedTypePrintsOneLineAndStops)
{
    for (int type : {1, 2, 6, 13, 100, -1}) {
        Grid g = latLon(type);
        g.s[11] = 2; // no vertical coordinates follow either
        EXPECT_EQ(g.print(),
                  kHeading + fmt("GRPRS2 :Data representation type not catered for -%d\n", type))
            << type;
    }
}

// ---- Vertical coordinates, rotation and stretching -----------------------------

const std::string kVertical = " \n Vertical Coordinate Parameters.\n"
                              " -------------------------------\n";

TEST(PrintSec2Vertical, ByCount)
{
    Grid g = latLon();
    std::string t = g.print();
    EXPECT_FALSE(contains(t, "Vertical Coordinate"));

    g.s[11] = -1;
    t = g.print();
    EXPECT_EQ(t.substr(t.size() - kVertical.size()), kVertical);

    g.s[11] = 3;
    g.f[9] = 99.0; // before the list
    g.f[10] = 0.0;
    g.f[11] = -1.5;
    g.f[12] = 101325.123456789012;
    g.f[13] = 7.0; // after it
    t = g.print();
    std::string list = v46("Number of vertical coordinate parameters.", 3) + kVertical +
                       fmt("    %20.12f\n", 0.0) + fmt("    %20.12f\n", -1.5) +
                       fmt("    %20.12f\n", 101325.123456789012);
    EXPECT_EQ(t.substr(t.size() - list.size()), list);
}

std::string rotation(int lat, int lon, double angle)
{
    return " \n" + v46("Latitude of southern pole of rotation.", lat) +
           v46("Longitude of southern pole of rotation.", lon) +
           fmt(" Angle of rotation.                     %20.10f\n", angle);
}

std::string stretching(int lat, int lon, double factor)
{
    return " \n" + v46("Latitude of pole of stretching.", lat) +
           v46("Longitude of pole of stretching.", lon) +
           fmt(" Stretching factor.                     %20.10f\n", factor);
}

Grid withPoles(int type)
{
    Grid g = latLon(type);
    g.s[12] = -40000;
    g.s[13] = 10000;
    g.s[14] = 30000;
    g.s[15] = -20000;
    g.f[0] = 12.5;
    g.f[1] = 2.25;
    return g;
}

TEST(PrintSec2Rotation, ByTypeAndEdition)
{
    const std::string nvLine = v46("Number of vertical coordinate parameters.", 0);
    struct {
        int type;
        bool rotated, stretched;
    } cases[] = {{0, false, false},  {10, true, false}, {20, false, true}, {30, true, true},
                 {4, false, false},  {14, true, false}, {24, false, true}, {34, true, true},
                 {50, false, false}, {60, true, false}, {70, false, true}, {80, true, true},
                 {192, false, false}};
    for (const auto &c : cases) {
        Grid g = withPoles(c.type);
        std::string tail = nvLine;
        if (c.rotated) tail += rotation(-40000, 10000, 12.5);
        if (c.stretched) tail += stretching(30000, -20000, 2.25);
        std::string t = g.print();
        ASSERT_GE(t.size(), tail.size());
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << c.type;

        g.isec0[1] = 0;
        t = g.print();
        EXPECT_EQ(t.substr(t.size() - nvLine.size()), nvLine) << c.type;
    }
}

TEST(PrintSec2Rotation, AfterTheVerticalCoordinates)
{
    Grid g = withPoles(30);
    g.s[11] = 1;
    g.f[10] = 5.0;
    std::string tail = kVertical + fmt("    %20.12f\n", 5.0) + rotation(-40000, 10000, 12.5) +
                       stretching(30000, -20000, 2.25);
    std::string t = g.print();
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
}

// ---- Single precision -------------------------------------------------------------

TEST(PrintSec2Single, WidensTheParametersAndReleasesItsBlock)
{
    Grid g = withPoles(30);
    g.s[11] = 2;
    std::vector<float> f(12, 0.0f);
    f[0] = 12.5f;
    f[1] = 0.1f; // widened, not reparsed: 0.1000000015
    f[10] = 1.25f;
    f[11] = 1.0f / 3.0f;
    long blocks = memBlocksInUse();
    std::string t = capture([&] { gribPrintSec2SP(g.isec0, g.s.data(), f.data()); });
    EXPECT_EQ(memBlocksInUse(), blocks);
    std::string tail = kVertical + fmt("    %20.12f\n", 1.25) +
                       fmt("    %20.12f\n", (double)(1.0f / 3.0f)) +
                       rotation(-40000, 10000, 12.5) + stretching(30000, -20000, (double)0.1f);
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
    EXPECT_TRUE(contains(t, "0.1000000015\n"));
}

TEST(PrintSec2Single, ReadsOnlyWhatItPrints)
{
    // A rotated grid without vertical coordinates needs one parameter: the
    // array holds just that (checked by the address sanitizer builds).
    Grid g = withPoles(10);
    std::vector<float> one(1, 7.5f);
    std::string t = capture([&] { gribPrintSec2SP(g.isec0, g.s.data(), one.data()); });
    EXPECT_TRUE(contains(t, fmt(" Angle of rotation.                     %20.10f\n", 7.5)));

    Grid r = latLon(0);
    std::vector<float> none(0);
    t = capture([&] { gribPrintSec2SP(r.isec0, r.s.data(), none.data()); });
    EXPECT_TRUE(contains(t, v46("Number of vertical coordinate parameters.", 0)));
}

TEST(PrintSec2Single, NegativeCountsNeedNoParameters)
{
    for (int nv : {-1, -9, -10, -11, -1000000}) {
        Grid g = withPoles(30);
        g.s[11] = nv;
        std::vector<float> f(2, 3.0f);
        long blocks = memBlocksInUse();
        std::string t = capture([&] { gribPrintSec2SP(g.isec0, g.s.data(), f.data()); });
        EXPECT_EQ(memBlocksInUse(), blocks);
        std::string tail = v46("Number of vertical coordinate parameters.", nv) + kVertical +
                           rotation(-40000, 10000, 3.0) + stretching(30000, -20000, 3.0);
        ASSERT_GE(t.size(), tail.size()) << nv;
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << nv;
    }
}

} // namespace
