/* gribcheck: find the 24-bit records of a GRIB file whose data were left in
   byte planes (the order the szip coder compresses them in) and, with -r,
   write a copy of the file with those records joined back.

   The library's gribPlanes1 decides from the data's own statistics; records
   it finds whole, cannot decide on, or does not test are never changed. The
   copy carries every other octet as read, the octets between records and
   damaged records included.

   usage: gribcheck [-r repaired.grb [-f]] file.grb */
#include "../common/gribtool.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

static const char usage[] =
    "usage: gribcheck [-r repaired.grb [-f]] file.grb\n"
    "Reports the uncompressed 24-bit grid-point records of file.grb whose data\n"
    "were left in byte planes, with one \"GRIB record\" line each, and the\n"
    "records it cannot decide on with a line starting \"undecided:\".\n"
    "  -r OUT       also write a copy of file.grb to OUT in which only the\n"
    "               records in planes are repaired; every other octet is\n"
    "               copied as read\n"
    "  -f           let -r replace an existing OUT\n"
    "  -h, --help   this text\n"
    "  --version    the library version\n"
    "Exit status: 0 no record in planes, 1 some records in planes, 2 bad\n"
    "arguments, an input that cannot be read or a damaged record.\n";

#define COPY_CHUNK 65536 /* octets copied between records per read */

typedef struct {
    const char *name; /* NULL: no copy */
    char *temp;       /* the copy until it is complete, beside name */
    FILE *out;
    FILE *raw;        /* the input again, for the octets between records */
    long long done;   /* input octets accounted for in the copy */
    int failed;
} Copy;

/* Opens the copy under a temporary name beside its own, so that a copy
   that cannot be completed never takes the place of a file. Refuses the
   input itself, and an existing file without -f. */
static int openCopy(Copy *c, const char *input, int force)
{
    struct stat si, so;
    if (stat(c->name, &so) == 0) {
        if (stat(input, &si) == 0 && si.st_dev == so.st_dev && si.st_ino == so.st_ino) {
            fprintf(stderr, "gribcheck: the repaired copy must not overwrite %s\n", input);
            return -1;
        }
        if (!force) {
            fprintf(stderr, "gribcheck: %s exists; give -f to replace it\n", c->name);
            return -1;
        }
    }
    size_t len = strlen(c->name);
    c->temp = (char *)malloc(len + 8);
    if (!c->temp) {
        fprintf(stderr, "gribcheck: out of memory\n");
        return -1;
    }
    memcpy(c->temp, c->name, len);
    memcpy(c->temp + len, ".XXXXXX", 8);
    int fd = mkstemp(c->temp);
    if (fd < 0) {
        fprintf(stderr, "gribcheck: cannot create %s: %s\n", c->name, strerror(errno));
        free(c->temp);
        c->temp = NULL;
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || !(c->out = fdopen(fd, "wb"))) {
        fprintf(stderr, "gribcheck: cannot create %s: %s\n", c->name, strerror(errno));
        close(fd);
        return -1;
    }
    if (!(c->raw = fopen(input, "rb"))) {
        fprintf(stderr, "gribcheck: cannot open %s: %s\n", input, strerror(errno));
        return -1;
    }
    return 0;
}

/* Drops an incomplete copy. */
static void dropCopy(Copy *c)
{
    if (c->out) fclose(c->out);
    if (c->raw) fclose(c->raw);
    if (c->temp) remove(c->temp);
    free(c->temp);
    c->out = c->raw = NULL;
    c->temp = NULL;
}

/* Copies the input's octets up to offset `to` as they stand. */
static void copyRaw(Copy *c, long long to)
{
    static unsigned char chunk[COPY_CHUNK];
    while (!c->failed && c->done < to) {
        size_t want = to - c->done < COPY_CHUNK ? (size_t)(to - c->done) : COPY_CHUNK;
        size_t got = fread(chunk, 1, want, c->raw);
        if (got == 0 || fwrite(chunk, 1, got, c->out) != got) c->failed = 1;
        c->done += (long long)got;
    }
}

/* Up to the record's start as read, then the record from the buffer. */
static void copyRecord(Copy *c, const ToolInput *in)
{
    copyRaw(c, in->position);
    if (c->failed) return;
    if (fwrite(in->data, 1, in->length, c->out) != in->length || fseeko(c->raw, (off_t)in->end, SEEK_SET) != 0)
        c->failed = 1;
    c->done = in->end;
}

/* Gives the complete copy its name unless a file of that name has
   appeared meanwhile; where hard links are not to be had, after a look. */
