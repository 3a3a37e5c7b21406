/* gribls: list every record of a GRIB file, one line per record, with the
   listings of libvalmora: the overview by default, or one section listing;
   a GRIB2 message's line is followed by a line per field; with -v each
   record or field gets the statistics of its values, decoded by the
   library (szip-packed records alike).

   usage: gribls [-v] [-s pds|gds|bms|bds] file.grb
   Exit status: 0 every record listed, 1 an input that cannot be read, a
   damaged record or no record at all, 2 bad arguments. */
#include <math.h>

#include "../common/gribtool.h"

static const char usage[] =
    "usage: gribls [-s pds|gds|bms|bds] file.grb\n"
    "       gribls -v [-s pds|gds|bms|bds] file.grb\n"
    "Lists every GRIB record of file.grb, one line per record: the overview,\n"
    "or with -s the listing of one section of the edition 0 and 1 records.\n"
    "  -s SECTION   pds, gds, bms or bds\n"
    "  -v           after each line the record's values decoded (szip-packed\n"
    "               records too): their number, the points missing from the\n"
    "               bit map, and the minimum, maximum and mean of the others;\n"
    "               or why they cannot be decoded\n"
    "A GRIB2 message's line is followed by an indented line per field: its\n"
    "parameter, level, time, grid and packing (with -v, its values' line).\n"
    "  -h, --help   this text\n"
    "  --version    the library version\n"
    "Exit status: 0 listed, 1 an input that cannot be read, a damaged record\n"
    "or no GRIB record, 2 bad arguments.\n";

typedef void (*section_listing)(int, long, long, unsigned char *);

static int pick(const char *name, section_listing *listing)
{
    static const struct {
        const char *name;
        section_listing listing;
    } table[] = {{"pds", gribPrintPDS}, {"gds", gribPrintGDS}, {"bms", gribPrintBMS}, {"bds", gribPrintBDS}};
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (strcmp(name, table[i].name) == 0) {
            *listing = table[i].listing;
            return 1;
        }
    return 0;
}

/* The statistics of the values decoded in v; missing points are NaN, which
   no GRIB value can be, so that they drop out. */
static void printStatistics(const ToolValues *v, const char *indent)
{
    size_t present = 0;
    double min = 0, max = 0, sum = 0;
    for (size_t i = 0; i < v->count; ++i) {
        double x = v->values[i];
        if (isnan(x)) continue;
        if (present++ == 0) min = max = x;
        if (x < min) min = x;
        if (x > max) max = x;
        sum += x;
    }
    printf("%svalues %zu  missing %zu", indent, v->count, v->count - present);
    if (present > 0) printf("  min %.10g  max %.10g  mean %.10g", min, max, sum / (double)present);
    putchar('\n');
}

/* One indented line per field of a GRIB2 message (and with values its
   statistics under it); 0 when a field was found damaged or memory ran out. */
static int fieldLines(ToolValues *v, const unsigned char *record, size_t length, int values)
{
    int count = 0, sound = 1;
    if (gribFieldCount(record, length, &count) != VALMORA_DECODE_OK) return 1; /* the overview said why */
    for (int i = 0; i < count; ++i) {
        gribField f;
        char text[256];
        int status = values ? toolDecodeField(v, record, length, i, &f, NAN)
                            : grib_field_decode_double(record, length, i, &f, NULL, NULL, 0);
        if (status != VALMORA_DECODE_OK && !values) continue;
        if (values && status != VALMORA_DECODE_OK &&
            grib_field_decode_double(record, length, i, &f, NULL, NULL, 0) != VALMORA_DECODE_OK) {
            printf("        field %d: %s\n", i + 1, toolDecodeReason(status));
            sound = 0;
            continue;
        }
        toolFieldSummary(&f, text, sizeof text);
        printf("        field %d: %s\n", i + 1, text);
        if (!values) continue;
        if (status == VALMORA_DECODE_OK) {
            printStatistics(v, "          ");
        } else {
            printf("          values not decoded: %s\n", toolDecodeReason(status));
            if (toolDecodeDamaged(status) || status == VALMORA_DECODE_NO_MEMORY) sound = 0;
        }
    }
    return sound;
}

/* The statistics line of one edition 0 or 1 record; 0 when the decoder found
   the record damaged or memory ran out. */
static int statistics(ToolValues *v, const unsigned char *record, size_t length)
{
    int status = toolDecode(v, record, length, NAN);
    if (!toolDecoded(status)) {
        printf("        values not decoded: %s\n", toolDecodeReason(status));
        return !toolDecodeDamaged(status) && status != VALMORA_DECODE_NO_ROOM;
    }
    printStatistics(v, "        ");
    return 1;
}

int main(int argc, char **argv)
{
    section_listing listing = NULL;
    const char *name = NULL;
    int status = 0, values = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (toolCommonOption(arg, "gribls", usage, &status)) return status;
        if (strcmp(arg, "-v") == 0) {
            values = 1;
        } else if (strcmp(arg, "-s") == 0) {
            if (++i == argc) return toolBadUsage("gribls", usage, "-s needs a section", NULL);
            if (!pick(argv[i], &listing)) {
                fprintf(stderr, "gribls: unknown section '%s'\n", argv[i]);
                return toolBadUsage("gribls", usage, NULL, NULL);
            }
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return toolBadUsage("gribls", usage, "unknown option", arg);
        } else if (name) {
            return toolBadUsage("gribls", usage, "one file only", NULL);
        } else {
            name = arg;
        }
    }
    if (!name) return toolBadUsage("gribls", usage, NULL, NULL);

    ToolInput in;
    if (toolOpen(&in, "gribls", name) != 0) return 1;
    long long end = 0; /* where the previous record ended */
    int got, undecodable = 0;
    ToolValues v;
    memset(&v, 0, sizeof v);
    while ((got = toolNext(&in)) != 0) {
        if (got == -2) break;
        if (got < 0) continue;
        if (listing)
            listing(in.records, (long)in.position, (long)in.length, in.data);
        else
            gribPrintALL(in.records, (long)(in.position - end), (long)in.position, (long)in.length, in.data);
        if (!listing && gribVersion(in.data, in.length) == 2) {
            if (!fieldLines(&v, in.data, in.length, values)) ++undecodable;
        } else if (values && !statistics(&v, in.data, in.length)) {
            ++undecodable;
        }
        end = in.end;
    }
    if (got == -2 || in.damaged > 0 || undecodable > 0 || toolNoRecords(&in)) status = 1;
    toolValuesFree(&v);
    toolClose(&in);
    return status;
}
