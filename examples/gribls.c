/* gribls: list every record of a GRIB file, one line per record, with the
   listings of libvalmora: the overview by default, or one section listing.

   usage: gribls [-s pds|gds|bms|bds] file.grb */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <valmora.h>

typedef void (*section_listing)(int, long, long, unsigned char *);

static void usage(void)
{
    fprintf(stderr, "usage: gribls [-s pds|gds|bms|bds] file.grb\n");
}

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

/* Opens a regular file for reading, or says why not. */
static int openInput(const char *prog, const char *name)
{
    struct stat st;
    if (stat(name, &st) != 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", prog, name, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: %s is not a regular file\n", prog, name);
        return -1;
    }
    int fd = gribOpen(name, "r");
    if (fd < 0) fprintf(stderr, "%s: cannot open %s: %s\n", prog, name, errno ? strerror(errno) : "unreadable");
    return fd;
}

int main(int argc, char **argv)
{
    section_listing listing = NULL;
    int argi = 1;
    if (argc == 4 && strcmp(argv[1], "-s") == 0) {
        if (!pick(argv[2], &listing)) {
            fprintf(stderr, "gribls: unknown section '%s'\n", argv[2]);
            usage();
            return 2;
        }
        argi = 3;
    } else if (argc != 2 || argv[1][0] == '-') {
        usage();
        return 2;
    }
    const char *name = argv[argi];
    int fd = openInput("gribls", name);
    if (fd < 0) return 1;

    unsigned char *buffer = NULL;
    size_t capacity = 0, size;
    int nrec = 0, status = 0;
    long end = 0; /* where the previous record ended */
    while ((size = gribGetSize(fd)) > 0) {
        long position = (long)gribGetPos(fd);
        if (size > capacity) {
            unsigned char *grown = realloc(buffer, size);
            if (!grown) {
                fprintf(stderr, "gribls: out of memory for a record of %zu octets\n", size);
                status = 1;
                break;
            }
            buffer = grown;
            capacity = size;
        }
        size_t length = capacity;
        int rc = gribRead(fd, buffer, &length);
        if (rc != 0) {
            fprintf(stderr, "gribls: %s: record %d at octet %ld is truncated (%zu octets expected)\n", name,
                    nrec + 1, position, size);
            status = 1;
            break;
        }
        ++nrec;
        if (listing)
            listing(nrec, position, (long)length, buffer);
        else
            gribPrintALL(nrec, position - end, position, (long)length, buffer);
        end = position + (long)length;
    }
    if (status == 0) {
        /* A marker whose record could not be sized ends the walk early. */
        unsigned char probe[8];
        size_t length = sizeof probe;
        if (gribRead(fd, probe, &length) != -1) {
            fprintf(stderr, "gribls: %s: the record after octet %ld could not be sized\n", name, end);
            status = 1;
        } else if (nrec == 0) {
            fprintf(stderr, "gribls: %s: no GRIB record found\n", name);
            status = 1;
        }
    }
    free(buffer);
    gribClose(fd);
    return status;
}
