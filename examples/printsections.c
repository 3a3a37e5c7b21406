/* printsections: the labelled printout of the section arrays of a small
   GRIB edition 1 field (a 2.5 degree global temperature grid at 500 hPa).
   Set GRPRS_STREAM to a file name, or to 2 for standard error, to send the
   printout elsewhere. It reads no file and takes no arguments.

   usage: printsections */
#include <stdio.h>
#include <string.h>

#include <valmora.h>

#define NI 144
#define NJ 73

int main(int argc, char **argv)
{
    if (argc > 1) {
        int help = strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0;
        fputs("usage: printsections\n"
              "Prints the section arrays of a built-in GRIB edition 1 field (no file is read).\n",
              help ? stdout : stderr);
        return help && argc == 2 ? 0 : 2;
    }

    int isec0[2] = {0, 1};
    int isec1[64] = {128, 98, 145, 255, 128, 130, 100, 500, 0, 24, 6, 15, 12, 0, 1, 0,
                     0, 0, 0, 0, 21, 0, 0, 0};
    int isec2[64] = {0};
    double fsec2[10] = {0};
    int isec3[2] = {0, 0};
    double fsec3[2] = {0.0, -9999.0};
    int isec4[64] = {0};
    static double fsec4[NI * NJ];

    /* latitude/longitude grid, north to south, increments given */
    isec2[0] = 0;
    isec2[1] = NI;
    isec2[2] = NJ;
    isec2[3] = 90000;
    isec2[4] = 0;
    isec2[5] = 128;
    isec2[6] = -90000;
    isec2[7] = 357500;
    isec2[8] = 2500;
    isec2[9] = 2500;

    isec4[0] = NI * NJ;
    isec4[1] = 16;
    for (int j = 0; j < NJ; ++j)
        for (int i = 0; i < NI; ++i)
            fsec4[j * NI + i] = 233.15 + 0.25 * (j < NJ / 2 ? j : NJ - 1 - j) + 0.01 * i;

    gribPrintSec0(isec0);
    gribPrintSec1(isec0, isec1);
    gribPrintSec2DP(isec0, isec2, fsec2);
    gribPrintSec3DP(isec0, isec3, fsec3);
    gribPrintSec4DP(isec0, isec4, fsec4);
    fflush(grprsm);
    return 0;
}
