// recpack / recunpack: copy every GRIB record of a file, szip-compressing
// (recpack) or restoring (recunpack) the data section of edition 1 records.
//
// One executable, two names. Every record that can be read is written; a
// record that can't be carried over is reported with its file offset and
// makes the run end with exit status 1, so a script never takes a partial
// copy for a complete one.
#include <valmora.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

constexpr size_t recordRoom = 1000;     // room kept beyond each record
constexpr size_t unpackRoom = 100;      // room beyond a restored record
constexpr size_t largeLength = 0x7FFFFF; // longer records pad to 120 octets
constexpr long long searchLimit = 0x1000000;

const char *progname = "recpack";

// Wall-clock seconds since the first reading of the process.
double wallBase = 0;
double wallLast = 0;

double wallTime()
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        perror("UTIL_WALLTIME");
        return wallLast;
    }
    double now = (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
    if (wallBase == 0) wallBase = now;
    wallLast = now - wallBase;
    return wallLast;
}

int cpuTicks() { return (int)clock(); }

// Tick differences are taken modulo 2^32, so a wrapped int counter still
// gives the right interval.
double cpuSeconds(int from, int to) { return (double)(int)((unsigned)to - (unsigned)from) / CLOCKS_PER_SEC; }

struct Buffer {
    unsigned char *data = nullptr;
    size_t capacity = 0;

    // Grows only, keeping the contents.
    bool reserve(size_t n)
    {
        if (n <= capacity) return true;
        void *grown = realloc(data, n);
        if (!grown) return false;
        data = (unsigned char *)grown;
        capacity = n;
        return true;
    }
};

struct Times {
    double tread = 0, tcompress = 0, twrite = 0;
    double wread = 0, wcompress = 0, wwrite = 0;
};

struct Run {
    bool compress = true;
    const char *ifile = nullptr;
    const char *ofile = nullptr;
    int in = -1, out = -1;
    long long insize = -1; // octets of a regular input file, else -1
    Buffer record, scratch, copy;
    Times t;
    bool lost = false;     // a record could not be carried over
    bool failed = false;   // the output could not be written
};

const char *baseName(const char *arg)
{
    const char *slash = strrchr(arg, '/');
    return slash ? slash + 1 : arg;
}

void usage() { fprintf(stderr, "usage : %s [-P <nthread>]  ifile  ofile\n", progname); }

