// recpack / recunpack: copy every GRIB record of a file, szip-compressing
// (recpack) or restoring (recunpack) the data sections of edition 1 records.
//
// One executable, two names. The library's recPackFile does the work; the
// program reads its command line, opens the files, shows progress on a
// terminal and prints the timing lines.
#include <valmora.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr long maxWorkers = 1024;
constexpr long maxPipeMiB = 1024; // the largest large-form record lies below 1 GiB
constexpr double progressInterval = 0.25; // seconds between progress updates at most

const char *progname = "recpack";

double wallTime()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}

// A line put together piece by piece, written with one call.
struct Line {
    char text[512] = "";
    size_t length = 0;

    Line &add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(text + length, sizeof text - length, fmt, ap);
        va_end(ap);
        if (n > 0) length = std::min(sizeof text - 1, length + (size_t)n);
        return *this;
    }
};

// The progress line on a terminal, erased before any other line.
struct Progress {
    bool on = false;
    bool shown = false;
    double start = 0, last = 0;
    int64_t insize = -1;

    void erase()
    {
        if (shown) fputs("\r\033[K", stderr);
        shown = false;
    }

    void update(const recPackResult &s)
    {
        double now = wallTime();
        if (now - last < progressInterval) return;
        last = now;
        double mb = 1e6, secs = now - start;
        unsigned long long records = s.recordsCoded + s.recordsCopied + s.recordsLeftPacked;
        double speed = secs > 0 ? (double)s.octetsIn / mb / secs : 0;
        Line line;
        line.add("%llu records, %.1f MB in, %.1f MB out, ratio %.3f, %.1f MB/s", records,
                                  (double)s.octetsIn / mb, (double)s.octetsOut / mb,
                                  s.octetsIn ? (double)s.octetsOut / (double)s.octetsIn : 1.0, speed);
        if (insize > 0) {
            double share = std::min(1.0, (double)s.octetsIn / (double)insize);
            line.add(", %.0f%% done", share * 100);
            if (speed > 0) line.add(", %.0f s left", ((double)insize - (double)s.octetsIn) / mb / speed);
        }
        fprintf(stderr, "\r%s\033[K", line.text);
        shown = true;
    }
};

void onProgress(void *context, const recPackResult *sofar)
{
    Progress &p = *static_cast<Progress *>(context);
    if (!sofar)
        p.erase();
    else if (p.on)
        p.update(*sofar);
}

void onMessage(void *context, const char *text)
{
    static_cast<Progress *>(context)->erase();
    fputs(text, stderr);
}

const char *baseName(const char *arg)
{
    const char *slash = strrchr(arg, '/');
    return slash ? slash + 1 : arg;
}

void usage(FILE *fp) { fprintf(fp, "usage : %s [-P <nthread>]  ifile  ofile\n", progname); }

// A wrong command line: what was wrong, then the usage.
int badUsage(const Line &why)
{
    fprintf(stderr, "%s: %s\n", progname, why.text);
    usage(stderr);
    return -1;
}

void help()
{
    bool pack = strcmp(progname, "recpack") == 0;
    usage(stdout);
    printf("\n%s\n"
           "Each record is written followed by its padding (zeros to a multiple of 8 octets),\n"
           "then every octet that followed it, as it stands: recunpack removes exactly that\n"
           "padding, so that recunpack(recpack(x)) gives x back octet for octet.\n\n"
           "  -P n   work on n records at a time (0: one per available processor; default 1)\n"
           "  --compat  (recpack) code GRIB1 records only in the szip form of code 128, which\n"
           "         every release of recunpack restores (recunpack needs no option)\n"
           "  --grib2   GRIB2 fields: simple packing to CCSDS packing (recpack), CCSDS packing\n"
           "         of any producer to simple packing (recunpack); without it GRIB2 is copied\n"
           "         as read\n"
           "  -v     a summary line on standard error at the end (also on a terminal)\n"
           "  -L m   hold a record of up to m MiB from a pipe (1 to 1024; default 256)\n"
           "  -      as ifile: standard input; as ofile: standard output (the program's\n"
           "         own lines then all go to standard error)\n\n"
           "Exit status: 0 when every octet of ifile was carried into ofile%s;\n"
           "1 otherwise; 255 for bad arguments.\n",
           pack ? "Copies every GRIB record of ifile to ofile, compressing the data sections of\n"
                  "edition 1 records with a check of the whole record."
                : "Copies every GRIB record of ifile to ofile, restoring compressed data sections.",
           pack ? "" : " and every packed record restored");
}

