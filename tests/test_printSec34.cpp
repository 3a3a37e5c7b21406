// Printouts of the bit-map and binary data sections and of the matrix
// coordinate coefficients.
#include "printer_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace printutil;

namespace {

const int kIsec0[2] = {0, 1};

// ---- Section 3 ----------------------------------------------------------------

TEST(PrintSec3, PredeterminedOrNoBitMapAndMissingValues)
{
    const std::string head = " \n Section 3 - Bit-map Section.\n"
                             " -------------------------------------\n";
    int isec3[2] = {0, -32767};
    double fsec3[2] = {0.0, -9999.5};
    std::string t = capture([&] { gribPrintSec3DP(kIsec0, isec3, fsec3); });
    EXPECT_EQ(t, head + " No predetermined bit-map.\n" +
                     " Missing data value for integer data.    " + rjust("-32767", 14) + "\n" +
                     " Missing data value for real data. " + rjust("-9999.5", 20) + "\n");

    isec3[0] = 5;
    fsec3[1] = 1.0e20;
    t = capture([&] { gribPrintSec3DP(kIsec0, isec3, fsec3); });
    EXPECT_EQ(t, head + v46("Predetermined bit-map number.", 5) +
                     " Missing data value for integer data.    " + rjust("-32767", 14) + "\n" +
                     " Missing data value for real data. " + rjust("1e+20", 20) + "\n");
}

TEST(PrintSec3, SinglePrecisionIsWidened)
{
    int isec3[2] = {0, 0};
    float fsec3[2] = {1.0f, 0.1f};
    std::string t = capture([&] { gribPrintSec3SP(kIsec0, isec3, fsec3); });
    EXPECT_TRUE(contains(t, fmt(" Missing data value for real data. %20.6g\n", (double)0.1f)));
    EXPECT_TRUE(contains(t, " Missing data value for integer data.    " + rjust("0", 14) + "\n"));
}

// ---- Section 4 ----------------------------------------------------------------

struct Data {
    std::vector<int> s = std::vector<int>(128, 0);
    std::vector<double> f;
    std::string print() const
    {
        return capture([&] { gribPrintSec4DP(kIsec0, s.data(), f.data()); });
    }
};

const char *kHeadLabels[10] = {
    "Number of data values coded/decoded.",       "Number of bits per data value.",
    "Type of data       (0=grid pt, 128=spectral).", "Type of packing    (0=simple, 64=complex).",
    "Type of data       (0=float, 32=integer).",  "Additional flags   (0=none, 16=present).",
    "Reserved.",                                  "Number of values   (0=single, 64=matrix).",
    "Secondary bit-maps (0=none, 32=present).",   "Values width       (0=constant, 16=variable).",
};

std::string head(const std::vector<int> &s)
{
    std::string t = " \n Section 4 - Binary Data  Section.\n"
                    " -------------------------------------\n";
    for (int i = 0; i < 10; ++i) t += v46(kHeadLabels[i], s[i]);
    return t;
}

std::string firstValues(int k) { return " \n" + fmt(" First %4d data values.\n", k); }

// The three value forms, chosen by magnitude.
std::string zeroForm(double magnitude) { return fmt(" %#16.0f    \n", magnitude); }
std::string midForm(double v) { return fmt(" %#16.8G    \n", v); }
std::string wideForm(double v) { return fmt(" %#20.8E\n", v); }

TEST(PrintSec4, SimpleGridPointValues)
{
    Data d;
    d.s[0] = 3;
    d.s[1] = 12;
    d.f = {0.0, 12.5, -273.15};
    std::string expect = head(d.s) + firstValues(3) + zeroForm(0.0) + midForm(12.5) +
                         midForm(-273.15);
    EXPECT_EQ(d.print(), expect);
    EXPECT_EQ(zeroForm(0.0), " " + std::string(14, ' ') + "0.    \n");
    EXPECT_EQ(midForm(12.5), "        12.500000    \n");
}

TEST(PrintSec4, ValueFormsAtTheirBoundaries)
{
    struct {
        double v;
        int form; // 0 zero form of the magnitude, 1 middle, 2 wide
    } cases[] = {{0.0, 0},   {-0.0, 0},       {0.1, 1},      {-0.1, 1},    {100000000.0, 1},
                 {0.05, 2},  {2e9, 2},        {-2e9, 2},     {0.0999999, 2}, {100000001.0, 2},
                 {1e-300, 2}, {std::numeric_limits<double>::quiet_NaN(), 0},
                 {std::numeric_limits<double>::infinity(), 2}};
    for (const auto &c : cases) {
        Data d;
        d.s[0] = 1;
        d.f = {c.v};
        std::string t = d.print();
        std::string line = c.form == 0 ? zeroForm(std::fabs(c.v)) : c.form == 1 ? midForm(c.v)
                                                                                 : wideForm(c.v);
        ASSERT_GE(t.size(), line.size());
        EXPECT_EQ(t.substr(t.size() - line.size()), line) << c.v;
    }
    Data d;
    d.s[0] = 1;
    d.f = {-0.0};
    std::string t = d.print();
    EXPECT_FALSE(contains(t, "-0.")); // shown by its magnitude
}

TEST(PrintSec4, AtMostTwentyValuesOfTheCountsMagnitude)
{
    Data d;
    d.s[0] = 1000;
    for (int i = 0; i < 1000; ++i) d.f.push_back(1.0 + i);
    std::string expect = head(d.s) + firstValues(20);
    for (int i = 0; i < 20; ++i) expect += midForm(1.0 + i);
    EXPECT_EQ(d.print(), expect);

    Data n;
    n.s[0] = -5;
    n.f = {1, 2, 3, 4, 5, 6};
    expect = head(n.s) + firstValues(5);
    for (int i = 1; i <= 5; ++i) expect += midForm(i);
    EXPECT_EQ(n.print(), expect);

    Data z;
    z.f = {1};
    EXPECT_EQ(z.print(), head(z.s) + firstValues(0));

    Data m;
    m.s[0] = std::numeric_limits<int>::min();
    m.f = std::vector<double>(20, 0.5);
    expect = head(m.s) + firstValues(20);
    for (int i = 0; i < 20; ++i) expect += midForm(0.5);
    EXPECT_EQ(m.print(), expect);
}

TEST(PrintSec4, IntegerDataIsNotPrinted)
{
    Data d;
    d.s[0] = 4;
    d.s[4] = 32;
    d.f = {1, 2, 3, 4};
    EXPECT_EQ(d.print(), head(d.s) + firstValues(4) + " Print of integer values not supported\n");
}

TEST(PrintSec4, ComplexPackingLines)
{
    Data sp;
    sp.s[2] = 128;
    sp.s[3] = 64;
    for (int e = 10; e <= 19; ++e) sp.s[e] = e;
    std::string expect = head(sp.s) + v46("Byte offset of start of packed data (N).", 15) +
                         v46("Power (P * 1000).", 16) +
                         v46("Pentagonal resolution parameter J for subset.", 17) +
                         v46("Pentagonal resolution parameter K for subset.", 18) +
                         v46("Pentagonal resolution parameter M for subset.", 19) + firstValues(0);
    EXPECT_EQ(sp.print(), expect);

    Data gp = sp;
    gp.s[2] = 0;
    gp.s[14] = 2147483647; // the sum is not cut to an int
    expect = head(gp.s) + v46("Bits number of 2nd order values    (none=>0).", 10) +
             v46("General extend. 2-order packing (0=no,8=yes).", 11) +
             v46("Boustrophedonic ordering        (0=no,4=yes).", 12) +
             v46("Spatial differencing order          (0=none).", 13LL + 2147483647LL) +
             firstValues(0);
    EXPECT_EQ(gp.print(), expect);

    Data simple = sp;
    simple.s[3] = 0;
    EXPECT_EQ(simple.print(), head(simple.s) + firstValues(0));
}

TEST(PrintSec4, NonMissingCountAndMatrixLines)
{
    Data d;
    d.s[20] = 77;
    d.s[7] = 64;
    for (int e = 49; e <= 56; ++e) d.s[e] = e - 40;
    std::string expect = head(d.s) + v46("Number of non-missing values", 77) +
                         v46("First dimension (rows) of each matrix.", 9) +
                         v46("Second dimension (columns) of each matrix.", 10) +
                         v46("First dimension coordinate values definition.", 11) +
                         " (Code Table 12)\n" +
                         fmt(" NC1 - Number of coefficients for 1st dimension.%7d\n", 12) +
                         fmt(" Second dimension coordinate values definition.%8d\n", 13) +
                         " (Code Table 12)\n" +
                         fmt(" NC2 - Number of coefficients for 2nd dimension.%7d\n", 14) +
                         fmt(" 1st dimension physical signifance (Table 13). %8d\n", 15) +
                         fmt(" 2nd dimension physical signifance (Table 13).%8d\n", 16) +
                         firstValues(0);
    EXPECT_EQ(d.print(), expect);
}

TEST(PrintSec4, SinglePrecisionValues)
{
    std::vector<int> s(128, 0);
    s[0] = 25;
    std::vector<float> f(25);
    for (int i = 0; i < 25; ++i) f[i] = 0.1f * (float)(i + 1);
    std::string t = capture([&] { gribPrintSec4SP(kIsec0, s.data(), f.data()); });
    std::string expect = head(s) + firstValues(20);
    for (int i = 0; i < 20; ++i) {
        double v = (double)f[i];
        expect += std::fabs(v) >= 0.1 ? midForm(v) : wideForm(v);
    }
    EXPECT_EQ(t, expect);

    s[0] = 0;
    t = capture([&] { gribPrintSec4SP(kIsec0, s.data(), nullptr); });
    EXPECT_EQ(t, head(s) + firstValues(0));
}

// ---- Matrix coordinate coefficients ----------------------------------------------

int bitsOf(float f)
{
    int i;
    memcpy(&i, &f, sizeof i);
    return i;
}

TEST(PrintSec4Wave, CoefficientsOfBothDimensions)
{
    std::vector<int> s(80, 0);
    s[52] = 2;
    s[54] = 3;
    const float c[5] = {0.5f, -1.25f, 0.1f, 3.0e6f, 1.0f / 3.0f};
    for (int i = 0; i < 5; ++i) s[59 + i] = bitsOf(c[i]);
    std::string expect = " Coefficients defining first dimension coordinates:\n" +
                         fmt("%20.10f\n", 0.5) + fmt("%20.10f\n", -1.25) +
                         " Coefficients defining second dimension coordinates:\n" +
                         fmt("%20.10f\n", (double)0.1f) + fmt("%20.10f\n", 3.0e6) +
                         fmt("%20.10f\n", (double)(1.0f / 3.0f));
    EXPECT_EQ(capture([&] { gribPrintSec4Wave(s.data()); }), expect);
}

TEST(PrintSec4Wave, NegativeFirstCountDoesNotShiftTheSecondList)
{
    std::vector<int> s(80, 0);
    s[52] = -40;
    s[54] = 1;
    s[59] = bitsOf(2.5f);
    std::string expect = " Coefficients defining first dimension coordinates:\n"
                         " Coefficients defining second dimension coordinates:\n" +
                         fmt("%20.10f\n", 2.5);
    EXPECT_EQ(capture([&] { gribPrintSec4Wave(s.data()); }), expect);
}

} // namespace
