// The binary digit printer and the reference date service.
#include "valmora.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// The binary digits of the low n bits of a non-negative value, as a number.
int digitsOf(unsigned value, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; --i) s += (value >> i & 1) ? '1' : '0';
    return std::stoi(s);
}

// Runs prtbin with standard output sent to a file; returns what it wrote.
std::string stdoutOf(int value, int n, int *digits, int *status)
{
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    prtbin(value, n, digits, status);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(tmp);
    int c;
    while ((c = fgetc(tmp)) != EOF) text += (char)c;
    fclose(tmp);
    return text;
}

TEST(Prtbin, EightBitValuesShowTheirBitsAndIgnoreHigherOnes)
{
    for (unsigned v = 0; v < 1024; ++v) {
        int digits = -7, status = -7;
        prtbin((int)v, 8, &digits, &status);
        ASSERT_EQ(status, 0) << v;
        ASSERT_EQ(digits, digitsOf(v & 0xFF, 8)) << v;
    }
    int digits = 0, status = 0;
    prtbin(5, 8, &digits, &status);
    EXPECT_EQ(digits, 101);
    char line[16];
    snprintf(line, sizeof line, "%8.8d", digits);
    EXPECT_STREQ(line, "00000101");
    prtbin(256, 8, &digits, &status);
    EXPECT_EQ(digits, 0);
}

TEST(Prtbin, EveryLengthFromOneToTen)
{
    for (int n = 1; n <= 10; ++n)
        for (unsigned v : {0u, 1u, 6u, 0x155u, 0x2AAu, 0x3FFu, 0x7FFu}) {
            int digits = 0, status = 1;
            prtbin((int)v, n, &digits, &status);
            ASSERT_EQ(status, 0);
            ASSERT_EQ(digits, digitsOf(v & ((1u << n) - 1), n)) << v << " " << n;
        }
    int digits = 0, status = 0;
    prtbin(6, 1, &digits, &status);
    EXPECT_EQ(digits, 0);
    prtbin(1, 1, &digits, &status);
    EXPECT_EQ(digits, 1);
}

TEST(Prtbin, LongLengthsKeepTheLowTenBitsWithoutOverflow)
{
    for (int n = 11; n <= 14; ++n) {
        int digits = 0, status = 1;
        prtbin(0x3FFF, n, &digits, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(digits, 1111111111);
        prtbin(1 << 10, n, &digits, &status);
        EXPECT_EQ(digits, 0);
    }
}

TEST(Prtbin, NegativeValuesTakeTheSignOfTruncatingDivision)
{
    int digits = 0, status = 1;
    prtbin(-1, 8, &digits, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(digits, -1);
    // -3: remainders -1 (of -3) and -1 (of -1), then 0.
    prtbin(-3, 8, &digits, &status);
    EXPECT_EQ(digits, -11);
    // -4: 0 (of -4), 0 (of -2), -1 (of -1).
    prtbin(-4, 8, &digits, &status);
    EXPECT_EQ(digits, -100);
}

TEST(Prtbin, LengthOutOfRangeReportsAndLeavesTheDigits)
{
    for (int n : {0, 15, -3, 100}) {
        int digits = 4242, status = 0;
        std::string out = stdoutOf(7, n, &digits, &status);
        char expect[80];
        snprintf(expect, sizeof expect, " prtbin : Error in binary number length - %3d bits.\n", n);
        EXPECT_EQ(out, expect);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(digits, 4242);
    }
    int digits = 0, status = 0;
    EXPECT_EQ(stdoutOf(7, 14, &digits, &status), "");
    EXPECT_EQ(status, 0);
}

// ---- Reference date ---------------------------------------------------------

struct DateCase {
    int year, century, month, day, hour, minute;
    int date, time;
};

TEST(GribDateTime, FullYearFromYearOfCenturyAndCentury)
{
    const DateCase cases[] = {
        {95, 20, 1, 2, 12, 30, 19950102, 1230},
        {100, 20, 12, 31, 0, 0, 20001231, 0},  // year 100 of the 20th century
        {1, 21, 6, 15, 23, 59, 20010615, 2359},
        {0, 21, 1, 1, 0, 5, 20000101, 5},
        {87, 0, 3, 4, 6, 0, 19870304, 600},    // edition 0: no century given
        {12, 19, 7, 8, 0, 0, 18120708, 0},
    };
    for (const DateCase &c : cases) {
        int isec1[40] = {0};
        isec1[9] = c.year;
        isec1[20] = c.century;
        isec1[10] = c.month;
        isec1[11] = c.day;
        isec1[12] = c.hour;
        isec1[13] = c.minute;
        int date = 0, time = -1;
        gribDateTime(isec1, &date, &time);
        EXPECT_EQ(date, c.date) << c.year << " " << c.century;
        EXPECT_EQ(time, c.time);
    }
}

TEST(GribDateTime, NegativeCenturyGivesANegativeYearAndTheCalendarChangesNothing)
{
    int isec1[40] = {0};
    isec1[9] = 5;
    isec1[20] = -20;
    isec1[10] = 1;
    isec1[11] = 1;
    int date = 0, time = 0;
    gribDateTime(isec1, &date, &time);
    EXPECT_EQ(date / 10000, -1905);

    isec1[20] = 20;
    isec1[9] = 96;
    isec1[10] = 2;
    isec1[11] = 29;
    int before = VALMORA_grib_calendar;
    for (int calendar : {0, 2, 3, 4, 5, 6}) {
        gribSetCalendar(calendar);
        gribDateTime(isec1, &date, &time);
        EXPECT_EQ(date, 19960229) << calendar;
    }
    gribSetCalendar(before);
}

} // namespace