bool sameFile(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

long long regularSize(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 && S_ISREG(st.st_mode) ? (long long)st.st_size : -1;
}

void lostRecord(Run &r, long long offset, const char *why)
{
    fprintf(stderr, "%s: GRIB record at offset %lld %s\n", progname, offset, why);
    r.lost = true;
}

// Pads the first `length` octets with zeros: to a multiple of 120 for large
// records, else of 8. The buffer is grown so the padding always fits.
size_t pad(Run &r, size_t length)
{
    size_t padded = length;
    if (length > largeLength)
        padded = (length + 119) / 120 * 120;
    else if (length % 8)
        padded = length + 8 - length % 8;
    if (padded > r.record.capacity && !r.record.reserve(padded)) return length;
    memset(r.record.data + length, 0, padded - length);
    return padded;
}

// Octets to write for the record of `n` octets in the buffer, compressed.
size_t packRecord(Run &r, size_t n, long long offset)
{
    unsigned char *pds, *gds, *bms, *bds;
    long recsize;
    // A record the locator can't frame is copied as read: recPack would
    // report a length of its own guessing for it.
    if (grib1Sections(r.record.data, (long)n, &pds, &gds, &bms, &bds, &recsize) != 0) {
        fprintf(stderr, "%s: GRIB record at offset %lld is damaged; copied as read\n", progname, offset);
        return n;
    }
    if (!r.scratch.reserve(r.record.capacity)) {
        fprintf(stderr, "%s: out of memory for %zu octets\n", progname, r.record.capacity);
        return n;
    }
    double w0 = wallTime();
    int c0 = cpuTicks();
    int length = recPack(r.record.data, r.record.capacity, r.scratch.data, r.scratch.capacity);
    int c1 = cpuTicks();
    double w1 = wallTime();
    r.t.tcompress += cpuSeconds(c0, c1);
    r.t.wcompress += w1 - w0;
    if (length <= 0 || (size_t)length > r.record.capacity) {
        fprintf(stderr, "%s: GRIB record at offset %lld claims %d octets; copied as read\n", progname, offset,
                length);
        return n;
    }
    // The large form's padded length lies beyond the record as read.
    if ((size_t)length > n) memset(r.record.data + n, 0, (size_t)length - n);
    return (size_t)length;
}

// Octets to write for the record of `n` octets in the buffer, restored.
size_t unpackRecord(Run &r, size_t n)
{
    size_t unzipped = 0;
    int code = gribGetZip((long)n, r.record.data, &unzipped);
    if (code <= 0) return n;
    if (code != 128 && code != 130) {
        fprintf(stderr, "Decompression for %d not implemented!\n", code);
        return n;
    }
    if (unzipped < n) {
        // Written as read: dropping it would lose the record.
        fprintf(stderr, "Decompressed size smaller than compressed size (in %zu; out %zu)!\n", n, unzipped);
        return n;
    }
    if (!r.copy.reserve(n)) {
        fprintf(stderr, "%s: out of memory for %zu octets\n", progname, n);
        return n;
    }
    memcpy(r.copy.data, r.record.data, n);
    unzipped += unpackRoom;
    if (!r.record.reserve(unzipped)) {
        fprintf(stderr, "%s: out of memory for %zu octets\n", progname, unzipped);
        return n;
    }
    int length = recUnpack(r.record.data, r.record.capacity, r.copy.data, n);
    if (length <= 0) {
        memcpy(r.record.data, r.copy.data, n);
        return n;
    }
    return (size_t)length;
}

// After gribGetSize found no record at `before`: decide whether the input is
// done. Returns false at the end of the input.
bool noRecord(Run &r, long long before)
{
    long long here = gribGetPos(r.in);
    // A search that ran its limit without a marker: octets between records.
    if (here - before >= searchLimit) return true;
    long count = 0;
    int status = gribFileSeek(r.in, &count);
    if (status == -1) return false;
    if (status == 0) lostRecord(r, gribGetPos(r.in) - 4, "cannot be sized; searching on after its marker");
    return true;
}

void writeRecord(Run &r, size_t length)
{
    double w0 = wallTime();
    int c0 = cpuTicks();
    int written = gribWrite(r.out, r.record.data, length);
    int c1 = cpuTicks();
    double w1 = wallTime();
    r.t.twrite += cpuSeconds(c0, c1);
    r.t.wwrite += w1 - w0;
    if (written < 0 || (size_t)written != length) {
        fprintf(stderr, "%s: write failed on %s\n", progname, r.ofile);
        r.failed = true;
    }
}

// Offset of the first marker inside the record after its own, or 0.
size_t innerMarker(const unsigned char *rec, size_t n)
{
    for (size_t i = 1; i + 4 <= n; ++i)
        if (rec[i] == 'G' && memcmp(rec + i, "GRIB", 4) == 0) return i;
    return 0;
}

// Puts the input right after the marker at `offset`, so that the search goes
// on from there. The record functions can't move back: the file is opened
// anew and its markers are walked up to that one.
bool resume(Run &r, long long offset)
{
    gribClose(r.in);
    r.in = gribOpen(r.ifile, "r");
    if (r.in == -1) return false;
    long count;
    int status;
    while ((status = gribFileSeek(r.in, &count)) >= 0) {
        if (status != 0) continue; // no marker in this stretch: search on
        long long at = gribGetPos(r.in) - 4;
        if (at >= offset) return at == offset;
    }
    return false;
}

// A record that does not end with its end section was sized from damaged
// lengths. When a marker lies inside it, it holds the records after it:
// those are read again from that marker on, so that they come through.
// Returns false when the input can't be read on.
bool damagedRecord(Run &r, size_t n, long long offset)
{
    size_t k = r.insize >= 0 ? innerMarker(r.record.data, n) : 0;
    fprintf(stderr, "%s: GRIB record at offset %lld has no end section; %s\n", progname, offset,
            k ? "copied as read up to the next marker" : "copied as read");
    r.lost = true;
    writeRecord(r, pad(r, k ? k : n));
    if (k && !resume(r, offset)) {
        fprintf(stderr, "%s: cannot read on in %s after offset %lld\n", progname, r.ifile, offset);
        return false;
    }
    return true;
}

void recordLoop(Run &r)
{
    while (!r.failed) {
        double w0 = wallTime();
        int c0 = cpuTicks();
        long long before = gribGetPos(r.in);
        size_t size = gribGetSize(r.in);
        long long offset = gribGetPos(r.in);
        if (size == 0) {
            if (noRecord(r, before)) continue;
            break;
        }
        // A record that runs past the end of the file is cut short: skip its
        // marker instead of reading (and losing) everything after it.
        unsigned long long end = (unsigned long long)offset + size;
        if (r.insize >= 0 && (size > (unsigned long long)r.insize || end > (unsigned long long)r.insize)) {
            long count;
            gribFileSeek(r.in, &count);
            lostRecord(r, offset, "is cut short by the end of the file; searching on after its marker");
            continue;
        }
        if (size + recordRoom < size ||
            (r.record.capacity < size + recordRoom && !r.record.reserve(size + recordRoom))) {
            long count;
            gribFileSeek(r.in, &count);
            lostRecord(r, offset, "does not fit into memory; searching on after its marker");
            continue;
        }
        size_t n = size;
        int status = gribRead(r.in, r.record.data, &n);
        int c1 = cpuTicks();
        double w1 = wallTime();
        r.t.tread += cpuSeconds(c0, c1);
        r.t.wread += w1 - w0;
        if (status != 0) {
            lostRecord(r, offset, "could not be read to its end");
            break; // the input is consumed up to its end
        }
        if (n < 8 || memcmp(r.record.data + n - 4, "7777", 4) != 0) {
            if (damagedRecord(r, n, offset)) continue;
            break;
        }
        int edition = gribVersion(r.record.data, n);

        size_t length = n;
        if (r.compress && edition == 1)
            length = packRecord(r, n, offset);
        else if (!r.compress)
            length = unpackRecord(r, n);
        writeRecord(r, pad(r, length));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    progname = argc > 0 && argv[0] ? baseName(argv[0]) : "";
    Run r;
    if (strcmp(progname, "recpack") == 0)
        r.compress = true;
    else if (strcmp(progname, "recunpack") == 0)
        r.compress = false;
    else {
        fputs("Wrong program name!", stderr);
        return 1;
    }

    if (argc < 3) {
        usage();
        return -1;
    }
    r.ifile = argc == 5 ? argv[3] : argv[1];
    r.ofile = argc == 5 ? argv[4] : argv[2];
    if (!r.ifile || !r.ofile) {
        usage();
        return -1;
    }

    r.in = gribOpen(r.ifile, "r");
    if (r.in == -1) {
        fprintf(stderr, "Open failed on %s\n", r.ifile);
        return 1;
    }
    // Opening the output truncates it: it must not be the input.
    if (sameFile(r.ifile, r.ofile)) {
        fprintf(stderr, "%s: input and output are the same file: %s\n", progname, r.ofile);
        gribClose(r.in);
        return 1;
    }
    r.out = gribOpen(r.ofile, "w");
    if (r.out == -1) {
        fprintf(stderr, "Open failed on %s\n", r.ofile);
        return 1;
    }
    r.insize = regularSize(r.ifile);

    int call0 = cpuTicks();
    double wall0 = wallTime();
    recordLoop(r);
    if (gribClose(r.out) != 0) {
        fprintf(stderr, "%s: close failed on %s\n", progname, r.ofile);
        r.failed = true;
    }
    gribClose(r.in);
    int call1 = cpuTicks();
    double wall1 = wallTime();

    const Times &t = r.t;
    printf("tall=%.2f tsum=%.2f tread=%.2f tcompress=%.2f twrite=%.2f\n", cpuSeconds(call0, call1),
           t.tread + t.tcompress + t.twrite, t.tread, t.tcompress, t.twrite);
    printf("wall=%.2f wsum=%.2f wread=%.2f wcompress=%.2f wwrite=%.2f\n", wall1 - wall0,
           t.wread + t.wcompress + t.wwrite, t.wread, t.wcompress, t.wwrite);

    free(r.record.data);
    free(r.scratch.data);
    free(r.copy.data);
    return r.lost || r.failed ? 1 : 0;
}
