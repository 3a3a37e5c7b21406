// Section printouts: the edge cases of each block, with the expected lines
// built from the line layouts (labels padded to their column, formats).
#include "printer_util.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

using namespace printutil;

namespace {

using Set = std::vector<std::pair<int, int>>; // element, value

// ---- Sections 0 and 1 -----------------------------------------------------------

struct Sec1 {
    int isec0[2] = {0, 1};
    std::vector<int> s = std::vector<int>(512, 0);
    explicit Sec1(const Set &set = {})
    {
        const int base[23] = {128, 7,  96, 255, 128, 11, 100, 500, 0,  95, 1, 2,
                              12,  30, 1,  6,   0,   0,  0,   0,   20, 0,  -2};
        for (int i = 0; i < 23; ++i) s[i] = base[i];
        for (auto [e, v] : set) s[e] = v;
    }
    std::string print() const
    {
        return capture([&] { gribPrintSec1(isec0, s.data()); });
    }
};

// Centre 98 with the local flag set, definition `def`, version text "0001".
Sec1 talvo(int def, int type, int stream, const Set &set = {})
{
    Sec1 a({{1, 98}, {23, 1}, {36, def}, {37, 1}, {38, type}, {39, stream}});
    memcpy(&a.s[40], "0001", 4);
    for (auto [e, v] : set) a.s[e] = v;
    return a;
}

const std::string kScaling = v38("Units decimal scaling factor.", -2);
const std::string kVersion = " Version number or Experiment identifier.  0001\n";

TEST(PrintSec1, IndicatorAndCommonPartLineByLine)
{
    int isec0[2] = {1234, 1};
    EXPECT_EQ(capture([&] { gribPrintSec0(isec0); }),
              " \n Section 0 - Indicator Section.       \n"
              " -------------------------------------\n"
              " Length of GRIB message (octets).          1234\n"
              " GRIB Edition Number.                         1\n");
    std::string expect =
        " \n Section 1 - Product Definition Section.\n"
        " ---------------------------------------\n" +
        v38("Code Table 2 Version Number.", 128) + v38("Originating centre identifier.", 7) +
        v38("Model identification.", 96) + v38("Grid definition.", 255) +
        " Flag (Code Table 1)                   10000000\n" +
        v38("Parameter identifier (Code Table 2).", 11) +
        v38("Type of level (Code Table 3).", 100) + v38("Value 1 of level (Code Table 3).", 500) +
        v38("Value 2 of level (Code Table 3).", 0) +
        " Year of reference time of data.             95  (1995)\n";
    const char *labels[] = {"Month of reference time of data.",
                            "Day of reference time of data.",
                            "Hour of reference time of data.",
                            "Minute of reference time of data.",
                            "Time unit (Code Table 4).",
                            "Time range one.",
                            "Time range two.",
                            "Time range indicator (Code Table 5)",
                            "Number averaged.",
                            "Number missing from average."};
    for (int i = 0; i < 10; ++i) expect += v38(labels[i], Sec1().s[10 + i]);
    expect += v38("Century of reference time of data.", 20) + v38("Sub-centre identifier.", 0);
    EXPECT_EQ(Sec1().print(), expect + kScaling);
}

TEST(PrintSec1, CenturySatelliteAndYear)
{
    const std::string notGiven = " Century of reference time of data.   Not given\n";
    Sec1 e0;
    e0.isec0[1] = 0;
    EXPECT_TRUE(contains(e0.print(), notGiven));
    e0.s[1] = 98; // centre 98 gave the century in edition 0 too
    EXPECT_TRUE(contains(e0.print(), v38("Century of reference time of data.", 20)));

    std::string t = Sec1({{5, 127}, {6, 55}, {7, 3}}).print();
    EXPECT_TRUE(contains(t, v38("Satellite identifier.", 55) + v38("Spectral band.", 3) + " Year"));
    EXPECT_FALSE(contains(t, "of level"));

    EXPECT_TRUE(
        contains(Sec1({{9, 255}}).print(), v38("Value 2 of level (Code Table 3).", 0) +
                                               " Year of reference time of data MISSING  (=255)\n" +
                                               v38("Month of reference time of data.", 1)));
    EXPECT_TRUE(contains(Sec1({{9, 100}}).print(), "      100  (2000)\n"));
    EXPECT_TRUE(contains(Sec1({{9, 3}, {20, 21}}).print(), "        3  (2003)\n"));
}

TEST(PrintSec1, WhichLocalBlocksPrint)
{
    const struct {
        int centre, subCentre, flag, def;
        bool dwd, talvo, qorb;
    } cases[] = {
        {98, 0, 0, 1, false, false, false},   {98, 0, 1, 1, false, true, false},
        {7, 98, 0, 1, false, true, false},    {80, 98, 0, 1, false, false, false},
        {80, 98, 1, 1, false, true, false},   {78, 0, 1, 1, false, false, false},
        {215, 0, 0, 254, true, false, false}, {250, 0, 0, 253, true, false, false},
        {252, 0, 0, 1, false, false, true},   {252, 0, 0, 2, false, false, false},
        {252, 98, 1, 1, false, true, false}, // definition 1 ends the printout
        {78, 98, 1, 254, true, true, false},
    };
    for (const auto &c : cases) {
        std::string t = Sec1({{1, c.centre}, {21, c.subCentre}, {23, c.flag}, {36, c.def}}).print();
        EXPECT_EQ(contains(t, "DWD local"), c.dwd) << c.centre << "/" << c.subCentre;
        EXPECT_EQ(contains(t, "TALVO local"), c.talvo) << c.centre << "/" << c.subCentre;
        EXPECT_EQ(contains(t, "QORB local"), c.qorb) << c.centre << "/" << c.subCentre;
    }
    EXPECT_TRUE(endsWith(
        Sec1({{1, 252}, {36, 1}, {37, 2}, {38, 14}, {39, 51}}).print(),
        kScaling + v38("QORB local usage identifier.", 1) + v38("Type of ensemble forecast", 2) +
            v38("Individual ensemble member", 14) + v38("Number of forecasts in ensemble", 51)));
}

TEST(PrintSec1, DwdDefinitions254And253)
{
    Sec1 a({{1, 78}, {36, 254}, {43, 99}, {44, 12}, {45, 31}, {46, 23}, {47, 59}, {48, 4711},
            {49, 1}, {50, 77}, {51, 1234}, {52, 2}, {53, 20}, {54, 5}, {55, 3}, {56, 7}});
    std::string common = " Year of database entry                      99  (1999)\n"
                         " Month of database entry                     12\n"
                         " Day of database entry                       31\n"
                         " Hour of database entry                      23\n"
                         " Minute of database entry                    59\n" +
                         v38("DWD experiment number", 4711) + v38("DWD run type", 1);
    std::string block254 =
        v38("DWD local usage identifier.", 254) + " (Database labelling)\n" + common;
    EXPECT_TRUE(endsWith(a.print(), kScaling + block254));
    a.s[36] = 253;
    EXPECT_TRUE(endsWith(a.print(), v38("DWD local usage identifier.", 253) +
                                        " (Database labelling and ensemble forecast)\n" + common +
                                        v38("User id", 77) + v38("Experiment identifier", 1234) +
                                        v38("Ensemble identification type", 2) +
                                        v38("Number of ensemble members", 20) +
                                        v38("Actual number of ensemble member", 5) +
                                        " Model version                             3.07\n"));
    // Sub-centre 98: the TALVO block follows, taking 254 as its definition.
    a.s[36] = 254;
    a.s[21] = 98;
    a.s[23] = 1;
    memcpy(&a.s[40], "0001", 4);
    EXPECT_TRUE(endsWith(a.print(), block254 + v38("TALVO local usage identifier.", 254) +
                                        v38("Class.", 0) + v38("Type.", 0) + v38("Stream.", 0) +
                                        kVersion));
}

TEST(PrintSec1, TalvoDefinitionConditions)
{
    const struct {
        int def, type, stream;
        Set set;
        std::string present, absent;
    } cases[] = {
        {1,
         1,
         1035,
         {{42, 50}},
         v38("Forecast number.", 0) + v38("Total number of forecasts.", 50),
         "@"},
        {1, 1, 1090, {}, v38("Forecast number.", 0), "Total"},
        {5, 1, 1, {{44, 1}, {45, 250}}, " 1\n" + v38("Lower threshold value", 250), "Upper"},
        {5, 1, 1, {{44, 2}, {46, 300}}, " 2\n" + v38("Upper threshold value", 300), "Lower"},
        {5,
         1,
         1,
         {{44, 3}, {45, 1}, {46, 2}},
         v38("Lower threshold value", 1) + v38("Upper threshold value", 2),
         "@"},
        {7,
         52,
         1,
         {},
         v38("Iteration number", 0) + v38("No.interations in diag. minimisation", 0),
         "@"},
        {8, 1, 1043, {{41, 6}}, v38("Interval between reference times", 6), "octet 50"},
        {11, 1, 1, {{44, 4444}, {45, 10}}, v38("  Stream", 0) + v38("  Year", 2010), "4444"},
        {11, 1, 1, {{45, 51}}, v38("  Year", 1951), "@"},
        // Simulation lines: after definition 6, before 15's row, never for 3.
        {6,
         5,
         1,
         {{41, 4}},
         v38("Number of ICE fields used:", 0) + v38("Simulation number.", 4),
         "@"},
        {15,
         8,
         1,
         {},
         v38("Total number of simulations.", 0) + v38("Ensemble member number", 0),
         "@"},
        {3, 6, 1, {}, v38("Function code.", 0), "Simulation"},
    };
    for (const auto &c : cases) {
        std::string t = from(talvo(c.def, c.type, c.stream, c.set).print(), kVersion);
        EXPECT_TRUE(contains(t, c.present)) << c.def << ":" << c.present << "\n" << t;
        EXPECT_FALSE(contains(t, c.absent)) << c.def << ":" << c.absent << "\n" << t;
    }
    // Definitions 1 to 5 and 8 end the printout with their own lines.
    EXPECT_TRUE(endsWith(talvo(1, 1, 1090).print(), kVersion + v38("Forecast number.", 0)));

    const struct {
        char text[4];
        const char *shown;
    } texts[] = {
        {{'0', '0', '0', '1'}, "0001"}, {{'a', 'b', 0, 0}, "  ab"}, {{'x', 0, 'y', 'z'}, "   x"}};
    for (const auto &c : texts) {
        Sec1 a = talvo(1, 1, 1);
        memcpy(&a.s[40], c.text, 4);
        EXPECT_TRUE(contains(a.print(), std::string(" Version number or Experiment identifier.  ") +
                                            c.shown + "\n"));
    }
}

TEST(PrintSec1, TalvoDatesIntervalsAndSpectra)
{
    // Dates below 19000000 lack their century; below 101 they are not given.
    std::string t =
        talvo(6, 1, 1, {{43, 950101}, {44, 1}, {45, 2}, {46, 20010101}, {47, 12}, {48, 100}})
            .print();
    EXPECT_TRUE(endsWith(t, kVersion + v38("Date of SST field used", 19950101) +
                                v38("Type of SST field (= 1/1 degree)", 1) +
                                v38("Number of ICE fields used:", 2) +
                                " Date of ICE field  1                  20010101\n"
                                " Satellite number (ICE field  1)             12\n"
                                "Date of SST field used               Not given\n"));
    EXPECT_TRUE(contains(talvo(6, 1, 1, {{43, 19000000}}).print(),
                         v38("Date of SST field used", 19000000)));
    EXPECT_TRUE(contains(talvo(17, 1, 1, {{43, 100}}).print(),
                         kVersion + " Date of sst/ice field used           Not given\n" +
                             v38("Type of sst/ice field (= climatology)", 0)));

    Set runs = {{48, 6}, {49, 6}, {50, 6}, {51, 12}, {52, 6}, {53, 6}, {54, 6}};
    EXPECT_TRUE(endsWith(talvo(12, 1, 1, runs).print(), " List of different time intervals used:\n"
                                                        "  - interval  0006 used       twice\n"
                                                        "  - interval  0012 used       once\n"
                                                        "  - interval  0006 used     3 times\n"));

    // Wave spectra: quotients in single precision, this field's lines marked.
    auto q = [](int v, int s) { return (double)((float)v / (float)s); };
    ASSERT_NE(fmt("%.7f", q(123456789, 1000)), fmt("%.7f", 123456789 / 1000.0));
    Sec1 w = talvo(13, 1, 1,
                   {{43, 2}, {44, 1}, {45, 2}, {46, 1}, {47, 1000}, {48, 7}, {49, 123456789},
                    {50, 45000}, {51, 100000001}, {52, 65535}, {53, 12}});
    EXPECT_EQ(from(w.print(), " List of directions:\n"),
              " List of directions:\n" + fmt("%2.2d:%15.7f\n", 1, q(123456789, 1000)) +
                  fmt(" %2.2d:%15.7f   <-- this field value\n", 2, q(45000, 1000)) +
                  " List of frequencies:\n" +
                  fmt(" %2.2d:%15.7f   <-- this field value\n", 1, q(100000001, 7)) +
                  v38("System number (65535 = missing)", 65535) +
                  v38("Method number (65535 = missing)", 12));
}

TEST(PrintSec1, OceanListsWithANegativeCount)
{
    // A negative count lists nothing and takes no room; the post-auxiliary
    // count is its own first element.
    Sec1 a = talvo(4, 1, 1,
                   {{70, 2}, {71, 0}, {72, -1}, {73, 1}, {74, 101}, {75, 102}, {76, 401}, {77, 2},
                    {78, 501}, {79, 999}});
    auto item = [](int v) { return fmt("         %12d\n", v); };
    EXPECT_TRUE(endsWith(
        a.print(), v38("No. entries in auxiliary array.", 1) +
                       " Horizontal coordinate supplement.\n"
                       "Number of items = 2\n" +
                       item(101) + item(102) +
                       " Mixed coordinate definition.\n(None).\n"
                       " Grid coordinate list. \nNumber of items = -1\n"
                       " Auxiliary array.      \nNumber of items = 1\n" +
                       item(401) + " Post-auxiliary array. \nNumber of items = 2\n" + item(501)));
}

// ---- Section 2 --------------------------------------------------------------------

struct Grid {
    int isec0[2] = {0, 1};
    std::vector<int> s = std::vector<int>(64, 0);
    std::vector<double> f = std::vector<double>(64, 0.0);
    // A one-degree global grid with poles of rotation and stretching.
    explicit Grid(int type = 0, const std::vector<int> &points = {})
    {
        const int e[16] = {type, 360,  181, 90000, 0,      128,   -90000, 359000,
                           1000, 1000, 0,   0,     -40000, 10000, 30000,  -20000};
        for (int i = 0; i < 16; ++i) s[i] = e[i];
        f[0] = 12.5;
        f[1] = 2.25;
        if (points.empty()) return;
        s.resize(22 + points.size(), 0); // quasi-regular
        s[2] = (int)points.size();
        s[16] = 1;
        for (size_t i = 0; i < points.size(); ++i) s[22 + i] = points[i];
    }
    std::string print() const
    {
        return capture([&] { gribPrintSec2DP(isec0, s.data(), f.data()); });
    }
};

const std::string kINotGiven = " i direction (East-West) increment            Not given\n";
const std::string kVertical =
    " \n Vertical Coordinate Parameters.\n -------------------------------\n";
const std::string kVaries = "  Number of points along a parallel varies.\n";
const std::string kNorthSouth = "  Number of points.   Parallel. (North to South)\n";

std::string rotation()
{
    return " \n" + v46("Latitude of southern pole of rotation.", -40000) +
           v46("Longitude of southern pole of rotation.", 10000) +
           fmt(" Angle of rotation.                     %20.10f\n", 12.5);
}

std::string stretching()
{
    return " \n" + v46("Latitude of pole of stretching.", 30000) +
           v46("Longitude of pole of stretching.", -20000) +
           fmt(" Stretching factor.                     %20.10f\n", 2.25);
}

// A run line: the count, then the parallels in 12 columns.
std::string run(int count, int first, int last)
{
    std::string text = rjust(std::to_string(first), 4);
    if (last > first) text += "to " + rjust(std::to_string(last), 5);
    text.resize(std::max<size_t>(text.size(), 12), ' ');
    return " " + rjust(std::to_string(count), 5) + std::string(16, ' ') + text + "\n";
}

TEST(PrintSec2, LatLonLineByLineAndIncrements)
{
    Grid g;
    g.s[17] = 8; // the flags shown are elements 17 + 5 + 18
    g.s[18] = 1;
    g.s[10] = 64;
    EXPECT_EQ(g.print(), " \n Section 2 - Grid Description Section.\n"
                         " -------------------------------------\n"
                         " (Southern latitudes and Western longitudes are negative.)\n" +
                             v46("Data represent type = lat/long     (Table 6)", 0) +
                             " Number of points along a parallel.                 360\n" +
                             v46("Number of points along a meridian.", 181) +
                             v46("Latitude of first grid point.", 90000) +
                             v46("Longitude of first grid point.", 0) +
                             " Resolution and components flag.               10001001\n" +
                             v46("Latitude of last grid point.", -90000) +
                             v46("Longitude of last grid point.", 359000) +
                             v46("i direction (East-West) increment.", 1000) +
                             v46("j direction (North-South) increment.", 1000) +
                             " Scanning mode flags (Code Table 8)            01000000\n" +
                             v46("Number of vertical coordinate parameters.", 0));
    g.s[8] = -1;
    g.s[9] = -1;
    EXPECT_TRUE(contains(g.print(),
                         kINotGiven + " j direction (North-South) increment          Not given\n"));
    // Gaussian: the i increment only under flag 128, whatever its value.
    Grid gg(4);
    gg.s[8] = -1;
    EXPECT_TRUE(
        contains(gg.print(), v46("i direction (East-West) increment.", -1) +
                                 v46("Number of parallels between pole and equator.", 1000)));
    gg.s[5] = 136;
    EXPECT_TRUE(contains(gg.print(), kINotGiven));
}

TEST(PrintSec2, QuasiRegularSummary)
{
    EXPECT_EQ(run(20, 1, 3), "    20                   1to     3\n");
    EXPECT_TRUE(contains(Grid(0, {20, 20, 20, 24}).print(),
                         v46("Data represent type = lat/long     (Table 6)", 0) + kVaries +
                             kNorthSouth + run(20, 1, 3) + run(24, 4, 4) +
                             v46("Number of points along a meridian.", 4)));
    EXPECT_TRUE(contains(Grid(0, {20, 24, 20}).print(), kNorthSouth + run(20, 1, 1) +
                                                            run(24, 2, 2) + run(20, 3, 3) +
                                                            " Number of points along a meridian."));
    std::vector<int> many(10001, 1); // five-digit parallel numbers are not cut
    many.push_back(2);
    EXPECT_TRUE(
        contains(Grid(0, many).print(), run(1, 1, 10001) + "     2                10002       \n"));
    for (int mode : {0, 128, 64, 192, -64}) {
        Grid g(0, {4, 8});
        g.s[10] = mode;
        bool south = mode == 64 || mode == 192;
        EXPECT_TRUE(contains(g.print(), kVaries + "  Number of points.   Parallel. (" +
                                            (south ? "South to North" : "North to South") + ")\n"))
            << mode;
    }
    // Gaussian grids show the summary from edition 1 on; lat/long ones always.
    Grid gg(4, {20, 20, 24}), ll(0, {20, 24});
    EXPECT_TRUE(contains(gg.print(), kNorthSouth + run(20, 1, 2) + run(24, 3, 3)));
    gg.isec0[1] = ll.isec0[1] = 0;
    EXPECT_TRUE(contains(gg.print(), v46("Number of points along a parallel.", 360)));
    EXPECT_FALSE(contains(gg.print(), kVaries));
    EXPECT_TRUE(contains(ll.print(), kVaries));
}

TEST(PrintSec2, TypesVerticalCoordinatesRotationAndStretching)
{
    for (int type : {1, 2, 13, -1}) {
        Grid g(type);
        g.s[11] = 2;
        EXPECT_TRUE(endsWith(
            g.print(), " -------------------------------------\n" +
                           fmt("GRPRS2 :Data representation type not catered for -%d\n", type)));
    }
    Grid p(5); // polar stereographic flags leave element 5 out
    p.s[17] = 2;
    EXPECT_TRUE(contains(p.print(), " Resolution and components flag.               00000010\n"));

    Grid v;
    EXPECT_FALSE(contains(v.print(), "Vertical"));
    v.s[11] = -1;
    EXPECT_TRUE(
        endsWith(v.print(), v46("Number of vertical coordinate parameters.", -1) + kVertical));
    v.s[11] = 2;
    v.f[10] = -1.5;
    v.f[11] = 101325.125;
    v.f[12] = 7.0;
    EXPECT_TRUE(endsWith(v.print(), kVertical + "         -1.500000000000\n"
                                                "     101325.125000000000\n"));

    const struct {
        int type;
        bool rotated, stretched;
    } cases[] = {{0, false, false}, {10, true, false}, {20, false, true}, {30, true, true},
                 {14, true, false}, {24, false, true}, {34, true, true},  {50, false, false},
                 {60, true, false}, {70, false, true}, {80, true, true},  {192, false, false}};
    const std::string nv = v46("Number of vertical coordinate parameters.", 0);
    for (const auto &c : cases) {
        Grid g(c.type);
        EXPECT_TRUE(endsWith(g.print(), nv + (c.rotated ? rotation() : "") +
                                            (c.stretched ? stretching() : "")))
            << c.type;
        g.isec0[1] = 0; // edition 0 has neither
        EXPECT_TRUE(endsWith(g.print(), nv)) << c.type;
    }
}

TEST(PrintSec2, SinglePrecisionReadsOnlyWhatItPrints)
{
    long blocks = memBlocksInUse();
    Grid g(30);
    g.s[11] = 1;
    std::vector<float> f(11, 0.0f);
    f[0] = 12.5f;
    f[1] = 2.25f;
    f[10] = 0.1f; // widened, not reparsed
    EXPECT_TRUE(endsWith(capture([&] { gribPrintSec2SP(g.isec0, g.s.data(), f.data()); }),
                         kVertical + "          0.100000001490\n" + rotation() + stretching()));
    // A rotated grid without vertical coordinates needs just its angle (the
    // sanitizer builds check that nothing past it is read).
    Grid r(10);
    std::vector<float> one(1, 12.5f);
    EXPECT_TRUE(
        endsWith(capture([&] { gribPrintSec2SP(r.isec0, r.s.data(), one.data()); }), rotation()));
    // Counts below -10 would ask for a block of negative size.
    for (int nv : {-1, -10, -11, -1000000}) {
        g.s[11] = nv;
        EXPECT_TRUE(endsWith(capture([&] { gribPrintSec2SP(g.isec0, g.s.data(), f.data()); }),
                             kVertical + rotation() + stretching()))
            << nv;
    }
    EXPECT_EQ(memBlocksInUse(), blocks);
}

// ---- Sections 3 and 4 -------------------------------------------------------------

TEST(PrintSec3, BitMapAndMissingValues)
{
    int isec3[2] = {0, -32767};
    double fsec3[2] = {0.0, -9999.5};
    EXPECT_EQ(capture([&] { gribPrintSec3DP(nullptr, isec3, fsec3); }),
              " \n Section 3 - Bit-map Section.\n -------------------------------------\n"
              " No predetermined bit-map.\n"
              " Missing data value for integer data.            -32767\n"
              " Missing data value for real data.              -9999.5\n");
    isec3[0] = 5;
    float single[2] = {0.0f, 0.1f};
    std::string t = capture([&] { gribPrintSec3SP(nullptr, isec3, single); });
    EXPECT_TRUE(contains(t, v46("Predetermined bit-map number.", 5)));
    EXPECT_TRUE(endsWith(t, fmt("%20.6g\n", (double)0.1f)));
}

std::string print4(const std::vector<int> &s, const std::vector<double> &f)
{
    return capture([&] { gribPrintSec4DP(nullptr, s.data(), f.data()); });
}

TEST(PrintSec4, ValueCountAndForms)
{
    std::vector<int> s(64, 0);
    std::vector<double> many(1000);
    for (int i = 0; i < 1000; ++i) many[i] = 1.0 + i;
    // At most 20 values, of the magnitude of the count.
    for (auto [count, k] :
         {std::pair{1000, 20}, {-5, 5}, {0, 0}, {std::numeric_limits<int>::min(), 20}}) {
        s[0] = count;
        std::string t = print4(s, many);
        EXPECT_TRUE(contains(t, v46("Values width       (0=constant, 16=variable).", 0) + " \n" +
                                    fmt(" First %4d data values.\n", k)));
        EXPECT_TRUE(endsWith(t, k ? fmt(" %#16.8G    \n", (double)k) : " data values.\n")) << count;
        EXPECT_FALSE(contains(t, fmt(" %#16.8G    \n", (double)k + 1))) << count;
    }
    // The three forms, by magnitude; zero and NaN as their magnitude.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto zero = [](double v) { return fmt(" %#16.0f    \n", std::fabs(v)); };
    auto mid = [](double v) { return fmt(" %#16.8G    \n", v); };
    auto wide = [](double v) { return fmt(" %#20.8E\n", v); };
    EXPECT_EQ(zero(-0.0), "               0.    \n");
    EXPECT_EQ(mid(12.5), "        12.500000    \n");
    const struct {
        double v;
        std::string line;
    } forms[] = {{0.0, zero(0.0)},
                 {-0.0, zero(0.0)},
                 {nan, zero(nan)},
                 {12.5, mid(12.5)},
                 {-0.1, mid(-0.1)},
                 {1e8, mid(1e8)},
                 {0.05, wide(0.05)},
                 {2e9, wide(2e9)},
                 {-2e9, wide(-2e9)},
                 {0.0999999, wide(0.0999999)},
                 {100000001.0, wide(100000001.0)}};
    s[0] = 1;
    for (const auto &c : forms) EXPECT_TRUE(endsWith(print4(s, {c.v}), c.line)) << c.v;
    s[4] = 32;
    EXPECT_TRUE(endsWith(print4(s, many), " First    1 data values.\n"
                                          " Print of integer values not supported\n"));
    // Single precision: the values are widened.
    s = std::vector<int>(64, 0);
    s[0] = 2;
    std::vector<float> f = {0.1f, 3.0f};
    EXPECT_TRUE(endsWith(capture([&] { gribPrintSec4SP(nullptr, s.data(), f.data()); }),
                         fmt(" %#16.8G    \n", (double)0.1f) + "        3.0000000    \n"));
}

TEST(PrintSec4, PackingAndMatrixLines)
{
    std::vector<int> s(64, 0);
    s[2] = 128;
    s[3] = 64;
    for (int e = 10; e <= 19; ++e) s[e] = e;
    const std::string values = " \n First    0 data values.\n";
    EXPECT_TRUE(endsWith(print4(s, {}),
                         v46("Byte offset of start of packed data (N).", 15) +
                             v46("Power (P * 1000).", 16) +
                             v46("Pentagonal resolution parameter J for subset.", 17) +
                             v46("Pentagonal resolution parameter K for subset.", 18) +
                             v46("Pentagonal resolution parameter M for subset.", 19) + values));
    s[2] = 0;
    s[14] = 2147483647; // the sum of 13 and 14 is not cut to an int
    EXPECT_TRUE(endsWith(print4(s, {}),
                         v46("Boustrophedonic ordering        (0=no,4=yes).", 12) +
                             v46("Spatial differencing order          (0=none).", 2147483660LL) +
                             values));
    std::vector<int> m(64, 0);
    m[7] = 64;
    m[20] = 77;
    for (int e = 49; e <= 56; ++e) m[e] = e - 40;
    EXPECT_TRUE(
        endsWith(print4(m, {}), v46("Number of non-missing values", 77) +
                                    v46("First dimension (rows) of each matrix.", 9) +
                                    v46("Second dimension (columns) of each matrix.", 10) +
                                    v46("First dimension coordinate values definition.", 11) +
                                    " (Code Table 12)\n"
                                    " NC1 - Number of coefficients for 1st dimension.     12\n"
                                    " Second dimension coordinate values definition.      13\n"
                                    " (Code Table 12)\n"
                                    " NC2 - Number of coefficients for 2nd dimension.     14\n"
                                    " 1st dimension physical signifance (Table 13).       15\n"
                                    " 2nd dimension physical signifance (Table 13).      16\n" +
                                    values));
}

TEST(PrintSec4, WaveCoefficients)
{
    std::vector<int> s(80, 0);
    s[52] = 2;
    s[54] = 1;
    const float c[3] = {0.5f, -1.25f, 0.1f};
    memcpy(&s[59], c, sizeof c);
    const std::string second = " Coefficients defining second dimension coordinates:\n";
    EXPECT_EQ(capture([&] { gribPrintSec4Wave(s.data()); }),
              " Coefficients defining first dimension coordinates:\n"
              "        0.5000000000\n       -1.2500000000\n" +
                  second + fmt("%20.10f\n", (double)0.1f));
    s[52] = -40; // lists nothing and does not move the second list
    EXPECT_TRUE(
        endsWith(capture([&] { gribPrintSec4Wave(s.data()); }), second + "        0.5000000000\n"));
}

} // namespace
