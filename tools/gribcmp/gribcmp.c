/* gribcmp: compare two GRIB files record by record, through the decoder.
 *
 * Records match when sections 0 to 3 are the same octet for octet (the
 * indicator apart from its record length), their data-section headers agree
 * and every decoded value is the same bit for bit. A record and its szip form
 * written by recpack therefore match, so a packed archive can be proved to
 * hold the data of the original without unpacking it. Records the decoder
 * does not read (edition 2, unsupported packing) are compared octet for
 * octet, apart from the unused-bit count of an edition 0 or 1 data section,
 * which restoring a compressed section may change without changing a value.
 * GRIB2 messages are compared field by field: sections 0 to 4 and 6 octet
 * for octet (their lengths apart), from section 5 the number of values, R,
 * E, D and the bits per value (not the template), and every value bit for
 * bit, so that two packings of the same integers (simple and CCSDS, say)
 * compare identical.
 * Records are taken from their markers, so padding between records is
 * ignored.
 * Exit status: 0 identical, 1 a difference, 2 bad arguments, an input that
 * cannot be read, a damaged record or a file without records (as cmp). */
#include "../common/gribtool.h"

static const char usage[] =
    "usage: gribcmp file1.grb file2.grb\n"
    "Compares two GRIB files record by record. Edition 0 and 1 records are\n"
    "decoded, szip-packed ones too: they match when sections 0 to 3 are the\n"
    "same octet for octet (apart from the record length), the data-section\n"
    "headers agree (packing, binary scale factor, reference value, bits per\n"
    "value) and every value is the same bit for bit, so a file and its recpack\n"
    "copy compare identical. GRIB2 messages are compared field by field:\n"
    "sections 0 to 4 and 6 octet for octet (apart from their lengths), the\n"
    "number of values, R, E, D and bits per value of section 5 (not the\n"
    "packing template), and every value bit for bit. Records that cannot be\n"
    "decoded (unsupported packing) are compared octet for octet, apart from\n"
    "the unused-bit count of the data section. Padding between records is\n"
    "not compared.\n"
    "The first difference of each record is shown.\n"
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

/* Compares the current records octet for octet; prints the difference. */
static int sameOctets(Input *a, Input *b, long nrec)
{
    size_t flag = bdsFlagOffset(a);
    if (flag != bdsFlagOffset(b)) flag = 0;
    size_t at = firstDifference(a, b, flag);
    if (a->length == b->length && at == a->length) return 1;
    printf("DIFFERENT: record %ld: lengths %zu and %zu, first difference at octet %zu\n", nrec, a->length,
           b->length, at + 1);
    return 0;
}

/* A record framed by its sections, for the comparison through the decoder. */
typedef struct {
    unsigned char *pds, *gds, *bms, *bds;
    int status; /* the decoder's */
} Framed;

/* Where sections 1 to 4 start; 0 when the record cannot be framed (the
   locator has said why on standard error). */
static int frame(Input *in, Framed *f)
{
    long recsize;
    if (gribVersion(in->data, in->length) > 1) return 0;
    return grib1Sections(in->data, (long)in->length, &f->pds, &f->gds, &f->bms, &f->bds, &recsize) == 0;
}

/* The section that octet `at` (from 0) of a record lies in, and the octet's
   number within it (from 1). */
static const char *sectionOf(const Framed *f, const unsigned char *record, size_t at, size_t *octet)
{
    static const char *const names[] = {"section 0 (indicator)", "section 1 (PDS)", "section 2 (GDS)",
                                        "section 3 (BMS)"};
    const unsigned char *starts[4] = {record, f->pds, f->gds, f->bms};
    int in = 0;
    for (int k = 1; k < 4; ++k)
        if (starts[k] && (size_t)(starts[k] - record) <= at) in = k;
    *octet = at - (size_t)(starts[in] - record) + 1;
    return names[in];
}

/* Sections 0 to 3 octet for octet, the indicator's record length (octets
   5-7 of edition 1) apart, since it changes when the data section is packed. */
static int sameHeaders(Input *a, const Framed *fa, Input *b, const Framed *fb, long nrec)
{
    size_t na = (size_t)(fa->bds - a->data), nb = (size_t)(fb->bds - b->data);
    size_t n = na < nb ? na : nb, at = n;
    int edition1 = gribVersion(a->data, a->length) == 1;
    for (size_t i = 0; i < n; ++i) {
        if (edition1 && i >= 4 && i < 7) continue;
        if (a->data[i] != b->data[i]) {
            at = i;
            break;
        }
    }
    if (at == n && na == nb) return 1;
    size_t octet;
    const char *section = sectionOf(fa, a->data, at, &octet);
    if (at < n)
        printf("DIFFERENT: record %ld: %s octet %zu: %u and %u\n", nrec, section, octet, a->data[at], b->data[at]);
    else
        printf("DIFFERENT: record %ld: sections 0 to 3 hold %zu and %zu octets\n", nrec, na, nb);
    return 0;
}

