// Printouts of the indicator and product definition sections, local
// extensions included. Expected lines are built from the line layouts.
#include "printer_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace printutil;

namespace {

std::string sec0(int length, int edition)
{
    int isec0[2] = {length, edition};
    return capture([&] { gribPrintSec0(isec0); });
}

// A product definition array long enough for every local definition.
struct Sec1 {
    int isec0[2] = {0, 1};
    std::vector<int> s = std::vector<int>(1024, 0);

    Sec1()
    {
        const int base[24] = {128, 7, 96, 255, 128, 11, 100, 500, 0, 95, 1, 2,
                              12, 30, 1, 6, 0, 0, 0, 0, 20, 0, -2, 0};
        for (int i = 0; i < 24; ++i) s[i] = base[i];
    }
    std::string print() const
    {
        return capture([&] { gribPrintSec1(isec0, s.data()); });
    }
    // A TALVO array: centre 98, local flag set, definition `def`.
    static Sec1 talvo(int def, int type = 1, int stream = 1035)
    {
        Sec1 a;
        a.s[1] = 98;
        a.s[23] = 1;
        a.s[36] = def;
        a.s[37] = 1;
        a.s[38] = type;
        a.s[39] = stream;
        memcpy(&a.s[40], "0001", 4);
        return a;
    }
};

std::string commonTalvo(int def, int type, int stream, const char *title)
{
    std::string t = v38("TALVO local usage identifier.", def);
    if (title) t += title;
    t += v38("Class.", 1) + v38("Type.", type) + v38("Stream.", stream);
    return t + " Version number or Experiment identifier.  0001\n";
}

// Everything after the common lines of a TALVO printout.
std::string afterCommon(const std::string &text)
{
    const std::string mark = " Version number or Experiment identifier.";
    size_t p = text.find(mark);
    if (p == std::string::npos) return "<no TALVO block>";
    return text.substr(text.find('\n', p) + 1);
}

// ---- Section 0 and the common part of section 1 ------------------------------

TEST(PrintSec0, HeadingAndBothValues)
{
    std::string expect = " \n Section 0 - Indicator Section.       \n"
                         " -------------------------------------\n";
    // Label to column 38 (5 and 17 blanks here), then nine value columns.
    expect += " Length of GRIB message (octets)." + std::string(5, ' ') + "     1234\n";
    expect += " GRIB Edition Number." + std::string(17, ' ') + "        1\n";
    EXPECT_EQ(sec0(1234, 1), expect);
    EXPECT_TRUE(contains(sec0(-5, 0), v38("Length of GRIB message (octets).", -5)));
}

TEST(PrintSec1, CommonPartLineByLine)
{
    Sec1 a;
    std::string expect = " \n Section 1 - Product Definition Section.\n"
                         " ---------------------------------------\n";
    expect += v38("Code Table 2 Version Number.", 128);
    expect += v38("Originating centre identifier.", 7);
    expect += v38("Model identification.", 96);
    expect += v38("Grid definition.", 255);
    expect += " Flag (Code Table 1)                   10000000\n";
    expect += v38("Parameter identifier (Code Table 2).", 11);
    expect += v38("Type of level (Code Table 3).", 100);
    expect += v38("Value 1 of level (Code Table 3).", 500);
    expect += v38("Value 2 of level (Code Table 3).", 0);
    expect += " Year of reference time of data.             95  (1995)\n";
    expect += v38("Month of reference time of data.", 1);
    expect += v38("Day of reference time of data.", 2);
    expect += v38("Hour of reference time of data.", 12);
    expect += v38("Minute of reference time of data.", 30);
    expect += v38("Time unit (Code Table 4).", 1);
    expect += v38("Time range one.", 6);
    expect += v38("Time range two.", 0);
    expect += v38("Time range indicator (Code Table 5)", 0);
    expect += v38("Number averaged.", 0);
    expect += v38("Number missing from average.", 0);
    expect += v38("Century of reference time of data.", 20);
    expect += v38("Sub-centre identifier.", 0);
    expect += v38("Units decimal scaling factor.", -2);
    EXPECT_EQ(a.print(), expect);
    // The layout itself: label padded to column 38, value in nine columns.
    EXPECT_EQ(v38("Code Table 2 Version Number.", 128),
              " Code Table 2 Version Number.         " + std::string("      128\n"));
}

TEST(PrintSec1, FlagLineShowsTheEightBits)
{
    for (int flag : {0, 64, 128, 192, 255}) {
        Sec1 a;
        a.s[4] = flag;
        EXPECT_TRUE(contains(a.print(), " Flag (Code Table 1)                   " + bits8(flag) + "\n"))
            << flag;
    }
}

TEST(PrintSec1, SatelliteParameterReplacesTheLevelLines)
{
    Sec1 a;
    a.s[5] = 127;
    a.s[6] = 55;
    a.s[7] = 3;
    std::string t = a.print();
    EXPECT_TRUE(contains(t, v38("Parameter identifier (Code Table 2).", 127) +
                                v38("Satellite identifier.", 55) + v38("Spectral band.", 3) +
                                " Year of reference time of data."));
    EXPECT_FALSE(contains(t, "Type of level"));
    EXPECT_FALSE(contains(t, "Value 1 of level"));
    EXPECT_FALSE(contains(t, "Value 2 of level"));
}

TEST(PrintSec1, YearLineAndMissingYear)
{
    Sec1 a;
    a.s[9] = 255;
    std::string t = a.print();
    EXPECT_TRUE(contains(t, v38("Value 2 of level (Code Table 3).", 0) +
                                " Year of reference time of data MISSING  (=255)\n" +
                                v38("Month of reference time of data.", 1)));
    EXPECT_FALSE(contains(t, " Year of reference time of data. "));

    Sec1 b;
    b.s[9] = 100; // the last year of the 20th century
    EXPECT_TRUE(contains(b.print(), fmt(" Year of reference time of data.      %9d  (%4d)\n", 100, 2000)));
    Sec1 c;
    c.s[9] = 3;
    c.s[20] = 21;
    EXPECT_TRUE(contains(c.print(), fmt(" Year of reference time of data.      %9d  (%4d)\n", 3, 2003)));
}

TEST(PrintSec1, CenturyByEditionAndCentre)
{
    const std::string notGiven = " Century of reference time of data.   Not given\n";
    Sec1 a;
    a.isec0[1] = 0;
    std::string t = a.print();
    EXPECT_TRUE(contains(t, notGiven));
    EXPECT_FALSE(contains(t, v38("Century of reference time of data.", 20)));

    Sec1 b;
    b.isec0[1] = 0;
    b.s[1] = 98;
    t = b.print();
    EXPECT_TRUE(contains(t, v38("Century of reference time of data.", 20)));
    EXPECT_FALSE(contains(t, notGiven));

    Sec1 c; // edition 1, any centre
    EXPECT_TRUE(contains(c.print(), v38("Century of reference time of data.", 20)));
}

// ---- Which local extension prints -------------------------------------------

TEST(PrintSec1Local, TalvoConditions)
{
    struct Case {
        int centre, subCentre, localFlag;
        bool talvo;
    } cases[] = {
        {98, 0, 0, false}, {98, 0, 1, true},  {7, 98, 0, true},  {7, 98, 1, true},
        {80, 98, 0, false}, {80, 98, 1, true}, {7, 0, 1, false}, {98, 0, 2, false},
    };
    for (const Case &c : cases) {
        Sec1 a = Sec1::talvo(1);
        a.s[1] = c.centre;
        a.s[21] = c.subCentre;
        a.s[23] = c.localFlag;
        EXPECT_EQ(contains(a.print(), "TALVO local usage identifier."), c.talvo)
            << c.centre << " " << c.subCentre << " " << c.localFlag;
    }
}

TEST(PrintSec1Local, NoExtensionWithoutAMatchingDefinition)
{
    Sec1 a;
    a.s[1] = 78;
    a.s[23] = 1;
    a.s[36] = 1; // DWD prints only definitions 253 and 254
    std::string t = a.print();
    EXPECT_EQ(t.substr(t.size() - v38("Units decimal scaling factor.", -2).size()),
              v38("Units decimal scaling factor.", -2));
    Sec1 b;
    b.s[1] = 252;
    b.s[36] = 2; // QORB prints only definition 1
    t = b.print();
    EXPECT_FALSE(contains(t, "QORB"));
}

// ---- DWD ------------------------------------------------------------------

Sec1 dwd(int centre, int def)
{
    Sec1 a;
    a.s[1] = centre;
    a.s[36] = def;
    const int ext[] = {99, 12, 31, 23, 59, 4711, 1, 77, 1234, 2, 20, 5, 3, 7};
    for (int i = 0; i < 14; ++i) a.s[43 + i] = ext[i];
    return a;
}

std::string dwdLines254()
{
    return v38("DWD local usage identifier.", 254) + " (Database labelling)\n" +
           fmt(" Year of database entry                     %3d  (%4d)\n", 99, 1999) +
           fmt(" Month of database entry                    %3d\n", 12) +
           fmt(" Day of database entry                      %3d\n", 31) +
           fmt(" Hour of database entry                     %3d\n", 23) +
           fmt(" Minute of database entry                   %3d\n", 59) +
           v38("DWD experiment number", 4711) + v38("DWD run type", 1);
}

TEST(PrintSec1Dwd, Definition254HasNoEnsembleLines)
{
    for (int centre : {78, 215, 250}) {
        std::string t = dwd(centre, 254).print();
        std::string tail = v38("Units decimal scaling factor.", -2) + dwdLines254();
        ASSERT_GE(t.size(), tail.size());
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << centre;
        EXPECT_TRUE(contains(t, " Year of database entry                      99  (1999)\n"));
        EXPECT_FALSE(contains(t, "User id"));
    }
}

TEST(PrintSec1Dwd, Definition253AddsTheEnsembleAndModelVersion)
{
    std::string t = dwd(78, 253).print();
    std::string expect = v38("DWD local usage identifier.", 253) +
                         " (Database labelling and ensemble forecast)\n";
    EXPECT_TRUE(contains(t, expect));
    std::string ens = v38("DWD run type", 1) + v38("User id", 77) +
                      v38("Experiment identifier", 1234) +
                      v38("Ensemble identification type", 2) +
                      v38("Number of ensemble members", 20) +
                      v38("Actual number of ensemble member", 5) +
                      " Model version                             3.07\n";
    ASSERT_GE(t.size(), ens.size());
    EXPECT_EQ(t.substr(t.size() - ens.size()), ens);
}

TEST(PrintSec1Dwd, SubCentre98AddsTheTalvoBlockWithoutADefinitionRow)
{
    Sec1 a = dwd(78, 254);
    a.s[21] = 98;
    a.s[23] = 1;
    a.s[37] = 1;
    a.s[38] = 1;
    a.s[39] = 1035;
    memcpy(&a.s[40], "0001", 4);
    std::string t = a.print();
    std::string tail = dwdLines254() + commonTalvo(254, 1, 1035, nullptr);
    ASSERT_GE(t.size(), tail.size());
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
}

// ---- TALVO common lines ---------------------------------------------------

TEST(PrintSec1Talvo, VersionTextInFourColumns)
{
    Sec1 a = Sec1::talvo(1);
    EXPECT_TRUE(contains(a.print(), " Version number or Experiment identifier.  0001\n"));
    Sec1 b = Sec1::talvo(1);
    const char two[4] = {'a', 'b', 0, 0};
    memcpy(&b.s[40], two, 4);
    EXPECT_TRUE(contains(b.print(), " Version number or Experiment identifier.    ab\n"));
    Sec1 c = Sec1::talvo(1);
    const char stop[4] = {'x', 0, 'y', 'z'}; // nothing after the first zero octet
    memcpy(&c.s[40], stop, 4);
    EXPECT_TRUE(contains(c.print(), " Version number or Experiment identifier.     x\n"));
}

TEST(PrintSec1Talvo, DescriptiveLineForEachDefinition)
{
    const char *titles[] = {nullptr,
                            " (Vusk labelling or ensemble forecast)\n",
                            " (Cluster means and standard deviations)\n",
                            " (Satellite image data)\n",
                            " (Ocean model data)\n",
                            " (Forecast probability data)\n",
                            " (Surface temperature data)\n",
                            " (Sensitivity data)\n",
                            " (TALVO re-analysis data)\n",
                            " (Singular vectors and ensemble perturbations)\n",
                            " (EPS tubes)\n",
                            " (Supplementary data used by analysis)\n",
                            nullptr,
                            " (Wave 2D spectra direction and frequency)\n",
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};
    for (int def = 1; def <= 18; ++def) {
        std::string t = Sec1::talvo(def).print();
        EXPECT_TRUE(contains(t, commonTalvo(def, 1, 1035, titles[def]))) << def;
    }
}

// ---- TALVO definitions ------------------------------------------------------

TEST(PrintSec1Talvo, Definition1AndStream1090)
{
    Sec1 a = Sec1::talvo(1);
    a.s[41] = 12;
    a.s[42] = 50;
    EXPECT_EQ(afterCommon(a.print()),
              v38("Forecast number.", 12) + v38("Total number of forecasts.", 50));
    Sec1 b = Sec1::talvo(1, 1, 1090);
    b.s[41] = 12;
    b.s[42] = 50;
    EXPECT_EQ(afterCommon(b.print()), v38("Forecast number.", 12));
}

TEST(PrintSec1Talvo, EndingDefinitionsStopTheQorbBlock)
{
    // Centre 252 with sub-centre 98 satisfies both blocks for definition 1.
    Sec1 a = Sec1::talvo(1);
    a.s[1] = 252;
    a.s[21] = 98;
    std::string t = a.print();
    EXPECT_TRUE(contains(t, "Forecast number."));
    EXPECT_FALSE(contains(t, "QORB"));
}

TEST(PrintSec1Talvo, Definition2ClusterList)
{
    Sec1 a = Sec1::talvo(2);
    for (int e = 41; e <= 51; ++e) a.s[e] = e * 10;
    a.s[52] = 3;
    a.s[53] = 7;
    a.s[54] = 8;
    a.s[55] = 9;
    a.s[56] = 99; // beyond the count
    std::string expect = v38("Cluster number.", 410) + v38("Total number of clusters.", 420) +
                         v38("Clustering method.", 430) +
                         v38("Start time step when clustering.", 440) +
                         v38("End time step when clustering.", 450) +
                         v38("Northern latitude of domain.", 460) +
                         v38("Western longitude of domain.", 470) +
                         v38("Southern latitude of domain.", 480) +
                         v38("Eastern longitude of domain.", 490) +
                         v38("Operational forecast in cluster", 500) +
                         v38("Control forecast in cluster", 510) +
                         v38("Number of forecasts in cluster.", 3) + v38("Forecast number", 7) +
                         v38("Forecast number", 8) + v38("Forecast number", 9);
    EXPECT_EQ(afterCommon(a.print()), expect);
}

TEST(PrintSec1Talvo, Definition3)
{
    Sec1 a = Sec1::talvo(3);
    a.s[41] = 4;
    a.s[42] = 5;
    EXPECT_EQ(afterCommon(a.print()),
              v38("Satellite spectral band.", 4) + v38("Function code.", 5));
}

std::string items(std::initializer_list<int> values)
{
    std::string t = fmt("Number of items = %d\n", (int)values.size());
    for (int v : values) t += fmt("         %12d\n", v);
    return t;
}

TEST(PrintSec1Talvo, Definition4OceanModelLists)
{
    Sec1 a = Sec1::talvo(4);
    for (int e = 41; e <= 69; ++e) a.s[e] = e;
    a.s[70] = 2;  // horizontal supplement
    a.s[71] = 0;  // mixed coordinates: none
    a.s[72] = 1;  // grid coordinates
    a.s[73] = -1; // auxiliary: a negative count lists nothing
    const int lists[] = {101, 102, 301, 3, 401, 402};
    for (int i = 0; i < 6; ++i) a.s[74 + i] = lists[i];
    std::string expect = v38("Satellite spectral band.", 41) + v38("Function code.", 42) +
                         " Coordinate structure definition.\n" +
                         v38("Fundamental spatial reference system.", 43) +
                         v38("Fundamental time reference.", 44) + v38("Space unit flag.", 45) +
                         v38("Vertical coordinate definition.", 46) +
                         v38("Horizontal coordinate definition.", 47) +
                         v38("Time unit flag.", 48) + v38("Time coordinate definition.", 49) +
                         " Position definition.     \n" +
                         v38("Mixed coordinate field flag.", 50) + v38("Coordinate 1 flag.", 51) +
                         v38("Averaging flag.", 52) + v38("Position of level 1.", 53) +
                         v38("Position of level 2.", 54) + v38("Coordinate 2 flag.", 55) +
                         v38("Averaging flag.", 56) + v38("Position of level 1.", 57) +
                         v38("Position of level 2.", 58) + " Grid Definition.\n" +
                         v38("Coordinate 3 flag (x-axis)", 59) +
                         v38("Coordinate 4 flag (y-axis)", 60) +
                         v38("Coordinate 4 of first grid point.", 61) +
                         v38("Coordinate 3 of first grid point.", 62) +
                         v38("Coordinate 4 of last grid point.", 63) +
                         v38("Coordinate 3 of last grid point.", 64) + v38("i - increment.", 65) +
                         v38("j - increment.", 66) +
                         v38("Flag for irregular grid coordinates.", 67) +
                         v38("Flag for normal or staggered grids.", 68) +
                         " Further information.\n" + v38("Further information flag.", 69) +
                         " Auxiliary information.\n" +
                         v38("No. entries in horizontal coordinate", 2) +
                         v38("No. entries in mixed coordinate defn.", 0) +
                         v38("No. entries in grid coordinate list.", 1) +
                         v38("No. entries in auxiliary array.", -1) +
                         " Horizontal coordinate supplement.\n" + items({101, 102}) +
                         " Mixed coordinate definition.\n" + "(None).\n" +
                         " Grid coordinate list. \n" + items({301}) +
                         " Auxiliary array.      \n" + "Number of items = -1\n" +
                         // The post-auxiliary count (3) counts itself.
                         " Post-auxiliary array. \n" + "Number of items = 3\n" +
                         fmt("         %12d\n", 401) + fmt("         %12d\n", 402);
    EXPECT_EQ(afterCommon(a.print()), expect);

    Sec1 b = Sec1::talvo(4, 1, 1090);
    b.s[73] = 0;
    b.s[74] = 1; // post-auxiliary count 1: only itself
    std::string t = afterCommon(b.print());
    EXPECT_FALSE(contains(t, "Function code."));
    size_t post = t.find(" Post-auxiliary array. \n");
    ASSERT_NE(post, std::string::npos);
    EXPECT_EQ(t.substr(post), " Post-auxiliary array. \nNumber of items = 1\n");
}

TEST(PrintSec1Talvo, Definition5Thresholds)
{
    for (int indicator : {1, 2, 3}) {
        Sec1 a = Sec1::talvo(5);
        a.s[41] = 3;
        a.s[42] = 10;
        a.s[43] = -1;
        a.s[44] = indicator;
        a.s[45] = 250;
        a.s[46] = 300;
        std::string expect = v38("Forecast probability number", 3) +
                             fmt(" Total number of forecast probabilities %7d\n", 10) +
                             v38("Threshold units decimal scale factor", -1) +
                             fmt(" Threshold indicator(1=lower,2=upper,3=both) %2d\n", indicator);
        if (indicator != 2) expect += v38("Lower threshold value", 250);
        if (indicator != 1) expect += v38("Upper threshold value", 300);
        EXPECT_EQ(afterCommon(a.print()), expect) << indicator;
    }
}

struct SstCase {
    int fieldDate, type;
    std::vector<int> ice; // date, satellite pairs
};

Sec1 sst(int def, const SstCase &c, int talvoType = 1)
{
    Sec1 a = Sec1::talvo(def, talvoType);
    a.s[43] = c.fieldDate;
    a.s[44] = c.type;
    a.s[45] = (int)c.ice.size() / 2;
    for (size_t i = 0; i < c.ice.size(); ++i) a.s[46 + i] = c.ice[i];
    return a;
}

TEST(PrintSec1Talvo, Definition6SeaSurfaceTemperature)
{
    SstCase c{950101, 1, {960215, 12, 100, 13, 20010101, 14}};
    std::string expect = v38("Date of SST field used", 19950101) +
                         v38("Type of SST field (= 1/1 degree)", 1) +
                         v38("Number of ICE fields used:", 3) +
                         fmt(" Date of ICE field%3d                 %9d\n", 1, 19960215) +
                         fmt(" Satellite number (ICE field%3d)      %9d\n", 1, 12) +
                         "Date of SST field used               Not given\n" +
                         fmt(" Date of ICE field%3d                 %9d\n", 3, 20010101) +
                         fmt(" Satellite number (ICE field%3d)      %9d\n", 3, 14);
    EXPECT_EQ(afterCommon(sst(6, c).print()), expect);

    std::string t = afterCommon(sst(6, {20010101, 0, {}}).print());
    EXPECT_EQ(t, v38("Date of SST field used", 20010101) +
                     v38("Type of SST field (= climatology)", 0) +
                     v38("Number of ICE fields used:", 0));
    t = afterCommon(sst(6, {100, 2, {}}).print());
    EXPECT_EQ(t, "Date of SST field used               Not given\n" +
                     v38("Type of SST field (= 2/2 degree)", 2) +
                     v38("Number of ICE fields used:", 0));
    t = afterCommon(sst(6, {101, 3, {}}).print()); // no type line for 3
    EXPECT_EQ(t, v38("Date of SST field used", 19000101) + v38("Number of ICE fields used:", 0));
}

TEST(PrintSec1Talvo, Definition17SstAndIceTexts)
{
    SstCase c{50, 2, {40, 1}};
    std::string expect = " Date of sst/ice field used           Not given\n" +
                         v38("Type of sst/ice field (= 2/2 degree)", 2) +
                         v38("Number of ICE fields used:", 1) +
                         "Date of sst/ice field used           Not given\n";
    EXPECT_EQ(afterCommon(sst(17, c).print()), expect);
    EXPECT_EQ(afterCommon(sst(17, {19991231, 1, {}}).print()),
              v38("Date of sst/ice field used", 19991231) +
                  v38("Type of sst/ice field (= 1/1 degree)", 1) +
                  v38("Number of ICE fields used:", 0));
}

TEST(PrintSec1Talvo, SimulationLinesComeBetweenDefinitionsAndRows)
{
    // Definition 6 lines, then the simulation lines.
    Sec1 a = sst(6, {100, 5, {}}, 7);
    a.s[41] = 4;
    a.s[42] = 9;
    EXPECT_EQ(afterCommon(a.print()), "Date of SST field used               Not given\n" +
                                          v38("Number of ICE fields used:", 0) +
                                          v38("Simulation number.", 4) +
                                          v38("Total number of simulations.", 9));
    // The simulation lines, then the row of definition 15.
    Sec1 b = Sec1::talvo(15, 5);
    b.s[41] = 4;
    b.s[42] = 9;
    b.s[43] = 2;
    EXPECT_EQ(afterCommon(b.print()),
              v38("Simulation number.", 4) + v38("Total number of simulations.", 9) +
                  v38("Ensemble member number", 4) + v38("System number", 9) +
                  v38("Method number", 2));
    // Types outside 5 to 8 print none; ending definitions never do.
    for (int type : {4, 9}) EXPECT_EQ(afterCommon(Sec1::talvo(15, type).print()).find("Simulation"),
                                      std::string::npos);
    EXPECT_FALSE(contains(Sec1::talvo(3, 6).print(), "Simulation"));
    // A definition without a row still gets them.
    EXPECT_EQ(afterCommon(Sec1::talvo(40, 8).print()),
              v38("Simulation number.", 0) + v38("Total number of simulations.", 0));
}

TEST(PrintSec1Talvo, Definition7LabelsByType)
{
    for (int type : {51, 52, 53}) {
        Sec1 a = Sec1::talvo(7, type);
        a.s[41] = 1;
        a.s[42] = 2;
        a.s[43] = 3;
        a.s[44] = 4;
        std::string expect = v38(type == 51 ? "Forecast number" : "Iteration number", 1) +
                             v38(type == 52 ? "No.interations in diag. minimisation"
                                            : "Total number of diagnostics",
                                 2) +
                             fmt(" Domain(0=Global,1=Europe,2=N.Hem.,3=S.Hem.) %2d\n", 3) +
                             v38("Diagnostic number", 4);
        EXPECT_EQ(afterCommon(a.print()), expect) << type;
    }
}

TEST(PrintSec1Talvo, Definition8OctetLines)
{
    for (int stream : {1043, 1070, 1071, 1035}) {
        Sec1 a = Sec1::talvo(8, 1, stream);
        for (int e = 41; e <= 53; ++e) a.s[e] = 1000 + e;
        a.s[54] = 77; // not printed
        std::string expect = stream == 1035
                                 ? fmt(" QVA section 1 octet %2d.              %9d\n", 50, 1041)
                                 : v38("Interval between reference times", 1041);
        for (int octet = 51; octet <= 62; ++octet)
            expect += fmt(" QVA section 1 octet %2d.              %9d\n", octet, 1000 + octet - 9);
        EXPECT_EQ(afterCommon(a.print()), expect) << stream;
    }
}

TEST(PrintSec1Talvo, Definition9ByType)
{
    Sec1 a = Sec1::talvo(9, 60);
    a.s[41] = 17;
    EXPECT_EQ(afterCommon(a.print()), v38("Perturbed ensemble forecast number", 17));
    Sec1 b = Sec1::talvo(9, 61);
    b.s[41] = 18;
    EXPECT_EQ(afterCommon(b.print()), v38("Initial state perturbation number", 18));
    Sec1 c = Sec1::talvo(9, 62);
    const char *labels[] = {"Singular vector number", "Number of iterations",
                            "Number of singular vectors computed", "Norm used at initial time",
                            "Norm used at final time", "Multiplication factor",
                            "Latitude of north-west corner", "Longitude of north-west corner",
                            "Latitude of south-east corner", "Longitude of south-east corner",
                            "Accuracy", "Number of singular vectors evolved", "Ritz number one",
                            "Ritz number two"};
    std::string expect;
    for (int i = 0; i < 14; ++i) {
        c.s[41 + i] = -i;
        expect += v38(labels[i], -i);
    }
    EXPECT_EQ(afterCommon(c.print()), expect);
    EXPECT_EQ(afterCommon(Sec1::talvo(9, 63).print()), "");
}

TEST(PrintSec1Talvo, Definition10TubeList)
{
    Sec1 a = Sec1::talvo(10);
    const char *labels[] = {"Tube number", "Total number of tubes", "Central cluster definition",
                            "Parameter", "Type of level", "Northern latitude of domain of tubing",
                            "Western longitude of domain of tubing",
                            "Southern latitude of domain of tubing",
                            "Eastern longitude of domain of tubing",
                            "Tube number of operational forecast",
                            "Tube number of control forecast", "Height/pressure of level",
                            "Reference step", "Radius of central cluster",
                            "Ensemble standard deviation", "Dist.of tube extreme to ensemble mean",
                            "Number of forecasts in the tube"};
    std::string expect;
    for (int i = 0; i < 16; ++i) {
        a.s[41 + i] = 100 + i;
        expect += v38(labels[i], 100 + i);
    }
    a.s[57] = 2;
    a.s[58] = 31;
    a.s[59] = 32;
    expect += v38(labels[16], 2) + " List of ensemble forecast numbers:\n" +
              fmt("    %9d\n", 31) + fmt("    %9d\n", 32);
    EXPECT_EQ(afterCommon(a.print()), expect);
}

TEST(PrintSec1Talvo, Definition11YearAndSkippedElement)
{
    for (int year : {10, 50, 51, 99}) {
        Sec1 a = Sec1::talvo(11);
        for (int e = 41; e <= 52; ++e) a.s[e] = e;
        a.s[44] = 4444;
        a.s[45] = year;
        std::string expect = " Details of analysis which used the supplementary data:\n" +
                             v38("  Class", 41) + v38("  Type", 42) + v38("  Stream", 43) +
                             v38("  Year", year + (year < 51 ? 2000 : 1900)) +
                             v38("  Month", 46) + v38("  Day", 47) + v38("  Hour", 48) +
                             v38("  Minute", 49) + v38("  Century", 50) +
                             v38("  Originating centre", 51) + v38("  Sub-centre", 52);
        EXPECT_EQ(afterCommon(a.print()), expect) << year;
    }
}

TEST(PrintSec1Talvo, Definition12IntervalRuns)
{
    Sec1 a = Sec1::talvo(12);
    a.s[41] = 19950101;
    a.s[42] = 0;
    a.s[43] = 19950131;
    a.s[44] = 1800;
    a.s[45] = 19950201;
    a.s[46] = 6;
    a.s[47] = 3;
    const int intervals[] = {6, 6, 12, 6, 6, 6};
    a.s[48] = 6;
    for (int i = 0; i < 6; ++i) a.s[49 + i] = intervals[i];
    std::string expect = " (Mean, average, etc)\n"
                         " Start date of the period              19950101\n"
                         " Start time of the period                  0000\n"
                         " Finish date of the period             19950131\n"
                         " Finish time of the period                 1800\n"
                         " Verifying date of the period          19950201\n"
                         " Verifying time of the period              0006\n"
                         " Code showing method                          3\n"
                         " Number of different time intervals used      6\n"
                         " List of different time intervals used:\n"
                         "  - interval  0006 used       twice\n"
                         "  - interval  0012 used       once\n"
                         "  - interval  0006 used     3 times\n";
    EXPECT_EQ(afterCommon(a.print()), expect);

    Sec1 b = Sec1::talvo(12);
    b.s[48] = 0;
    b.s[49] = 6;
    std::string t = afterCommon(b.print());
    EXPECT_EQ(t.substr(t.size() - 40), " List of different time intervals used:\n");
}

TEST(PrintSec1Talvo, Definition13WaveSpectraInSinglePrecision)
{
    Sec1 a = Sec1::talvo(13);
    // 3 directions scaled by 1000, 2 frequencies scaled by 7.
    const int fixed[] = {2, 1, 3, 2, 1000, 7};
    for (int i = 0; i < 6; ++i) a.s[43 + i] = fixed[i];
    const int dirs[] = {123456789, 45000, -90000};
    const int freqs[] = {1, 100000001};
    for (int i = 0; i < 3; ++i) a.s[49 + i] = dirs[i];
    for (int i = 0; i < 2; ++i) a.s[52 + i] = freqs[i];
    a.s[54] = 65535;
    a.s[55] = 12;
    auto q = [](int v, int s) { return (double)((float)v / (float)s); };
    // The first quotient differs visibly from its double-precision form.
    ASSERT_NE(fmt("%15.7f", q(123456789, 1000)), fmt("%15.7f", 123456789 / 1000.0));
    std::string expect = v38("Direction number", 2) + v38("Frequency number", 1) +
                         v38("Total number of directions", 3) +
                         v38("Total number of frequencies", 2) +
                         v38("Scale factor applied to directions", 1000) +
                         v38("Scale factor applied to frequencies", 7) + " List of directions:\n" +
                         fmt("%2.2d:%15.7f\n", 1, q(123456789, 1000)) +
                         fmt(" %2.2d:%15.7f   <-- this field value\n", 2, q(45000, 1000)) +
                         fmt("%2.2d:%15.7f\n", 3, q(-90000, 1000)) + " List of frequencies:\n" +
                         fmt(" %2.2d:%15.7f   <-- this field value\n", 1, q(1, 7)) +
                         fmt("%2.2d:%15.7f\n", 2, q(100000001, 7)) +
                         v38("System number (65535 = missing)", 65535) +
                         v38("Method number (65535 = missing)", 12);
    EXPECT_EQ(afterCommon(a.print()), expect);

    a.s[54] = 0; // no system and method
    std::string t = afterCommon(a.print());
    EXPECT_FALSE(contains(t, "System number"));
    EXPECT_FALSE(contains(t, "Method number"));
}

TEST(PrintSec1Talvo, Definition14ChannelFrequencies)
{
    Sec1 a = Sec1::talvo(14);
    a.s[43] = 3;
    a.s[44] = 1000;
    a.s[45] = 3;
    a.s[46] = 183311;
    a.s[47] = 190311;
    a.s[48] = 16777217; // 2^24 + 1: not a float
    auto q = [](int v, int s) { return (double)((float)v / (float)s); };
    std::string expect = v38("Channel number", 3) +
                         v38("Scale factor applied to frequencies", 1000) +
                         v38("Total number of frequencies", 3) + " List of frequencies:\n" +
                         fmt(" %3d:%15.9f\n", 1, q(183311, 1000)) +
                         fmt(" %3d:%15.9f\n", 2, q(190311, 1000)) +
                         fmt(" %3d:%15.9f   <-- this channel\n", 3, q(16777217, 1000));
    EXPECT_EQ(afterCommon(a.print()), expect);
    ASSERT_NE(fmt("%15.9f", q(16777217, 1000)), fmt("%15.9f", 16777217 / 1000.0));
}

TEST(PrintSec1Talvo, Definition16SkipsElement42)
{
    Sec1 a = Sec1::talvo(16);
    for (int e = 41; e <= 46; ++e) a.s[e] = e;
    EXPECT_EQ(afterCommon(a.print()),
              v38("Ensemble member number", 41) + v38("System number", 43) +
                  v38("Method number", 44) + v38("Verifying month", 45) +
                  v38("Averaging period", 46));
}

// ---- QORB -------------------------------------------------------------------

TEST(PrintSec1Qorb, EnsembleLines)
{
    Sec1 a;
    a.s[1] = 252;
    a.s[36] = 1;
    a.s[37] = 2;
    a.s[38] = 14;
    a.s[39] = 51;
    std::string t = a.print();
    std::string tail = v38("Units decimal scaling factor.", -2) +
                       v38("QORB local usage identifier.", 1) +
                       v38("Type of ensemble forecast", 2) + v38("Individual ensemble member", 14) +
                       v38("Number of forecasts in ensemble", 51);
    ASSERT_GE(t.size(), tail.size());
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
}

} // namespace
