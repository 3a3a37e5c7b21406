// The binary digit printer and the reference date service.
#include "support.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// The low n bits of a non-negative value written as a decimal number.
int digitsOf(unsigned value, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; --i) s += (value >> i & 1) ? '1' : '0';
    return std::stoi(s);
}

TEST(Prtbin, DigitsOfTheLowBits)
{
    for (int n = 1; n <= 10; ++n)
        for (unsigned v = 0; v < 2048; v += (n == 8 ? 1 : 7)) {
            int digits = -7, status = -7;
            prtbin((int)v, n, &digits, &status);
            ASSERT_EQ(status, 0);
            ASSERT_EQ(digits, digitsOf(v & ((1u << n) - 1), n)) << v << " bits " << n;
        }
    // Negative values follow truncating division (-3: remainders -1, -1);
    // beyond ten bits only the low ten fit in an int.
    const struct {
        int value, n, digits;
    } cases[] = {{5, 8, 101},
                 {256, 8, 0},
                 {6, 1, 0},
                 {-1, 8, -1},
                 {-3, 8, -11},
                 {-4, 8, -100},
                 {0x3FFF, 14, 1111111111},
                 {1 << 10, 11, 0}};
    for (const auto &c : cases) {
        int digits = 0, status = 1;
        prtbin(c.value, c.n, &digits, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(digits, c.digits) << c.value << " bits " << c.n;
    }
}

TEST(Prtbin, LengthOutOfRangeReportsOnStandardOutputAndLeavesTheDigits)
{
    for (int n : {0, 15, -3, 100}) {
        fflush(stdout);
        FILE *tmp = tmpfile();
        int saved = dup(1);
        dup2(fileno(tmp), 1);
        int digits = 4242, status = 0;
        prtbin(7, n, &digits, &status);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        char out[128] = {0};
        rewind(tmp);
        size_t len = fread(out, 1, sizeof out - 1, tmp);
        fclose(tmp);
        char expect[80];
        snprintf(expect, sizeof expect, " prtbin : Error in binary number length - %3d bits.\n", n);
        EXPECT_EQ(std::string(out, len), expect);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(digits, 4242);
    }
}

TEST(GribDateTime, FullYearFromYearOfCenturyAndCentury)
{
    const struct {
        int year, century, month, day, hour, minute, date, time;
    } cases[] = {
        {95, 20, 1, 2, 12, 30, 19950102, 1230},
        {100, 20, 12, 31, 0, 0, 20001231, 0}, // the last year of the 20th century
        {1, 21, 6, 15, 23, 59, 20010615, 2359},
        {87, 0, 3, 4, 6, 0, 19870304, 600}, // edition 0 gives no century
        {12, 19, 7, 8, 0, 0, 18120708, 0},
    };
    int before = VALMORA_grib_calendar;
    for (const auto &c : cases)
        for (int calendar : {0, 3, 6}) { // the calendar changes nothing
            gribSetCalendar(calendar);
            int isec1[24] = {0};
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
    gribSetCalendar(before);

    int isec1[24] = {0};
    isec1[9] = 5;
    isec1[20] = -20; // the sign of the century is the sign of the year
    int date = 0, time = 0;
    gribDateTime(isec1, &date, &time);
    EXPECT_EQ(date / 10000, -1905);
}

} // namespace
