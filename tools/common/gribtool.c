/* The record tools' shared pieces (see gribtool.h). */
#include "gribtool.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Octets asked of read(2) at a time while searching: few calls, little memory. */
#define TOOL_READ_CHUNK (1u << 20)
#define TOOL_MARKER_LENGTH 4 /* "GRIB" */

int toolCommonOption(const char *arg, const char *prog, const char *usage, int *status)
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

int toolBadUsage(const char *prog, const char *usage, const char *why, const char *what)
{
    if (why) fprintf(stderr, "%s: %s%s%s\n", prog, why, what ? " " : "", what ? what : "");
    fputs(usage, stderr);
    return TOOL_USAGE;
}

int toolOpen(ToolInput *in, const char *prog, const char *name)
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
    in->fd = open(name, O_RDONLY);
    if (in->fd < 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", prog, name, strerror(errno));
        return -1;
    }
    return 0;
}

static int readError(ToolInput *in, int error)
{
    fprintf(stderr, "%s: %s: read error: %s\n", in->prog, in->name, strerror(error));
    return -2;
}

/* Holds at least `need` octets from aheadPos, or all up to the end of the
   file. 0, or -2 when reading failed or memory ran out (reported). */
static int holdAhead(ToolInput *in, size_t need)
{
    while (!in->eof && in->aheadLength - in->aheadPos < need) {
        if (in->aheadPos > 0) {
            memmove(in->ahead, in->ahead + in->aheadPos, in->aheadLength - in->aheadPos);
            in->aheadLength -= in->aheadPos;
            in->aheadBase += (long long)in->aheadPos;
            in->aheadPos = 0;
        }
        size_t want = (need > in->aheadLength ? need - in->aheadLength : 0) + TOOL_READ_CHUNK;
        if (in->aheadCapacity - in->aheadLength < want) {
            unsigned char *grown = (unsigned char *)realloc(in->ahead, in->aheadLength + want);
            if (!grown) {
                fprintf(stderr, "%s: out of memory for a record of %zu octets\n", in->prog, need);
                return -2;
            }
            in->ahead = grown;
            in->aheadCapacity = in->aheadLength + want;
        }
        ssize_t got = read(in->fd, in->ahead + in->aheadLength, in->aheadCapacity - in->aheadLength);
        if (got < 0) {
            if (errno == EINTR) continue;
            return readError(in, errno);
        }
        if (got == 0) in->eof = 1;
        in->aheadLength += (size_t)got;
    }
    return 0;
}

int toolNext(ToolInput *in)
{
    for (;;) {
        size_t off = 0, need = 0, held = in->aheadLength - in->aheadPos;
        int s = gribFindRecord(in->ahead + in->aheadPos, held, &off, &need);
        if (s == VALMORA_FIND_NONE) {
            in->aheadPos += off; /* nothing before off can start a record */
            if (in->eof) return 0;
            if (holdAhead(in, in->aheadLength - in->aheadPos + 1) != 0) return -2;
            continue;
        }
        in->aheadPos += off;
        in->position = in->aheadBase + (long long)in->aheadPos;
        if (s == VALMORA_FIND_MORE) {
            if (!in->eof) {
                if (holdAhead(in, need) != 0) return -2;
                continue;
            }
            /* The file ends inside the record: what is left of it is passed over. */
            ++in->damaged;
            fprintf(stderr, "%s: %s: record %d at octet %lld is truncated (%zu octets expected)\n", in->prog,
                    in->name, in->records + 1, in->position, need);
            in->aheadPos = in->aheadLength;
            return -1;
        }
        if (s == VALMORA_FIND_NOT_RECORD && need == 0) {
            ++in->damaged;
            fprintf(stderr, "%s: %s: the record at octet %lld cannot be sized\n", in->prog, in->name, in->position);
            in->aheadPos += TOOL_MARKER_LENGTH;
            return -1;
        }
        /* A whole record, or one whose lengths frame it though its end
           section is not where they say: the tool's checks tell. */
        if (need > in->capacity) {
            unsigned char *grown = (unsigned char *)realloc(in->data, need);
            if (!grown) {
                fprintf(stderr, "%s: out of memory for a record of %zu octets\n", in->prog, need);
                return -2;
            }
            in->data = grown;
            in->capacity = need;
        }
        memcpy(in->data, in->ahead + in->aheadPos, need);
        in->length = need;
        in->aheadPos += need;
        ++in->records;
        in->end = in->position + (long long)in->length;
        return 1;
    }
}

