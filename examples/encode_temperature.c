/* encode_temperature: encode a 1-degree global 2-metre temperature field,
   with the points of a polar cap missing, as one GRIB edition 1 record and
   write it to a new file (an existing one only with -f).

   usage: encode_temperature [-f] [out.grb] */
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <valmora.h>

#define NI 360
#define NJ 181
#define MISSING (-9999.0)

static const char usage[] = "usage: encode_temperature [-f] [out.grb]\n"
                            "Writes a global 2-metre temperature field as one GRIB edition 1 record\n"
                            "to out.grb (default temperature.grb); -f replaces an existing file.\n";

int main(int argc, char **argv)
{
    const char *name = NULL;
    int force = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(usage, stdout);
            return 0;
        }
        if (strcmp(argv[i], "-f") == 0)
            force = 1;
        else if (argv[i][0] == '-' || name) {
            fputs(usage, stderr);
            return 2;
        } else
            name = argv[i];
    }
    if (!name) name = "temperature.grb";
    static double values[NI * NJ];
    static int kgrib[NI * NJ + 1024]; /* ample: 16 bits per value and headers */
    int isec0[2] = {0}, isec1[64] = {0}, isec2[64] = {0}, isec3[2] = {0}, isec4[64] = {0};
    double fsec2[16] = {0}, fsec3[2] = {0.0, MISSING};
    int used = 0, status = 0, missing = 0;

    /* Kelvin, warm at the equator; no data north of 80 degrees. */
    for (int j = 0; j < NJ; ++j) {
        const double lat = 90.0 - j;
        for (int i = 0; i < NI; ++i) {
            const double lon = i * M_PI / 180.0, s = sin(lat * M_PI / 180.0);
            double t = 300.0 - 55.0 * s * s + 4.0 * cos(2.0 * lon) * cos(lat * M_PI / 180.0);
            if (lat > 80.0) {
                t = MISSING;
                ++missing;
            }
            values[j * NI + i] = t;
        }
    }

    isec1[0] = 128;  /* parameter table version */
    isec1[1] = 98;   /* originating centre */
    isec1[2] = 145;  /* generating process */
    isec1[3] = 255;  /* grid defined in the GDS */
    isec1[4] = 128 + 64; /* GDS and BMS included */
    isec1[5] = 167;  /* 2 metre temperature */
    isec1[6] = 1;    /* surface */
    isec1[9] = 24;   /* 2024-07-01 00:00, analysis */
    isec1[10] = 7;
    isec1[11] = 1;
    isec1[14] = 1;   /* hours */
    isec1[20] = 21;  /* century */

    isec2[0] = 0;    /* regular latitude/longitude */
    isec2[1] = NI;
    isec2[2] = NJ;
    isec2[3] = 90000;  /* first point 90N 0E, millidegrees */
    isec2[4] = 0;
    isec2[5] = 128;    /* increments given */
    isec2[6] = -90000; /* last point 90S 359E */
    isec2[7] = 359000;
    isec2[8] = 1000;
    isec2[9] = 1000;
    isec2[10] = 0;     /* west to east, north to south */

    isec4[0] = NI * NJ;
    isec4[1] = 16;     /* bits per value */

    grib_encode_double(isec0, isec1, isec2, fsec2, isec3, fsec3, isec4, values, 0, kgrib,
                       (int)(sizeof kgrib / sizeof kgrib[0]), &used, 0, &status);
    if (status != 0) {
        fprintf(stderr, "encode_temperature: encoding failed with status %d\n", status);
        return 1;
    }

    /* A new file unless told otherwise: never clobber one by accident. */
    int fd = open(name, O_WRONLY | O_CREAT | (force ? O_TRUNC : O_EXCL), 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            fprintf(stderr, "encode_temperature: %s exists; give -f to replace it\n", name);
        else
            fprintf(stderr, "encode_temperature: cannot create %s: %s\n", name, strerror(errno));
        return 1;
    }
    FILE *out = fdopen(fd, "wb");
    if (!out) close(fd);
    if (!out || fwrite(kgrib, 1, (size_t)isec0[0], out) != (size_t)isec0[0] || fclose(out) != 0) {
        fprintf(stderr, "encode_temperature: cannot write %s\n", name);
        return 1;
    }
    printf("wrote %s: %d octets, %d points, %d missing\n", name, isec0[0], NI * NJ, missing);
    return 0;
}
