/* Pieces shared by the record tools (gribls, gribcheck, gribcmp, gribdump):
   the options every tool answers, opening an input with a clear message,
   and reading its records one by one into a buffer that grows as needed.
   Compiled once (gribtool.c) and linked into every tool. */
#ifndef VALMORA_GRIBTOOL_H
#define VALMORA_GRIBTOOL_H

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <valmora.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exit status for bad arguments, as cmp and diff use it. */
#define TOOL_USAGE 2

/* -h/--help print the usage on standard output and end with 0; --version
   prints the library version. Returns 1 when the argument was one of them
   and *status was set; 0 otherwise. */
int toolCommonOption(const char *arg, const char *prog, const char *usage, int *status);

/* Bad arguments: the reason (when given) and the usage on standard error. */
int toolBadUsage(const char *prog, const char *usage, const char *why, const char *what);

typedef struct {
    const char *prog;     /* the tool, for messages */
    const char *name;     /* the file */
    int fd;               /* the open file, -1 when not open */
    unsigned char *data;  /* the current record */
    size_t capacity;
    size_t length;        /* octets of the current record */
    long long position;   /* file offset of the current record's "GRIB" */
    long long end;        /* file offset after the last record read whole */
    int records;          /* records read so far */
    int damaged;          /* records that could not be sized or read whole */
    /* The octets read ahead, searched for the next record. */
    unsigned char *ahead;
    size_t aheadCapacity, aheadLength, aheadPos;
    long long aheadBase;  /* file offset of ahead[0] */
    int eof;
} ToolInput;

/* Opens a regular file for reading, or says why not on standard error.
   0 open, -1 not. */
int toolOpen(ToolInput *in, const char *prog, const char *name);

/* Reads the next record into in->data. Records are found as recpack finds
   them: the search for a marker has no window, however many octets hold
   none. Returns 1 for a record read whole, 0 at the end of the file, -1 for
   a record that could not be sized or read (reported on standard error;
   the walk may go on: the next call searches after its marker), -2 when
   memory ran out or the file could not be read (reported). */
int toolNext(ToolInput *in);

/* Reports a file without a single record. Returns 1 when it had none. */
int toolNoRecords(const ToolInput *in);

void toolClose(ToolInput *in);

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
const char *toolDecodeReason(int status);

/* Whether a decoder status left every value in v->values. */
int toolDecoded(int status);

/* Whether a decoder status means the record itself is broken, rather than
   written in a form the decoder does not read. */
int toolDecodeDamaged(int status);

/* Decodes the values of a record, plain or szip-packed; points missing in
   the bit map get `missing`. Returns the decoder's status, or
   VALMORA_DECODE_NO_ROOM when memory for the values ran out. */
int toolDecode(ToolValues *v, const unsigned char *record, size_t length, double missing);

/* The keys (into *field) and values of field `index` of a record of either
   edition through the field decoder; missing points get `missing`. Returns
   the decoder's status, or VALMORA_DECODE_NO_MEMORY when memory for the
   values ran out. */
int toolDecodeField(ToolValues *v, const unsigned char *record, size_t length, int index, gribField *field,
                    double missing);

/* A field's parameter, level, time, grid and packing in a few words, for
   the listings of GRIB2 fields. */
void toolFieldSummary(const gribField *f, char *text, size_t size);

void toolValuesFree(ToolValues *v);

#ifdef __cplusplus
}
#endif

#endif /* VALMORA_GRIBTOOL_H */