int toolNoRecords(const ToolInput *in)
{
    if (in->records > 0 || in->damaged > 0) return 0;
    fprintf(stderr, "%s: %s: no GRIB record found\n", in->prog, in->name);
    return 1;
}

void toolClose(ToolInput *in)
{
    if (in->fd >= 0) close(in->fd);
    free(in->data);
    free(in->ahead);
    in->fd = -1;
    in->data = NULL;
    in->ahead = NULL;
}

const char *toolDecodeReason(int status) { return valmoraStatusText(VALMORA_STATUS_DECODE, status); }

int toolDecoded(int status) { return status == VALMORA_DECODE_OK || status == VALMORA_DECODE_GRID_NOT_DECODED; }

int toolDecodeDamaged(int status)
{
    return status == VALMORA_DECODE_DAMAGED || status == VALMORA_DECODE_TRUNCATED ||
           status == VALMORA_DECODE_SZIP_FAILED || status == VALMORA_DECODE_CHECK_MISMATCH;
}

int toolDecode(ToolValues *v, const unsigned char *record, size_t length, double missing)
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

void toolValuesFree(ToolValues *v)
{
    free(v->values);
    v->values = NULL;
    v->capacity = v->count = 0;
}

int toolDecodeField(ToolValues *v, const unsigned char *record, size_t length, int index, gribField *field,
                    double missing)
{
    size_t points = 0;
    v->count = 0;
    int status = grib_field_decode_double(record, length, index, field, NULL, &points, missing);
    if (status != VALMORA_DECODE_OK) return status;
    if (points == 0) points = 1;
    if (points > v->capacity) {
        double *grown = (double *)realloc(v->values, points * sizeof *grown);
        if (!grown) return VALMORA_DECODE_NO_MEMORY;
        v->values = grown;
        v->capacity = points;
    }
    points = v->capacity;
    status = grib_field_decode_double(record, length, index, field, v->values, &points, missing);
    if (status == VALMORA_DECODE_OK) v->count = points;
    return status;
}

/* Units of code table 4.4 that have a short name. */
static const char *timeUnit(int unit)
{
    switch (unit) {
    case 0: return "min";
    case 1: return "h";
    case 2: return "d";
    case 10: return "x3h";
    case 11: return "x6h";
    case 12: return "x12h";
    case 13: return "s";
    default: return "(unit ?)";
    }
}

void toolFieldSummary(const gribField *f, char *text, size_t size)
{
    char level[48] = "-";
    if (f->typeOfFirstFixedSurface != VALMORA_FIELD_MISSING && f->typeOfFirstFixedSurface != 255) {
        if (f->scaledValueOfFirstFixedSurface == VALMORA_FIELD_MISSING)
            snprintf(level, sizeof level, "%d", f->typeOfFirstFixedSurface);
        else
            snprintf(level, sizeof level, "%d:%.10g", f->typeOfFirstFixedSurface,
                     (double)f->scaledValueOfFirstFixedSurface *
                         pow(10.0, f->scaleFactorOfFirstFixedSurface == VALMORA_FIELD_MISSING
                                       ? 0.0
                                       : -(double)f->scaleFactorOfFirstFixedSurface));
    }
    snprintf(text, size, "parameter %d.%d.%d  level %s  time +%lld %s  grid 3.%d  packing 5.%d", f->discipline,
             f->parameterCategory, f->parameterNumber, level, (long long)f->forecastTime,
             timeUnit(f->indicatorOfUnitOfTimeRange), f->gridDefinitionTemplateNumber,
             f->dataRepresentationTemplateNumber);
}