// A whole number from `low` to `high`, digits only.
bool wholeNumber(const char *arg, long low, long high, long *n)
{
    if (!*arg || strlen(arg) > 4) return false;
    for (const char *c = arg; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    *n = atol(arg);
    return *n >= low && *n <= high;
}

// Whether two open files are one.
bool sameFile(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int openFailed(const char *name, int error)
{
    fprintf(stderr, "Open failed on %s\n%s\n", name, strerror(error));
    return 1;
}

// Why nothing was compressed or restored, for the summary.
const char *nothingCoded(const recPackResult &t, bool pack)
{
    if (!pack) return "no packed GRIB record";
    if (t.recordsCoded + t.recordsCopied + t.recordsLeftPacked == 0) return "no GRIB record";
    if (t.recordsEdition1 == 0) return "no GRIB1 record";
    if (t.recordsCodable == 0 && t.recordsPacked == t.recordsEdition1) return "every GRIB1 record packed already";
    if (t.recordsCodable == 0) return "no GRIB1 record of a codable width";
    return "no GRIB1 record that compressing shortens by more than 5 %";
}

void summary(const recPackResult &t, bool pack)
{
    unsigned long long records = t.recordsCoded + t.recordsCopied + t.recordsLeftPacked;
    Line line;
    if (pack)
        line.add("%s: %llu records: %llu compressed, %llu copied", progname, records,
                 (unsigned long long)t.recordsCoded, (unsigned long long)t.recordsCopied);
    else
        line.add("%s: %llu records: %llu restored, %llu copied, %llu left packed", progname, records,
                 (unsigned long long)t.recordsCoded, (unsigned long long)t.recordsCopied,
                 (unsigned long long)t.recordsLeftPacked);
    line.add("; %llu octets carried between records; %llu octets in, %llu out, ratio %.3f",
             (unsigned long long)t.octetsCarried, (unsigned long long)t.octetsIn, (unsigned long long)t.octetsOut,
             t.octetsIn ? (double)t.octetsOut / (double)t.octetsIn : 1.0);
    if (t.recordsCoded == 0) line.add("; nothing %s: %s", pack ? "compressed" : "restored", nothingCoded(t, pack));
    fprintf(stderr, "%s\n", line.text);
}

} // namespace

int main(int argc, char *argv[])
{
    progname = argc > 0 && argv[0] ? baseName(argv[0]) : "";
    recPackOptions opt;
    memset(&opt, 0, sizeof opt);
    if (strcmp(progname, "recpack") == 0)
        opt.unpack = 0;
    else if (strcmp(progname, "recunpack") == 0)
        opt.unpack = 1;
    else {
        fputs("Wrong program name!", stderr);
        return 1;
    }

    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        help();
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", progname, gribLibraryVersion());
        return 0;
    }
    long workers = 1, pipeMiB = 0;
    bool verbose = false;
    const char *files[2] = {nullptr, nullptr};
    int nfiles = 0;
    // Extra file arguments are refused: they are most often a shell pattern,
    // and the last of them would be overwritten.
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "-P") == 0 || strcmp(arg, "-L") == 0) {
            const bool threads = arg[1] == 'P';
            if (i + 1 == argc) return badUsage(Line().add("%s: a number must follow", arg));
            const char *value = argv[++i];
            if (threads && !wholeNumber(value, 0, maxWorkers, &workers))
                return badUsage(Line().add("-P %s: not a whole number from 0 to %ld", value, maxWorkers));
            if (!threads && !wholeNumber(value, 1, maxPipeMiB, &pipeMiB))
                return badUsage(Line().add("-L %s: not a whole number from 1 to %ld", value, maxPipeMiB));
        } else if (strcmp(arg, "-v") == 0) {
            verbose = true;
        } else if (strcmp(arg, "--compat") == 0 && opt.unpack == 0) {
            opt.compat = 1;
        } else if (strcmp(arg, "--grib2") == 0) {
            opt.grib2 = 1;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return badUsage(Line().add("%s: not an option", arg));
        } else {
            if (nfiles < 2) files[nfiles] = arg;
            ++nfiles;
        }
    }
    if (nfiles == 0) return badUsage(Line().add("no file arguments: the form takes 2"));
    if (nfiles != 2) return badUsage(Line().add("%d file argument%s: the form takes 2", nfiles, nfiles == 1 ? "" : "s"));
    const char *ifile = files[0], *ofile = files[1];
    const bool fromStdin = strcmp(ifile, "-") == 0, toStdout = strcmp(ofile, "-") == 0;

    int in = fromStdin ? STDIN_FILENO : open(ifile, O_RDONLY);
    if (in < 0) return openFailed(ifile, errno);
    struct stat st;
    if (fstat(in, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!fromStdin) close(in);
        return openFailed(ifile, EISDIR);
    }
    // Opening the output truncates it: it must not be the input.
    struct stat so;
    const bool outExists = toStdout ? fstat(STDOUT_FILENO, &so) == 0 : stat(ofile, &so) == 0;
    if (outExists && S_ISREG(st.st_mode) && st.st_dev == so.st_dev && st.st_ino == so.st_ino) {
        fprintf(stderr, "%s: input and output are the same file: %s\n", progname, ofile);
        if (!fromStdin) close(in);
        return 1;
    }
    int out = toStdout ? STDOUT_FILENO : open(ofile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        int error = errno;
        if (!fromStdin) close(in);
        return openFailed(ofile, error);
    }
    // With the data on standard output, every line of the program's own
    // goes to standard error.
    FILE *said = sameFile(out, STDOUT_FILENO) ? stderr : stdout;

    Progress progress;
    progress.on = isatty(STDERR_FILENO) == 1;
    progress.start = wallTime();
    progress.last = progress.start - progressInterval; // the first record shows at once
    progress.insize = S_ISREG(st.st_mode) ? (int64_t)st.st_size : -1;
    opt.workers = (int)workers;
    opt.verbose = verbose;
    opt.pipeLimit = (size_t)pipeMiB << 20;
    opt.program = progname;
    opt.inputName = ifile;
    opt.outputName = ofile;
    opt.progress = onProgress;
    opt.message = onMessage;
    opt.context = &progress;
    recPackResult t;
    int status = recPackFile(in, out, &opt, &t);
    progress.erase();

    if (close(out) != 0) {
        fprintf(stderr, "%s: close failed on %s\n%s\n", progname, ofile, strerror(errno));
        status = 1;
    }
    if (!fromStdin) close(in);
    if (status >= 0 && (verbose || progress.on)) summary(t, opt.unpack == 0);

    fprintf(said, "tall=%.2f tsum=%.2f tread=%.2f tcompress=%.2f twrite=%.2f\n", t.cpuAll, t.cpuSum, t.cpuRead, t.cpuCode,
           t.cpuWrite);
    fprintf(said, "wall=%.2f wsum=%.2f wread=%.2f wcompress=%.2f wwrite=%.2f\n", t.wallAll, t.wallSum, t.wallRead,
           t.wallCode, t.wallWrite);
    return status == 0 ? 0 : 1;
}