/* Data-section octets 4 to 11 as a number, from 1: the flag (packing bits
   only: the szip flag and the unused-bit count differ between a plain and a
   packed section), the binary scale factor E (5-6), the reference value R
   (7-10) and the bits per value (11); the szip form keeps them unchanged. */
static unsigned long bdsField(const unsigned char *bds, int first, int last)
{
    unsigned long v = 0;
    for (int i = first; i <= last; ++i) v = v << 8 | bds[i - 1];
    return first == 4 ? v & 0xE0 : v;
}

static int sameDataHeaders(const Framed *fa, const Framed *fb, long nrec)
{
    static const struct {
        const char *name;
        int first, last;
    } fields[] = {{"packing flags", 4, 4},
                  {"binary scale factor E", 5, 6},
                  {"reference value R", 7, 10},
                  {"bits per value", 11, 11}};
    for (size_t k = 0; k < sizeof fields / sizeof fields[0]; ++k) {
        unsigned long x = bdsField(fa->bds, fields[k].first, fields[k].last);
        unsigned long y = bdsField(fb->bds, fields[k].first, fields[k].last);
        if (x != y) {
            printf("DIFFERENT: record %ld: data section %s (octets %d-%d): 0x%lX and 0x%lX\n", nrec,
                   fields[k].name, fields[k].first, fields[k].last, x, y);
            return 0;
        }
    }
    return 1;
}

/* Every decoded value bit for bit: a NaN or the sign of a zero counts. */
static int sameValues(const ToolValues *va, const ToolValues *vb, long nrec)
{
    if (va->count != vb->count) {
        printf("DIFFERENT: record %ld: %zu and %zu values\n", nrec, va->count, vb->count);
        return 0;
    }
    if (memcmp(va->values, vb->values, va->count * sizeof(double)) == 0) return 1;
    size_t i = 0;
    while (memcmp(&va->values[i], &vb->values[i], sizeof(double)) == 0) ++i;
    printf("DIFFERENT: record %ld: value %zu of %zu: %.17g and %.17g\n", nrec, i + 1, va->count, va->values[i],
           vb->values[i]);
    return 0;
}

/* Sections 0 to 4 and 6 of one GRIB2 field octet for octet, their length
   fields apart (the total length of section 0, each section's own). */
static int sameSections2(Input *in, const gribField *f, long nrec, int field)
{
    static const int compared[] = {0, 1, 2, 3, 4, 6};
    for (size_t c = 0; c < sizeof compared / sizeof compared[0]; ++c) {
        int k = compared[c];
        /* What each holds after its length field (section 0: its first 8 octets). */
        const unsigned char *p[2];
        size_t n[2];
        for (int s = 0; s < 2; ++s) {
            size_t skip = k == 0 ? 0 : 4;
            size_t len = k == 0 ? 8 : f[s].sectionLength[k];
            p[s] = f[s].sectionOffset[k] < 0 ? NULL : in[s].data + f[s].sectionOffset[k] + skip;
            n[s] = p[s] ? len - skip : 0;
        }
        if (n[0] != n[1] || (n[0] && memcmp(p[0], p[1], n[0]) != 0)) {
            size_t at = 0;
            while (at < n[0] && at < n[1] && p[0][at] == p[1][at]) ++at;
            printf("DIFFERENT: record %ld: field %d: section %d differs at octet %zu\n", nrec, field + 1, k,
                   at + (k == 0 ? 1 : 5));
            return 0;
        }
    }
    return 1;
}

/* The numbers of section 5 that shape the values, whatever the template. */
static int samePacking2(const gribField *f, long nrec, int field)
{
    const char *what = NULL;
    if (f[0].numberOfValues != f[1].numberOfValues) what = "number of values";
    else if (memcmp(&f[0].referenceValue, &f[1].referenceValue, sizeof(double)) != 0) what = "reference value R";
    else if (f[0].binaryScaleFactor != f[1].binaryScaleFactor) what = "binary scale factor E";
    else if (f[0].decimalScaleFactor != f[1].decimalScaleFactor) what = "decimal scale factor D";
    else if (f[0].bitsPerValue != f[1].bitsPerValue) what = "bits per value";
    if (!what) return 1;
    printf("DIFFERENT: record %ld: field %d: section 5 %s\n", nrec, field + 1, what);
    return 0;
}

/* Two GRIB2 messages field by field through the decoder: 1 the same, 0
   different, -1 out of memory, -2 a field the decoder does not read (the
   caller compares the messages octet for octet). */
