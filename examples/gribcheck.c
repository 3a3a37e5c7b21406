/* gribcheck: report the records of a GRIB file whose 24-bit data are not
   szip-compressed (data that may have been left in byte-plane order), or,
   with -r, join their byte planes back and write every record to a copy.

   usage: gribcheck [-r repaired.grb] file.grb */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <valmora.h>

static void usage(void)
{
    fprintf(stderr, "usage: gribcheck [-r repaired.grb] file.grb\n");
}

static int openInput(const char *name)
{
    struct stat st;
    if (stat(name, &st) != 0) {
        fprintf(stderr, "gribcheck: cannot open %s: %s\n", name, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "gribcheck: %s is not a regular file\n", name);
        return -1;
    }
    int fd = gribOpen(name, "r");
    if (fd < 0) fprintf(stderr, "gribcheck: cannot open %s: %s\n", name, errno ? strerror(errno) : "unreadable");
    return fd;
}

int main(int argc, char **argv)
{
    const char *outname = NULL, *name;
    if (argc == 4 && strcmp(argv[1], "-r") == 0) {
        outname = argv[2];
        name = argv[3];
    } else if (argc == 2 && argv[1][0] != '-') {
        name = argv[1];
    } else {
        usage();
        return 2;
    }
    if (outname && strcmp(outname, name) == 0) {
        fprintf(stderr, "gribcheck: the repaired copy must not overwrite %s\n", name);
        return 2;
    }
    int fd = openInput(name);
    if (fd < 0) return 1;
    int out = -1;
    if (outname && (out = gribOpen(outname, "w")) < 0) {
        fprintf(stderr, "gribcheck: cannot create %s: %s\n", outname, errno ? strerror(errno) : "failed");
        gribClose(fd);
        return 1;
    }

    unsigned char *buffer = NULL;
    size_t capacity = 0, size;
    int nrec = 0, status = 0;
    while ((size = gribGetSize(fd)) > 0) {
        long position = (long)gribGetPos(fd);
        if (size > capacity) {
            unsigned char *grown = realloc(buffer, size);
            if (!grown) {
                fprintf(stderr, "gribcheck: out of memory for a record of %zu octets\n", size);
                status = 1;
                break;
            }
            buffer = grown;
            capacity = size;
        }
        size_t length = capacity;
        if (gribRead(fd, buffer, &length) != 0) {
            fprintf(stderr, "gribcheck: %s: record %d at octet %ld is truncated (%zu octets expected)\n", name,
                    nrec + 1, position, size);
            status = 1;
            break;
        }
        ++nrec;
        if (out < 0) {
            gribCheck1(nrec, position, (long)length, buffer);
            continue;
        }
        gribRepair1(nrec, (long)length, buffer);
        if (gribWrite(out, buffer, length) != (int)length) {
            fprintf(stderr, "gribcheck: cannot write record %d to %s\n", nrec, outname);
            status = 1;
            break;
        }
    }
    if (status == 0) {
        unsigned char probe[8];
        size_t length = sizeof probe;
        if (gribRead(fd, probe, &length) != -1) {
            fprintf(stderr, "gribcheck: %s: the record after record %d could not be sized\n", name, nrec);
            status = 1;
        } else if (nrec == 0) {
            fprintf(stderr, "gribcheck: %s: no GRIB record found\n", name);
            status = 1;
        }
    }
    free(buffer);
    gribClose(fd);
    if (out >= 0 && gribClose(out) != 0) {
        fprintf(stderr, "gribcheck: cannot complete %s\n", outname);
        status = 1;
    }
    return status;
}
