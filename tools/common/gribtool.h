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

/* The values of one record through the decoder, in a buffer that grows as
   the records ask. The grid description is not decoded: the tools compare
   and list the GDS as octets. */
typedef struct {
    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec3[VALMORA_ISEC3_SIZE], isec4[VALMORA_ISEC4_SIZE];
    double fsec3[VALMORA_FSEC3_SIZE];
    double *values;
    size_t capacity;
    size_t count; /* values decoded by the last successful call */
} ToolValues;

/* Why a record's values could not be decoded, for the tools' messages. */
static inline const char *toolDecodeReason(int status)
{
    switch (status) {
    case VALMORA_DECODE_NOT_GRIB1: return "not a GRIB edition 0 or 1 record";
    case VALMORA_DECODE_DAMAGED: return "damaged record";
    case VALMORA_DECODE_TRUNCATED: return "record cut short";
    case VALMORA_DECODE_UNSUPPORTED: return "unsupported packing";
    case VALMORA_DECODE_NO_ROOM: return "out of memory for the values";
    case VALMORA_DECODE_SZIP_FAILED: return "szip data cannot be decompressed";
    case VALMORA_DECODE_CHECK_MISMATCH: return "szip data fail their check";
    default: return "cannot be decoded";
    }
}

/* Whether a decoder status left every value in v->values. */
static inline int toolDecoded(int status)
{
    return status == VALMORA_DECODE_OK || status == VALMORA_DECODE_GRID_NOT_DECODED;
}

/* Whether a decoder status means the record itself is broken, rather than
   written in a form the decoder does not read. */
static inline int toolDecodeDamaged(int status)
{
    return status == VALMORA_DECODE_DAMAGED || status == VALMORA_DECODE_TRUNCATED ||
           status == VALMORA_DECODE_SZIP_FAILED || status == VALMORA_DECODE_CHECK_MISMATCH;
}

/* Decodes the values of a record, plain or szip-packed; points missing in
   the bit map get `missing`. Returns the decoder's status, or
   VALMORA_DECODE_NO_ROOM when memory for the values ran out. */
static inline int toolDecode(ToolValues *v, const unsigned char *record, size_t length, double missing)
{
    size_t points = 0;
    v->count = 0;
    v->fsec3[1] = missing;
    int status = grib_decode_double(record, length, v->isec0, v->isec1, NULL, NULL, NULL, NULL, v->isec3, v->fsec3,
                                    v->isec4, NULL, &points);
    if (!toolDecoded(status)) return status;
    if (points == 0) points = 1; /* the decoder wants a buffer even for no values */
    if (points > v->capacity) {
        double *grown = (double *)realloc(v->values, points * sizeof *grown);
        if (!grown) return VALMORA_DECODE_NO_ROOM;
        v->values = grown;
        v->capacity = points;
    }
    points = v->capacity;
    status = grib_decode_double(record, length, v->isec0, v->isec1, NULL, NULL, NULL, NULL, v->isec3, v->fsec3,
                                v->isec4, v->values, &points);
    if (toolDecoded(status)) v->count = points;
    return status;
}

static inline void toolValuesFree(ToolValues *v)
{
    free(v->values);
    v->values = NULL;
    v->capacity = v->count = 0;
}

#endif /* VALMORA_GRIBTOOL_H */
