/* gribcmp: compare two GRIB files record by record, octet by octet.
 *
 * Records are taken from their markers, so zero padding between records is
 * ignored; in edition 0 and 1 records the unused-bit count of the data
 * section (low four bits of its flag octet) is ignored too, since restoring
 * a compressed section may change it without changing a single value.
 * Exit status: 0 identical, 1 a difference, 2 usage or open error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <valmora.h>

typedef struct {
    const char *name;
    int fd;
    unsigned char *data;
    size_t capacity;
    size_t length;
} Input;

/* Next record of the input; 1 read, 0 no further record, -1 error. */
static int nextRecord(Input *in)
{
    size_t size = gribGetSize(in->fd);
    if (size == 0) return 0;
    if (size > in->capacity) {
        unsigned char *grown = realloc(in->data, size);
        if (!grown) return -1;
        in->data = grown;
        in->capacity = size;
    }
    in->length = in->capacity;
    return gribRead(in->fd, in->data, &in->length) == 0 ? 1 : -1;
}

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

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: gribcmp file1.grb file2.grb\n");
        return 2;
    }
    Input in[2] = {{argv[1], -1, NULL, 0, 0}, {argv[2], -1, NULL, 0, 0}};
    for (int i = 0; i < 2; ++i) {
        in[i].fd = gribOpen(in[i].name, "r");
        if (in[i].fd < 0) {
            fprintf(stderr, "gribcmp: cannot open %s\n", in[i].name);
            return 2;
        }
    }

    long records = 0;
    int status = 0;
    for (;;) {
        int ra = nextRecord(&in[0]), rb = nextRecord(&in[1]);
        if (ra < 0 || rb < 0) {
            fprintf(stderr, "gribcmp: record %ld of %s could not be read\n", records + 1, in[ra < 0 ? 0 : 1].name);
            status = 1;
            break;
        }
        if (ra == 0 || rb == 0) {
            if (ra != rb) {
                printf("DIFFERENT: %s has more records than %s (%ld in common)\n", in[ra ? 0 : 1].name,
                       in[ra ? 1 : 0].name, records);
                status = 1;
            }
            break;
        }
        ++records;
        size_t flag = bdsFlagOffset(&in[0]);
        if (flag != bdsFlagOffset(&in[1])) flag = 0;
        size_t at = firstDifference(&in[0], &in[1], flag);
        if (in[0].length != in[1].length || at < in[0].length) {
            printf("DIFFERENT: record %ld: lengths %zu and %zu, first difference at octet %zu\n", records,
                   in[0].length, in[1].length, at + 1);
            status = 1;
        }
    }
    if (status == 0) printf("IDENTICAL: %ld records, every data section the same\n", records);
    for (int i = 0; i < 2; ++i) {
        gribClose(in[i].fd);
        free(in[i].data);
    }
    return status;
}