static int sameMessages2(Input *in, ToolValues *v, long nrec)
{
    int count[2];
    for (int k = 0; k < 2; ++k)
        if (gribFieldCount(in[k].data, in[k].length, &count[k]) != VALMORA_DECODE_OK) return -2;
    if (count[0] != count[1]) {
        printf("DIFFERENT: record %ld: %d and %d fields\n", nrec, count[0], count[1]);
        return 0;
    }
    for (int i = 0; i < count[0]; ++i) {
        gribField f[2];
        for (int k = 0; k < 2; ++k) {
            int status = toolDecodeField(&v[k], in[k].data, in[k].length, i, &f[k], 0.0);
            if (status == VALMORA_DECODE_NO_MEMORY) {
                fprintf(stderr, "gribcmp: out of memory for the values of record %ld of %s\n", nrec, in[k].name);
                return -1;
            }
            if (status != VALMORA_DECODE_OK) return -2;
        }
        if (!sameSections2(in, f, nrec, i) || !samePacking2(f, nrec, i) || !sameValues(&v[0], &v[1], nrec))
            return 0;
    }
    return 1;
}

/* Compares the current records of both inputs; prints the first difference.
   Returns 1 the same, 0 different, -1 when memory for the values ran out
   (reported). Records the decoder reads are compared through it; the others
   (edition 2, unsupported packing) octet for octet. A record that one side
   finds damaged (an szip stream that fails its check, say) differs unless
   both records are the same octets. */
static int compareRecords(Input *in, ToolValues *v, long nrec);

/* A record in the packed form with a whole-record check is compared as the
   record it restores to (its own octets when it does not restore). */
static int sameRecords(Input *in, ToolValues *v, long nrec)
{
    unsigned char *kept[2] = {NULL, NULL}, *plain[2] = {NULL, NULL};
    size_t keptLength[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        size_t length = 0;
        int code = gribVersion(in[k].data, in[k].length) == 1 ? gribGetZip((long)in[k].length, in[k].data, &length) : 0;
        if (code == VALMORA_ZIP_SZIP || code <= 0 || length == 0) continue;
        size_t room = gribPaddedLength(length) + 120;
        plain[k] = malloc(room);
        int restored = 0;
        int n = plain[k] ? recUnpackRecord(in[k].data, in[k].length, plain[k], room, 0, &restored) : 0;
        if (restored != 1 || n <= 0) continue;
        kept[k] = in[k].data;
        keptLength[k] = in[k].length;
        in[k].data = plain[k];
        in[k].length = length;
    }
    int same = compareRecords(in, v, nrec);
    for (int k = 0; k < 2; ++k) {
        if (kept[k]) {
            in[k].data = kept[k];
            in[k].length = keptLength[k];
        }
        free(plain[k]);
    }
    return same;
}

static int compareRecords(Input *in, ToolValues *v, long nrec)
{
    Framed f[2];
    memset(f, 0, sizeof f);
    if (gribVersion(in[0].data, in[0].length) == 2 && gribVersion(in[1].data, in[1].length) == 2) {
        int same = sameMessages2(in, v, nrec);
        return same == -2 ? sameOctets(&in[0], &in[1], nrec) : same;
    }
    for (int k = 0; k < 2; ++k) {
        if (!frame(&in[k], &f[k])) return sameOctets(&in[0], &in[1], nrec);
        f[k].status = toolDecode(&v[k], in[k].data, in[k].length, 0.0);
    }
    if (toolDecoded(f[0].status) && toolDecoded(f[1].status))
        return sameHeaders(&in[0], &f[0], &in[1], &f[1], nrec) && sameDataHeaders(&f[0], &f[1], nrec) &&
               sameValues(&v[0], &v[1], nrec);
    for (int k = 0; k < 2; ++k) {
        if (f[k].status == VALMORA_DECODE_NO_ROOM) {
            fprintf(stderr, "gribcmp: out of memory for the values of record %ld of %s\n", nrec, in[k].name);
            return -1;
        }
    }
    for (int k = 0; k < 2; ++k) {
        if (!toolDecodeDamaged(f[k].status)) continue;
        if (in[0].length == in[1].length && firstDifference(&in[0], &in[1], 0) == in[0].length) return 1;
        printf("DIFFERENT: record %ld: the record of %s cannot be decoded: %s\n", nrec, in[k].name,
               toolDecodeReason(f[k].status));
        return 0;
    }
    return sameOctets(&in[0], &in[1], nrec);
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

    ToolValues values[2];
    memset(values, 0, sizeof values);
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
        int same = sameRecords(in, values, records);
        if (same < 0) {
            status = 2;
            break;
        }
        if (!same) status = 1;
    }
    if (status == 0) printf("IDENTICAL: %ld records, every data section the same\n", records);
    for (int i = 0; i < 2; ++i) {
        toolValuesFree(&values[i]);
        toolClose(&in[i]);
    }
    return status;
}
