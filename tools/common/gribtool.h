/* Pieces shared by the record tools (gribls, gribcheck, gribcmp, ...): the
   options every tool answers, opening an input with a clear message, and
   reading its records one by one into a buffer that grows as needed. */
#ifndef VALMORA_GRIBTOOL_H
#define VALMORA_GRIBTOOL_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <valmora.h>

/* Exit status for bad arguments, as cmp and diff use it. */
#define TOOL_USAGE 2

/* -h/--help print the usage on standard output and end with 0; --version
   prints the library version. Returns 1 when the argument was one of them
   and *status was set; 0 otherwise. */
static inline int toolCommonOption(const char *arg, const char *prog, const char *usage, int *status)
{
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
        fputs(usage, stdout);
        *status = 0;
        return 1;
    }
    if (strcmp(arg, "--version") == 0) {
        printf("%s (libvalmora) %s\n", prog, gribLibraryVersion());
        *status = 0;
        return 1;
    }
    return 0;
}

/* Bad arguments: the reason (when given) and the usage on standard error. */
static inline int toolBadUsage(const char *prog, const char *usage, const char *why, const char *what)
{
    if (why) fprintf(stderr, "%s: %s%s%s\n", prog, why, what ? " " : "", what ? what : "");
    fputs(usage, stderr);
    return TOOL_USAGE;
}

typedef struct {
    const char *prog;     /* the tool, for messages */
    const char *name;     /* the file */
    int fd;               /* its file ID, -1 when not open */
    unsigned char *data;  /* the current record */
    size_t capacity;
    size_t length;        /* octets of the current record */
    long long position;   /* file offset of the current record's "GRIB" */
    long long end;        /* file offset after the last record read whole */
    int records;          /* records read so far */
    int damaged;          /* records that could not be sized or read whole */
} ToolInput;

/* Opens a regular file for reading, or says why not on standard error.
   0 open, -1 not. */
static inline int toolOpen(ToolInput *in, const char *prog, const char *name)
{
    struct stat st;
    memset(in, 0, sizeof *in);
    in->prog = prog;
    in->name = name;
    in->fd = -1;
    if (stat(name, &st) != 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", prog, name, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: %s is not a regular file\n", prog, name);
        return -1;
    }
    errno = 0;
    in->fd = gribOpen(name, "r");
    if (in->fd < 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", prog, name, errno ? strerror(errno) : "unreadable");
        return -1;
    }
    return 0;
}

/* A read error of the system: reported, and the walk ends. */
static inline int toolReadError(ToolInput *in)
{
    fprintf(stderr, "%s: %s: read error: %s\n", in->prog, in->name, strerror(gribFileError(in->fd)));
    return -2;
}

/* Reads the next record into in->data. Returns 1 for a record read whole,
   0 at the end of the file, -1 for a record that could not be sized or
   read (reported on standard error; the walk may go on: the next call
   searches after its marker), -2 when memory ran out or the file could not
   be read (reported). */
static inline int toolNext(ToolInput *in)
{
    size_t size = gribGetSize(in->fd);
    in->position = (long long)gribGetPos(in->fd);
    if (gribFileError(in->fd)) return toolReadError(in);
    if (size == 0) {
        /* End of file, or a marker whose record cannot be sized: a read with
           no room tells them apart and steps over the marker of the latter. */
        size_t none = 0;
        if (gribRead(in->fd, in->data, &none) != 1 || none != 0)
            return gribFileError(in->fd) ? toolReadError(in) : 0;
        ++in->damaged;
        fprintf(stderr, "%s: %s: the record at octet %lld cannot be sized\n", in->prog, in->name, in->position);
        return -1;
    }
    if (size > in->capacity) {
        unsigned char *grown = (unsigned char *)realloc(in->data, size);
        if (!grown) {
            fprintf(stderr, "%s: out of memory for a record of %zu octets\n", in->prog, size);
            return -2;
        }
        in->data = grown;
        in->capacity = size;
    }
    in->length = in->capacity;
    if (gribRead(in->fd, in->data, &in->length) != 0) {
        if (gribFileError(in->fd)) return toolReadError(in);
        ++in->damaged;
        fprintf(stderr, "%s: %s: record %d at octet %lld is truncated (%zu octets expected)\n", in->prog, in->name,
                in->records + 1, in->position, size);
        return -1;
    }
    ++in->records;
    in->end = in->position + (long long)in->length;
    return 1;
}

/* Reports a file without a single record. Returns 1 when it had none. */
static inline int toolNoRecords(const ToolInput *in)
{
    if (in->records > 0 || in->damaged > 0) return 0;
    fprintf(stderr, "%s: %s: no GRIB record found\n", in->prog, in->name);
    return 1;
}

static inline void toolClose(ToolInput *in)
{
    if (in->fd >= 0) gribClose(in->fd);
    free(in->data);
    in->fd = -1;
    in->data = NULL;
}

#endif /* VALMORA_GRIBTOOL_H */
