// Reference date and time of a product definition array, as the section
// printer shows them.
#include "support.h"

#include <cstdlib>

extern "C" void gribDateTime(const int *isec1, int *date, int *time)
{
    int yearOfCentury = isec1[9];
    int century = isec1[20];
    // Edition 0 leaves the century unset; its records are all of the 1900s.
    if (century == 0) century = 20;
    // A negative century carries the sign of the year (years before 1 AD).
    long year = (labs((long)century) - 1) * 100 + yearOfCentury;
    long md = (long)isec1[10] * 100 + isec1[11];
    long value = year * 10000 + md;
    // The calendar setting does not change a date that is only shown.
    *date = (int)(century < 0 ? -value : value);
    *time = (int)((long)isec1[12] * 100 + isec1[13]);
}
