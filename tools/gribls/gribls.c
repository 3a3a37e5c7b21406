/* gribls: list every record of a GRIB file, one line per record, with the
   listings of libvalmora: the overview by default, or one section listing.

   usage: gribls [-s pds|gds|bms|bds] file.grb
   Exit status: 0 every record listed, 1 an input that cannot be read, a
   damaged record or no record at all, 2 bad arguments. */
#include "../common/gribtool.h"

static const char usage[] =
    "usage: gribls [-s pds|gds|bms|bds] file.grb\n"
    "Lists every GRIB record of file.grb, one line per record: the overview,\n"
    "or with -s the listing of one section of the edition 0 and 1 records.\n"
    "  -s SECTION   pds, gds, bms or bds\n"
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

int main(int argc, char **argv)
{
    section_listing listing = NULL;
    const char *name = NULL;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (toolCommonOption(arg, "gribls", usage, &status)) return status;
        if (strcmp(arg, "-s") == 0) {
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
    int got;
    while ((got = toolNext(&in)) != 0) {
        if (got == -2) break;
        if (got < 0) continue;
        if (listing)
            listing(in.records, (long)in.position, (long)in.length, in.data);
        else
            gribPrintALL(in.records, (long)(in.position - end), (long)in.position, (long)in.length, in.data);
        end = in.end;
    }
    if (got == -2 || in.damaged > 0 || toolNoRecords(&in)) status = 1;
    toolClose(&in);
    return status;
}
