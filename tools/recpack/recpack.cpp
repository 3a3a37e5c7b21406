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
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr long maxWorkers = 1024;
constexpr double progressInterval = 0.25; // seconds between progress updates at most

const char *progname = "recpack";

double wallTime()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return line;
}

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
        std::string line = format("%llu records, %.1f MB in, %.1f MB out, ratio %.3f, %.1f MB/s", records,
                                  (double)s.octetsIn / mb, (double)s.octetsOut / mb,
                                  s.octetsIn ? (double)s.octetsOut / (double)s.octetsIn : 1.0, speed);
        if (insize > 0) {
            double share = std::min(1.0, (double)s.octetsIn / (double)insize);
            line += format(", %.0f%% done", share * 100);
            if (speed > 0) line += format(", %.0f s left", ((double)insize - (double)s.octetsIn) / mb / speed);
        }
        fprintf(stderr, "\r%s\033[K", line.c_str());
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

void usage(FILE *fp) { fprintf(fp, "usage : %s [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n", progname); }

void help()
{
    bool pack = strcmp(progname, "recpack") == 0;
    usage(stdout);
    printf("\n%s\n"
           "Octets between records are copied as they stand, zero padding aside.\n\n"
           "  -P n      work on n records at a time (0: one per available processor; default 1)\n"
           "  --compat  code GRIB1 records only in the szip form of code 128, which every\n"
           "            release of recunpack restores (recunpack needs no option)\n"
           "  --grib2   GRIB2 fields: simple packing to CCSDS packing (recpack), CCSDS packing\n"
           "            of any producer to simple packing (recunpack); without it GRIB2 is\n"
           "            copied as read\n\n"
           "Exit status: 0 when every octet of ifile was carried into ofile%s;\n"
           "1 otherwise; 255 for bad arguments.\n",
           pack ? "Copies every GRIB record of ifile to ofile, compressing the data sections of\n"
                  "edition 1 records with a check of the whole record."
                : "Copies every GRIB record of ifile to ofile, restoring compressed data sections.",
           pack ? "" : " and every packed record restored");
}

// A whole number from 0 to 1024, digits only.
bool threadCount(const char *arg, long *n)
{
    if (!*arg || strlen(arg) > 4) return false;
    for (const char *c = arg; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    *n = atol(arg);
    return *n <= maxWorkers;
}

bool sameFile(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int openFailed(const char *name, int error)
{
    fprintf(stderr, "Open failed on %s\n%s\n", name, strerror(error));
    return 1;
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
    long workers = 1;
    const char *ifile = nullptr, *ofile = nullptr;
    // Options first, then exactly two files. Extra file arguments are
    // refused: they are most often a shell pattern, and the last of them
    // would be overwritten.
    int a = 1;
    for (; a < argc && argv[a][0] == '-' && argv[a][1] != '\0'; ++a) {
        if (strcmp(argv[a], "-P") == 0 && a + 1 < argc && threadCount(argv[a + 1], &workers)) {
            ++a;
        } else if (strcmp(argv[a], "--compat") == 0 && opt.unpack == 0) {
            opt.compat = 1;
        } else if (strcmp(argv[a], "--grib2") == 0) {
            opt.grib2 = 1;
        } else {
            usage(stderr);
            return -1;
        }
    }
    if (argc - a != 2) {
        usage(stderr);
        return -1;
    }
    ifile = argv[a];
    ofile = argv[a + 1];

    int in = open(ifile, O_RDONLY);
    if (in < 0) return openFailed(ifile, errno);
    struct stat st;
    if (fstat(in, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(in);
        return openFailed(ifile, EISDIR);
    }
    // Opening the output truncates it: it must not be the input.
    if (sameFile(ifile, ofile)) {
        fprintf(stderr, "%s: input and output are the same file: %s\n", progname, ofile);
        close(in);
        return 1;
    }
    int out = open(ofile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        int error = errno;
        close(in);
        return openFailed(ofile, error);
    }

    Progress progress;
    progress.on = isatty(STDERR_FILENO) == 1;
    progress.start = wallTime();
    progress.last = progress.start - progressInterval; // the first record shows at once
    progress.insize = S_ISREG(st.st_mode) ? (int64_t)st.st_size : -1;
    opt.workers = (int)workers;
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
    close(in);

    printf("tall=%.2f tsum=%.2f tread=%.2f tcompress=%.2f twrite=%.2f\n", t.cpuAll, t.cpuSum, t.cpuRead, t.cpuCode,
           t.cpuWrite);
    printf("wall=%.2f wsum=%.2f wread=%.2f wcompress=%.2f wwrite=%.2f\n", t.wallAll, t.wallSum, t.wallRead,
           t.wallCode, t.wallWrite);
    return status == 0 ? 0 : 1;
}