static int linkNew(const char *temp, const char *name)
{
    struct stat st;
    if (link(temp, name) == 0) return 1;
    if (errno == EEXIST || stat(name, &st) == 0) {
        errno = EEXIST;
        return 0;
    }
    return rename(temp, name) == 0 ? 2 : 0;
}

/* Everything after the last record; then the copy takes its name (without
   -f only while no file of that name has appeared). 0 complete. */
static int finishCopy(Copy *c, int force)
{
    static unsigned char chunk[COPY_CHUNK];
    size_t got;
    while (!c->failed && (got = fread(chunk, 1, sizeof chunk, c->raw)) > 0)
        if (fwrite(chunk, 1, got, c->out) != got) c->failed = 1;
    if (ferror(c->raw)) c->failed = 1;
    if (fclose(c->out) != 0) c->failed = 1;
    c->out = NULL;
    if (c->failed) {
        fprintf(stderr, "gribcheck: cannot write %s: %s\n", c->name, strerror(errno));
    } else if (force ? rename(c->temp, c->name) != 0 : !linkNew(c->temp, c->name)) {
        fprintf(stderr, "gribcheck: cannot create %s: %s\n", c->name, strerror(errno));
        c->failed = 1;
    }
    int failed = c->failed;
    if (!failed) {
        struct stat st;
        if (stat(c->temp, &st) == 0) remove(c->temp); /* linked: the name holds the copy */
        free(c->temp);
        c->temp = NULL;
    }
    dropCopy(c);
    return failed ? -1 : 0;
}

int main(int argc, char **argv)
{
    const char *name = NULL;
    Copy copy = {NULL, NULL, NULL, NULL, 0, 0};
    int force = 0, status = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (toolCommonOption(arg, "gribcheck", usage, &status)) return status;
        if (strcmp(arg, "-r") == 0) {
            if (++i == argc) return toolBadUsage("gribcheck", usage, "-r needs a file name", NULL);
            copy.name = argv[i];
        } else if (strcmp(arg, "-f") == 0) {
            force = 1;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return toolBadUsage("gribcheck", usage, "unknown option", arg);
        } else if (name) {
            return toolBadUsage("gribcheck", usage, "one file only", NULL);
        } else {
            name = arg;
        }
    }
    if (!name) return toolBadUsage("gribcheck", usage, NULL, NULL);
    if (force && !copy.name) return toolBadUsage("gribcheck", usage, "-f goes with -r", NULL);

    ToolInput in;
    if (toolOpen(&in, "gribcheck", name) != 0) return 2;
    if (copy.name && openCopy(&copy, name, force) != 0) {
        dropCopy(&copy);
        toolClose(&in);
        return 2;
    }

    int split = 0, trouble = 0, got;
    while ((got = toolNext(&in)) != 0) {
        if (got == -2) {
            trouble = 1;
            break;
        }
        if (got < 0) continue; /* reported; its octets are carried as read */
        double ratio = 0;
        int verdict = gribPlanes1(in.data, (long)in.length, &ratio);
        switch (verdict) {
        case GRIB_PLANES_SPLIT:
            ++split;
            if (copy.name)
                gribRepair1(in.records, (long)in.length, in.data);
            else
                gribCheck1(in.records, (long)in.position, (long)in.length, in.data);
            break;
        case GRIB_PLANES_UNDECIDED:
            printf("undecided: record %d at octet %lld: T_planes/T_whole = %.3f\n", in.records, in.position, ratio);
            break;
        case GRIB_PLANES_DAMAGED:
            fprintf(stderr, "gribcheck: %s: record %d at octet %lld is damaged and was not checked\n", name,
                    in.records, in.position);
            ++in.damaged;
            break;
        case GRIB_PLANES_FAILED:
            fprintf(stderr, "gribcheck: %s: record %d at octet %lld could not be checked (no memory, or the szip coder failed)\n", name,
                    in.records, in.position);
            trouble = 1;
            break;
        default:
            break;
        }
        if (copy.name) copyRecord(&copy, &in);
    }
    if (in.damaged > 0 || toolNoRecords(&in)) trouble = 1;
    toolClose(&in);

    if (copy.name) {
        if (trouble && in.records == 0)
            dropCopy(&copy); /* nothing that could be checked: no copy */
        else if (finishCopy(&copy, force) != 0)
            trouble = 1;
    }
    fflush(stdout);
    if (trouble) return 2;
    return split > 0 ? 1 : 0;
}
