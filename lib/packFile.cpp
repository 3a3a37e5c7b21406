// recPackFile: every GRIB record of one file descriptor copied to another,
// szip-compressing (or restoring) the data sections of edition 1 records,
// and every octet between records carried over in its place. The reader,
// the workers and the writer are in files of their own (packReader.cpp,
// packWork.cpp, packWriter.cpp); this is the run that ties them together.
#include "packFile.h"
#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack __attribute__((visibility("hidden"))) {

constexpr long maxWorkers = 1024;

std::string format(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return line;
}

double wallTime()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double threadCpu()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

BufferPool::Buffer BufferPool::take(size_t need)
{
    {
        std::lock_guard<std::mutex> g(m);
        // The smallest kept buffer that fits.
        size_t best = kept.size();
        for (size_t k = 0; k < kept.size(); ++k)
            if (kept[k].capacity >= need && (best == kept.size() || kept[k].capacity < kept[best].capacity))
                best = k;
        if (best < kept.size()) {
            Buffer b = kept[best];
            kept.erase(kept.begin() + (long)best);
            return b;
        }
    }
    unsigned char *p = (unsigned char *)memAlloc(need);
    return Buffer{p, p ? need : 0};
}

void BufferPool::give(Buffer b)
{
    if (!b.data) return;
    std::lock_guard<std::mutex> g(m);
    if (kept.size() < limit) {
        kept.push_back(b);
        return;
    }
    // Full: the smallest goes, so that the large records keep their room.
    auto smallest = std::min_element(kept.begin(), kept.end(),
                                     [](const Buffer &a, const Buffer &c) { return a.capacity < c.capacity; });
    if (smallest->capacity < b.capacity) std::swap(*smallest, b);
    memRelease(b.data);
}

BufferPool::~BufferPool()
{
    for (Buffer &b : kept) memRelease(b.data);
}

bool Pipeline::push(ItemPtr &it)
{
    std::unique_lock<std::mutex> g(m);
    if (!room(it->footprint) && !stop) {
        double w0 = wallTime();
        space.wait(g, [&] { return room(it->footprint) || stop; });
        readerWait += wallTime() - w0;
    }
    if (stop) return false;
    held += it->footprint;
    if (it->kind == Kind::Record) {
        todo.push_back(it.get());
        work.notify_one();
    } else {
        it->done = true;
        done.notify_all();
    }
    order.push_back(std::move(it));
    return true;
}

void Pipeline::finishReading()
{
    std::lock_guard<std::mutex> g(m);
    readerDone = true;
    work.notify_all();
    done.notify_all();
}

void Pipeline::halt()
{
    std::lock_guard<std::mutex> g(m);
    stop = true;
    space.notify_all();
    work.notify_all();
    done.notify_all();
}

namespace {

void hear(void *context, const char *text, size_t length) { static_cast<std::string *>(context)->append(text, length); }

} // namespace

Hearing::Hearing(std::string &into) : before(MessageCapture_({hear, &into})) {}

Hearing::~Hearing() { MessageCapture_(before); }

void Run::quiet()
{
    if (opt.progress) opt.progress(opt.context, nullptr);
}

void Run::sayHeld(const std::string &text, bool fixed)
{
    quiet();
    if (fixed && !outIsStdout) {
        Print_(stdout, "%s", text.c_str());
        fflush(stdout);
    } else if (opt.message) {
        opt.message(opt.context, text.c_str());
    } else {
        fflush(stdout);
        Print_(stderr, "%s", text.c_str());
    }
}

void Run::say(const std::string &text, bool fixed)
{
    std::lock_guard<std::mutex> g(sayLock);
    sayHeld(text, fixed);
}

namespace {

long availableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}

void *startReader(void *run)
{
    readerThread(*static_cast<Run *>(run));
    return nullptr;
}

void *startWorker(void *run)
{
    workerThread(*static_cast<Run *>(run));
    return nullptr;
}

// Whether fd writes where standard output does.
bool isStandardOutput(int fd)
{
    if (fd == STDOUT_FILENO) return true;
    struct stat a, b;
    return fstat(fd, &a) == 0 && fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace
} // namespace pack

