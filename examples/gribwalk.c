/* gribwalk: print the offset, edition and length of every record of a GRIB
   file, using the record functions of libvalmora. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <valmora.h>

int main(int argc, char **argv)
{
    static const char usage[] = "usage: gribwalk file.grb\n"
                                "Prints the offset, edition and length of every GRIB record of file.grb.\n";
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        fputs(usage, stderr);
        return 2;
    }
    int fd = gribOpen(argv[1], "r");
    if (fd < 0) {
        fprintf(stderr, "gribwalk: cannot open %s\n", argv[1]);
        return 1;
    }

    unsigned char *buffer = NULL;
    size_t capacity = 0, size;
    long records = 0;
    int status = 0;
    for (;;) {
        size = gribGetSize(fd);
        long long offset = (long long)gribGetPos(fd);
        if (size == 0) {
            /* End of file, or a record that cannot be sized (its warning is
               out already): a read with no room tells them apart and steps
               over the marker of the latter, so the walk goes on. */
            size_t length = 0;
            if (gribRead(fd, buffer, &length) != 1 || length != 0) break;
            fprintf(stderr, "gribwalk: record at offset %lld has no length; skipped\n", offset);
            status = 1;
            continue;
        }
        if (size > capacity) {
            unsigned char *grown = realloc(buffer, size);
            if (!grown) {
                fprintf(stderr, "gribwalk: out of memory for a record of %zu octets\n", size);
                status = 1;
                break;
            }
            buffer = grown;
            capacity = size;
        }
        size_t length = capacity;
        int rc = gribRead(fd, buffer, &length);
        if (rc != 0) {
            fprintf(stderr, "gribwalk: record at offset %lld could not be read (%d)\n", offset, rc);
            status = 1;
            break;
        }
        printf("%6ld  offset %12lld  edition %d  length %10zu\n", ++records, offset,
               gribVersion(buffer, length), length);
    }
    printf("records: %ld\n", records);
    if (records == 0 && status == 0) {
        fprintf(stderr, "gribwalk: %s: no GRIB record found\n", argv[1]);
        status = 1;
    }
    free(buffer);
    gribClose(fd);
    return status;
}
