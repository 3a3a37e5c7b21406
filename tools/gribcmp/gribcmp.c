/* gribcmp: compare two GRIB files record by record, octet by octet.
 *
 * Records are taken from their markers, so zero padding between records is
 * ignored; in edition 0 and 1 records the unused-bit count of the data
 * section (low four bits of its flag octet) is ignored too, since restoring
 * a compressed section may change it without changing a single value.
 * Exit status: 0 identical, 1 a difference, 2 bad arguments, an input that
 * cannot be read, a damaged record or a file without records (as cmp). */
#include "../common/gribtool.h"

static const char usage[] =
    "usage: gribcmp file1.grb file2.grb\n"
    "Compares two GRIB files record by record, octet by octet; padding between\n"
    "records and the unused-bit count of the data section are not compared.\n"
    "  -h, --help   this text\n"
    "  --version    the library version\n"
    "Exit status: 0 identical, 1 different, 2 bad arguments, an input that\n"
    "cannot be read, a damaged record or a file without GRIB records.\n";

typedef ToolInput Input;

/* Offset of the data-section flag octet, or 0 when there is none. */
static size_t bdsFlagOffset(Input *in)
{
    unsigned char *pds, *gds, *bms, *bds;
    long recsize;
    if (gribVersion(in->data, in->length) > 1) return 0;
    if (grib1Sections(in->data, (long)in->length, &pds, &gds, &bms, &bds, &recsize) != 0) return 0;
    return (size_t)(bds - in->data) + 3;
}

/* Index of the first differing octet, or the common length if none. */
static size_t firstDifference(Input *a, Input *b, size_t flag)
{
    size_t n = a->length < b->length ? a->length : b->length;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = a->data[i], y = b->data[i];
        if (flag && i == flag) x &= 0xF0, y &= 0xF0;
        if (x != y) return i;
    }
    return n;
}

/* Compares the current records of both inputs; prints the difference. */
static int sameRecords(Input *a, Input *b, long nrec)
{
    size_t flag = bdsFlagOffset(a);
    if (flag != bdsFlagOffset(b)) flag = 0;
    size_t at = firstDifference(a, b, flag);
    if (a->length == b->length && at == a->length) return 1;
    printf("DIFFERENT: record %ld: lengths %zu and %zu, first difference at octet %zu\n", nrec, a->length,
           b->length, at + 1);
    return 0;
}

int main(int argc, char **argv)
{
    const char *names[2] = {NULL, NULL};
    int nnames = 0, status = 0;
    for (int i = 1; i < argc; ++i) {
        if (toolCommonOption(argv[i], "gribcmp", usage, &status)) return status;
        if (argv[i][0] == '-' && argv[i][1] != '\0') return toolBadUsage("gribcmp", usage, "unknown option", argv[i]);
        if (nnames == 2) return toolBadUsage("gribcmp", usage, "two files only", NULL);
        names[nnames++] = argv[i];
    }
    if (nnames != 2) return toolBadUsage("gribcmp", usage, NULL, NULL);

    Input in[2];
    int opened = 0;
    for (; opened < 2; ++opened)
        if (toolOpen(&in[opened], "gribcmp", names[opened]) != 0) break;
    if (opened < 2) {
        while (opened > 0) toolClose(&in[--opened]);
        return 2;
    }

    long records = 0;
    for (;;) {
        int ra = toolNext(&in[0]), rb = toolNext(&in[1]);
        if (ra < 0 || rb < 0) {
            /* Reported already; the two files cannot be walked side by side
               past a record that could not be read. */
            status = 2;
            break;
        }
        if (ra == 0 || rb == 0) {
            if (toolNoRecords(&in[0]) | toolNoRecords(&in[1])) status = 2;
            else if (ra != rb) {
                printf("DIFFERENT: %s has more records than %s (%ld in common)\n", in[ra ? 0 : 1].name,
                       in[ra ? 1 : 0].name, records);
                status = 1;
            }
            break;
        }
        ++records;
        if (!sameRecords(&in[0], &in[1], records)) status = 1;
    }
    if (status == 0) printf("IDENTICAL: %ld records, every data section the same\n", records);
    for (int i = 0; i < 2; ++i) toolClose(&in[i]);
    return status;
}