extern "C" int recPackFile(int ifd, int ofd, const recPackOptions *options, recPackResult *result)
{
    using namespace pack;
    if (result) memset(result, 0, sizeof *result);
    recPackOptions defaults;
    memset(&defaults, 0, sizeof defaults);
    const recPackOptions &o = options ? *options : defaults;
    struct stat st;
    if (ifd < 0 || ofd < 0 || (o.unpack != 0 && o.unpack != 1) || o.workers < 0 || o.workers > maxWorkers ||
        (o.compat != 0 && o.compat != 1) || (o.grib2 != 0 && o.grib2 != 1) || fstat(ifd, &st) != 0) {
        Error_("recPackFile", "invalid arguments: nothing read or written");
        if (result) result->status = -1;
        return -1;
    }

    Run r(o);
    r.compress = o.unpack == 0;
    r.prog = o.program ? o.program : (r.compress ? "recpack" : "recunpack");
    r.inName = o.inputName ? o.inputName : "input";
    r.outName = o.outputName ? o.outputName : "output";
    r.in = ifd;
    r.out = ofd;
    r.outIsStdout = isStandardOutput(ofd);
    r.insize = S_ISREG(st.st_mode) ? (int64_t)st.st_size : -1;
    const long workers = o.workers == 0 ? availableProcessors() : o.workers;
    if (o.pipeLimit) r.pipeLimit = std::min(o.pipeLimit, maxRecord);

    const clock_t call0 = clock();
    const double wall0 = wallTime();
    // A regular input file is mapped, so that records are compressed where
    // the page cache holds them, with no copy into the library.
    if (r.insize > 0 && (uint64_t)r.insize <= SIZE_MAX) mapInput(ifd, (size_t)r.insize, r.map);
    // Records in flight: enough to keep every worker busy while the writer
    // waits for the oldest, few enough to bound memory.
    r.pipe.limit = (size_t)workers + 2;
    r.pool.limit = 2 * r.pipe.limit;
    // POSIX threads: std::thread's instances would be exported from the
    // shared library along with the public names.
    pthread_t reader, crew[maxWorkers];
    long started = 0;
    bool reading = pthread_create(&reader, nullptr, startReader, &r) == 0;
    if (reading)
        while (started < workers && pthread_create(&crew[started], nullptr, startWorker, &r) == 0) ++started;
    if (!reading || started == 0) {
        r.say(format("%s: cannot start the run's threads\n", r.prog));
        r.failed = true;
        r.pipe.halt();
    } else {
        writerThread(r);
    }
    r.pipe.halt();
    if (reading) pthread_join(reader, nullptr);
    for (long k = 0; k < started; ++k) pthread_join(crew[k], nullptr);
    const int64_t fault = unmapInput(r.map);
    if (fault >= 0) {
        r.say(format("%s: read failed on %s after offset %lld\n%s\n", r.prog, r.inName, (long long)fault,
                     strerror(EIO)));
        r.failed = true;
    }
    // A file written while it was read may have given records that are
    // neither the old ones nor the new: the run can't vouch for its output.
    struct stat after;
    if (r.insize >= 0 && fstat(ifd, &after) == 0 &&
        (after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
         after.st_mtim.tv_nsec != st.st_mtim.tv_nsec)) {
        r.say(format("%s: %s changed while it was read\n", r.prog, r.inName));
        r.failed = true;
    }
    // Nothing is in flight any more: the pipeline's items are gone.
    r.pipe.order.clear();
    r.pipe.todo.clear();

    recPackResult &res = r.result;
    res.octetsIn += r.padRemoved.exchange(0);
    res.recordsEdition1 = r.edition1;
    res.recordsCodable = r.codableWidth;
    res.recordsPacked = r.alreadyPacked;
    res.cpuAll = (double)(clock() - call0) / CLOCKS_PER_SEC;
    res.wallAll = wallTime() - wall0;
    res.cpuSum = res.cpuRead + res.cpuCode + res.cpuWrite;
    res.wallSum = res.wallRead + res.wallCode + res.wallWrite;
    res.status = r.failed ? 1 : 0;
    if (result) *result = res;
    return res.status;
}
