// recpack / recunpack: copy every GRIB record of a file, szip-compressing
// (recpack) or restoring (recunpack) the data section of edition 1 records.
//
// One executable, two names. Every octet of the input reaches the output in
// its place: records (compressed, restored or as read) and the octets
// between them, zero padding aside. One reader frames records in memory (so
// pipes and files behave alike and nothing is read twice; a regular file is
// mapped, so that its records are not even copied), n workers compress or
// restore them at the same time, and one writer puts records, stretches and
// the program's own lines out in file order.
#include <valmora.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr size_t readChunk = 1u << 20;    // octets per read(2): few calls, little memory
constexpr size_t probeChunk = 64u << 10;  // the first read after a long record: enough to frame
                                          // the next, little to copy into that one's own buffer
constexpr size_t pieceLength = 1u << 20;  // a long stretch goes out in pieces of this size
constexpr uint64_t maxPadding = 119;      // most zero octets a writer pads a record with
constexpr size_t padRoom = 256;           // room after a compressed copy: its padding (<= 119) fits
constexpr size_t unpackRoom = 100;        // room recUnpack is given beyond the restored record
constexpr size_t maxRecord = 0x40000000;  // longer claims are no record: bounds memory on a pipe,
                                          // and lies above the largest large form (1,006,632,840)
constexpr size_t markerLength = 4;        // "GRIB"
constexpr long maxWorkers = 1024;
constexpr double progressInterval = 0.25; // seconds between progress updates at most
// Octets that small items may hold in flight beyond the count of records:
// with their compressed or restored copies they stay well within
// the 16 MB that the memory bound leaves besides the records themselves.
constexpr size_t smallItemOctets = 4u << 20;
// The mapped input is read ahead, and its pages given back once written
// out, in steps of this many octets: a call per small record would cost
// more than it saves, and each page given back interrupts the other cores.
constexpr size_t mapStep = 2u << 20;

const char *progname = "recpack";

// Wall-clock seconds since the first reading of the process.
std::mutex wallLock;
double wallBase = 0;
double wallLast = 0;

double wallTime()
{
    std::lock_guard<std::mutex> g(wallLock);
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

// Processor time of the calling thread, so that each thread counts its own
// phase; the whole run is counted with clock().
double threadCpu()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

int cpuTicks() { return (int)clock(); }

// Tick differences are taken modulo 2^32, so a wrapped int counter still
// gives the right interval.
double cpuSeconds(int from, int to) { return (double)(int)((unsigned)to - (unsigned)from) / CLOCKS_PER_SEC; }

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

// Record buffers are used again instead of being freed: a fresh buffer costs
// a page fault per 4 kB on first touch, a tenth of the work of a record.
class BufferPool {
public:
    struct Buffer {
        unsigned char *data = nullptr;
        size_t capacity = 0;
    };

    // A buffer of at least `need` octets, its contents undefined.
    Buffer take(size_t need)
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
        return Buffer{(unsigned char *)malloc(need), need};
    }

    void give(Buffer b)
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
        free(b.data);
    }

    ~BufferPool()
    {
        for (Buffer &b : kept) free(b.data);
    }

    size_t limit = 8; // buffers kept at most: those in flight, so memory stays bounded

private:
    std::mutex m;
    std::vector<Buffer> kept;
};

BufferPool pool;

// One unit of the output, in file order.
enum class Kind { Record, Piece, Note };

struct Item {
    Kind kind = Kind::Record;
    int64_t offset = 0;             // of the record in the input
    unsigned char *data = nullptr;  // the record as read, or a stretch piece
    size_t length = 0;              // octets of the record as read, or of the piece
    size_t capacity = 0;            // octets a piece may take
    size_t allocated = 0;           // octets at data, 0 when data lies in the mapped input
    size_t footprint = 0;           // octets the item holds in memory, counted against the bound
    int64_t end = 0;                // input offset just past the item's octets (0 for a note)
    int damaged = 0;                // the locator's result for a record whose sections don't frame
    BufferPool::Buffer restored;    // the compressed or restored record
    const unsigned char *out = nullptr; // what to write: data or restored
    size_t outLength = 0;
    std::string note;               // the program's lines for this item
    bool leftPacked = false;        // a packed record not restored
    bool done = false;              // ready for the writer (guarded by the pipeline's lock)

    ~Item()
    {
        if (allocated) pool.give({data, allocated});
        pool.give(restored);
    }
};

using ItemPtr = std::shared_ptr<Item>;

struct Times {
    double tread = 0, tcompress = 0, twrite = 0;
    double wread = 0, wcompress = 0, wwrite = 0;
};

// The queue of items between the reader and the writer. Bounded in count,
// so memory stays within a few record sizes per worker; small items may go
// past the count while they hold few octets, so that workers on an archive
// of small records are not starved by the count alone.
struct Pipeline {
    std::mutex m;
    std::condition_variable space, work, done;
    std::deque<ItemPtr> order; // every item, until written
    std::deque<ItemPtr> todo;  // records waiting for a worker
    size_t limit = 4;
    size_t held = 0;           // octets of the items in order
    bool readerDone = false;
    bool stop = false;
    double readerWait = 0; // wall time the reader waited for room

    bool room(size_t octets) const { return order.size() < limit || held + octets <= smallItemOctets; }

    bool push(const ItemPtr &it)
    {
        std::unique_lock<std::mutex> g(m);
        if (!room(it->footprint) && !stop) {
            double w0 = wallTime();
            space.wait(g, [&] { return room(it->footprint) || stop; });
            readerWait += wallTime() - w0;
        }
        if (stop) return false;
        held += it->footprint;
        order.push_back(it);
        if (it->kind == Kind::Record) {
            todo.push_back(it);
            work.notify_one();
        } else {
            it->done = true;
            done.notify_all();
        }
        return true;
    }

    void finishReading()
    {
        std::lock_guard<std::mutex> g(m);
        readerDone = true;
        work.notify_all();
        done.notify_all();
    }

    void halt()
    {
        std::lock_guard<std::mutex> g(m);
        stop = true;
        space.notify_all();
        work.notify_all();
        done.notify_all();
    }
};

struct Run {
    bool compress = true;
    const char *ifile = nullptr, *ofile = nullptr;
    int in = -1, out = -1;
    int64_t insize = -1; // octets of a regular input file, else -1
    long workers = 1;
    // A regular input file is mapped, so that records are compressed where
    // the page cache holds them, with no copy into the program.
    unsigned char *map = nullptr; // read-only: nothing may write through it
    size_t released = 0;          // octets of the map whose pages the writer gave back
    Pipeline pipe;
    Times t;
    std::mutex timeLock;
    std::atomic<bool> failed{false}; // something was not carried over: status 1
};

// ---- The mapped input -----------------------------------------------------

// A page of the mapped input that can't be read (the file was cut short
// while the program ran, or the disk failed) raises SIGBUS. The handler puts
// a page of zeros in its place, so the run goes on to its end, and keeps the
// lowest such offset: the run then says the input could not be read there
// and ends with status 1.
const unsigned char *mappedAt = nullptr;
size_t mappedLength = 0;
uintptr_t mappedPage = 0; // the page size, known before the handler may run
std::atomic<int64_t> mapFault{-1};
static_assert(std::atomic<int64_t>::is_always_lock_free, "the handler needs a lock-free atomic");

void onBusError(int sig, siginfo_t *info, void *)
{
    const uintptr_t at = (uintptr_t)info->si_addr, from = (uintptr_t)mappedAt;
    if (!mappedAt || at < from || at >= from + mappedLength) {
        signal(sig, SIG_DFL); // not ours: the fault repeats and ends the process
        return;
    }
    const uintptr_t start = at & ~(mappedPage - 1);
    if (mmap((void *)start, mappedPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
        signal(sig, SIG_DFL);
        return;
    }
    const int64_t offset = (int64_t)(start - from);
    int64_t seen = mapFault.load();
    while ((seen < 0 || offset < seen) && !mapFault.compare_exchange_weak(seen, offset)) {
    }
}

// Maps the regular input file; false (and the program reads it instead)
// where it can't be mapped.
bool mapInput(Run &r)
{
    if (r.insize <= 0 || (uint64_t)r.insize > SIZE_MAX) return false;
    void *m = mmap(nullptr, (size_t)r.insize, PROT_READ, MAP_PRIVATE, r.in, 0);
    if (m == MAP_FAILED) return false;
    madvise(m, (size_t)r.insize, MADV_SEQUENTIAL);
    r.map = static_cast<unsigned char *>(m);
    mappedAt = r.map;
    mappedLength = (size_t)r.insize;
    mappedPage = (uintptr_t)sysconf(_SC_PAGESIZE);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onBusError;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
    return true;
}

// Gives back the pages of the mapped input before `end`, once written out:
// they stay in the page cache, and the program's resident memory stays
// within the bound of the records in flight.
void releaseMapped(Run &r, int64_t end)
{
    if (!r.map || end <= 0) return;
    const size_t page = (size_t)mappedPage;
    const size_t upTo = std::min((size_t)end, (size_t)r.insize) / page * page;
    if (upTo < r.released + mapStep && (int64_t)upTo + (int64_t)page < r.insize) return;
    madvise(r.map + r.released, upTo - r.released, MADV_DONTNEED);
    r.released = upTo;
}

// ---- Reader ---------------------------------------------------------------

struct Reader {
    Run &r;
    unsigned char *buf = nullptr;
    size_t capacity = 0, len = 0, pos = 0;
    int64_t base = 0; // input offset of buf[0]
    bool eof = false;
    int error = 0;
    // A long record is read into a buffer of its own, sized for it, which
    // then goes to the workers as it is: the reading buffer waits here
    // meanwhile.
    unsigned char *spare = nullptr;
    size_t spareCapacity = 0;
    bool probe = false; // a long record just left in its own buffer
    const bool mapped;  // buf is the mapped input, whole: nothing to read, nothing to write
    size_t advised = 0; // octets of the mapped input asked to be read ahead
    int64_t fedTo = 0;  // input offset past the octets carried into pieces

    // The stretch of octets between records being carried over.
    bool active = false, junk = false;
    int64_t start = 0, reportAt = 0;
    uint64_t zeros = 0, copied = 0;
    ItemPtr piece;

    explicit Reader(Run &run) : r(run), mapped(run.map != nullptr)
    {
        if (mapped) {
            buf = r.map;
            capacity = len = (size_t)r.insize;
            eof = true;
        }
    }
    ~Reader()
    {
        if (!mapped) free(buf);
        free(spare);
    }

    // Moves what is held from pos into a buffer of `need` octets, so that a
    // record of `need` octets can leave in it.
    bool ownBuffer(size_t need)
    {
        if (capacity >= need && spare) return true;
        BufferPool::Buffer b = pool.take(need);
        if (!b.data) {
            error = ENOMEM;
            return false;
        }
        if (len > pos) memcpy(b.data, buf + pos, len - pos);
        if (spare)
            pool.give({buf, capacity});
        else
            spare = buf, spareCapacity = capacity;
        buf = b.data;
        capacity = b.capacity;
        len -= pos;
        base += (int64_t)pos;
        pos = 0;
        return true;
    }

    // Holds at least `need` octets from pos, or all up to the end of the input.
    bool fill(size_t need)
    {
        if (mapped) return true;
        if (need > readChunk && !ownBuffer(need)) return false;
        while (!eof && len - pos < need) {
            if (pos > 0) {
                memmove(buf, buf + pos, len - pos);
                len -= pos;
                base += (int64_t)pos;
                pos = 0;
            }
            if (capacity < need + readChunk && need <= readChunk) {
                size_t grown = need + readChunk;
                void *p = realloc(buf, grown);
                if (!p) {
                    error = ENOMEM;
                    return false;
                }
                buf = (unsigned char *)p;
                capacity = grown;
            }
            // A long record's own buffer takes the record alone.
            size_t want = need > readChunk ? pos + need - len : capacity - len;
            if (probe && want > probeChunk && need <= probeChunk) want = probeChunk;
            probe = false;
            ssize_t got = read(r.in, buf + len, want);
            if (got < 0) {
                if (errno == EINTR) continue;
                error = errno;
                return false;
            }
            if (got == 0) eof = true;
            len += (size_t)got;
        }
        return true;
    }

    bool flushPiece()
    {
        if (!piece || piece->length == 0) return true;
        ItemPtr p = piece;
        piece.reset();
        p->end = fedTo;
        return r.pipe.push(p);
    }

    bool append(const unsigned char *p, size_t n)
    {
        while (n > 0) {
            if (!piece) {
                piece = std::make_shared<Item>();
                piece->kind = Kind::Piece;
                BufferPool::Buffer b = pool.take(pieceLength);
                piece->data = b.data;
                piece->capacity = pieceLength;
                piece->allocated = piece->footprint = b.capacity;
                if (!piece->data) return false;
            }
            size_t c = std::min(n, piece->capacity - piece->length);
            if (p)
                memcpy(piece->data + piece->length, p, c);
            else
                memset(piece->data + piece->length, 0, c);
            piece->length += c;
            if (p) p += c;
            n -= c;
            if (piece->length == piece->capacity && !flushPiece()) return false;
        }
        return true;
    }

    // Carries the n octets at buf[from] over as part of the current stretch:
    // zeros at its start are padding (all of them in an all-zero stretch,
    // else at most maxPadding), the rest goes out as it stands.
    bool feed(size_t from, size_t n)
    {
        if (n == 0) return true;
        const unsigned char *p = buf + from;
        fedTo = base + (int64_t)(from + n);
        if (!active) {
            active = true;
            junk = false;
            start = base + (int64_t)from;
            zeros = copied = 0;
        }
        if (!junk) {
            const unsigned char *nz = std::find_if(p, p + n, [](unsigned char c) { return c != 0; });
            size_t k = (size_t)(nz - p);
            zeros += k;
            if (k == n) return true;
            junk = true;
            uint64_t drop = std::min(zeros, maxPadding);
            reportAt = start + (int64_t)drop;
            copied = zeros - drop;
            if (!append(nullptr, (size_t)copied)) return false;
            p += k;
            n -= k;
        }
        copied += n;
        return append(p, n);
    }

    bool endStretch()
    {
        bool ok = true;
        if (active && junk) {
            ok = flushPiece();
            auto note = std::make_shared<Item>();
            note->kind = Kind::Note;
            note->note = format("%s: %llu octets at offset %lld hold no GRIB record; copied as they stand\n",
                                progname, (unsigned long long)copied, (long long)reportAt);
            ok = ok && r.pipe.push(note);
        }
        active = false;
        return ok;
    }

    // Sends the n octets at pos out as a record and moves past them.
    bool pushRecord(size_t n)
    {
        auto it = std::make_shared<Item>();
        it->offset = base + (int64_t)pos;
        it->length = n;
        it->end = it->offset + (int64_t)n;
        if (mapped) {
            // Compressed or restored from where it lies; its pages are read
            // ahead meanwhile, should the file not be in the page cache.
            it->data = buf + pos;
            pos += n;
            if (pos > advised) {
                const size_t from = advised / mappedPage * mappedPage;
                advised = std::min(len, std::max(pos, advised + mapStep));
                madvise(buf + from, advised - from, MADV_WILLNEED);
            }
        } else if (spare && pos == 0 && len == n && capacity >= n) {
            // The record's own buffer goes with it; reading goes on in the spare.
            it->data = buf;
            it->allocated = capacity;
            buf = spare, capacity = spareCapacity;
            spare = nullptr;
            base += (int64_t)n;
            len = 0;
            probe = true;
        } else {
            BufferPool::Buffer b = pool.take(n);
            it->data = b.data;
            it->allocated = b.capacity;
            if (!it->data) return false;
            memcpy(it->data, buf + pos, n);
            pos += n;
        }
        it->footprint = mapped ? n : it->allocated;
        // Sections that do not frame: the locator says why on standard error,
        // the coder's text goes to standard output, and the record is copied
        // as read. Done here, so that these lines follow the file's order.
        if (gribVersion(it->data, n) == 1) {
            unsigned char *pds, *gds, *bms, *bds;
            long recsize;
            it->damaged = grib1Sections(it->data, (long)n, &pds, &gds, &bms, &bds, &recsize);
            if (it->damaged < 0) fputs("GRIB message error\n", stdout);
            if (it->damaged > 0) fputs("GRIB data corrupted!\n", stdout);
            if (it->damaged)
                it->note = format("%s: GRIB record at offset %lld is damaged; copied as read\n", progname,
                                  (long long)it->offset);
            // Restoring, a record whose sections can't be found may hold
            // packed data that stays packed: the run can't say all was restored.
            it->leftPacked = it->damaged && !r.compress;
        }
        return r.pipe.push(it);
    }

    void loop()
    {
        bool ok = true;
        while (ok) {
            size_t off = 0, need = 0;
            int s = gribFindRecord(buf + pos, len - pos, &off, &need);
            if (s == -1) {
                if (eof) {
                    ok = feed(pos, len - pos);
                    pos = len;
                    break;
                }
                ok = feed(pos, off);
                pos += off;
                if (!fill(len - pos + 1)) break;
                continue;
            }
            ok = feed(pos, off);
            pos += off;
            if (s == 1) {
                // A record longer than what is held: read on up to its end,
                // unless its lengths already say it can't be a record.
                bool past = r.insize >= 0 && (uint64_t)(base + (int64_t)pos) + need > (uint64_t)r.insize;
                if (need <= maxRecord && !past && !eof) {
                    if (!fill(need)) break;
                    if (len - pos >= need || !eof) continue;
                }
                s = -2;
            }
            if (s == 0 && need > maxRecord) s = -2;
            if (s == -2) {
                // Not a record: its marker belongs to the stretch, and the
                // search goes on right after it.
                ok = ok && feed(pos, markerLength);
                pos += markerLength;
                continue;
            }
            ok = ok && endStretch() && pushRecord(need);
        }
        // After a read error, what was read of a record that can't be
        // framed any more goes out as it stands.
        if (ok && error) ok = feed(pos, len - pos);
        if (ok) ok = endStretch();
        if (error) {
            auto note = std::make_shared<Item>();
            note->kind = Kind::Note;
            note->note = format("%s: read failed on %s after offset %lld\n%s\n", progname, r.ifile,
                                (long long)(base + (int64_t)len), strerror(error));
            r.failed = true;
            if (!r.pipe.push(note)) fputs(note->note.c_str(), stderr);
        }
    }
};

void readerThread(Run &r)
{
    double w0 = wallTime(), c0 = threadCpu();
    Reader rd(r);
    rd.loop();
    double c1 = threadCpu(), w1 = wallTime();
    double waited;
    {
        std::lock_guard<std::mutex> g(r.pipe.m);
        waited = r.pipe.readerWait;
    }
    {
        std::lock_guard<std::mutex> g(r.timeLock);
        r.t.tread += c1 - c0;
        r.t.wread += w1 - w0 - waited;
    }
    r.pipe.finishReading();
}

// ---- Workers --------------------------------------------------------------

// Records are compressed and restored from where they lie (the mapped
// input, or the buffer they were read into) into a buffer of their own: no
// copy of the record first, no scratch.
void packRecord(Item &it)
{
    if (it.damaged || gribVersion(it.data, it.length) != 1) return;
    const size_t room = it.length + padRoom;
    it.restored = pool.take(room);
    if (!it.restored.data) {
        it.note = format("%s: out of memory for %zu octets\n", progname, room);
        return;
    }
    int length = recPackCopy(it.data, it.length, it.restored.data, room);
    if (length <= 0 || (size_t)length > room) {
        it.note = format("%s: GRIB record at offset %lld claims %d octets; copied as read\n", progname,
                         (long long)it.offset, length);
        pool.give(it.restored);
        it.restored = {};
        return;
    }
    // A large-form record's padded length may lie beyond the record as
    // read: recPackCopy writes the zeros up to it.
    it.out = it.restored.data;
    it.outLength = (size_t)length;
}

void unpackRecord(Item &it)
{
    // Only edition 1 has an szip form.
    if (it.damaged || gribVersion(it.data, it.length) != 1) return;
    size_t n = it.length;
    size_t unzipped = 0;
    int code = gribGetZip((long)n, it.data, &unzipped);
    if (code <= 0) return;
    if (code != 128 && code != 130) {
        it.note = format("Decompression for %d not implemented!\n", code);
    } else if (unzipped < n) {
        it.note = format("Decompressed size smaller than compressed size (in %zu; out %zu)!\n", n, unzipped);
    } else {
        size_t room = unzipped + unpackRoom + padRoom;
        it.restored = pool.take(room);
        if (!it.restored.data) {
            it.note = format("%s: out of memory for %zu octets\n", progname, room);
            it.leftPacked = true;
            return;
        }
        unsigned char *dst = it.restored.data;
        int length = recUnpackCopy(it.data, n, dst, room);
        // A record recUnpack can't restore comes back as read, still in the
        // szip form.
        size_t again = 0;
        bool kept = length <= 0 || (size_t)length > room || gribGetZip(length, dst, &again) == 128;
        if (!kept) {
            it.out = dst;
            it.outLength = (size_t)length;
            return;
        }
        pool.give(it.restored);
        it.restored = {};
    }
    it.leftPacked = true;
    it.note += format("%s: GRIB record at offset %lld left packed; copied as read\n", progname,
                      (long long)it.offset);
}

void workerThread(Run &r)
{
    double cpu = 0;
    for (;;) {
        ItemPtr it;
        {
            std::unique_lock<std::mutex> g(r.pipe.m);
            r.pipe.work.wait(g, [&] { return !r.pipe.todo.empty() || r.pipe.readerDone || r.pipe.stop; });
            if (r.pipe.stop || r.pipe.todo.empty()) break;
            it = r.pipe.todo.front();
            r.pipe.todo.pop_front();
        }
        it->out = it->data;
        it->outLength = it->length;
        double c0 = threadCpu();
        if (r.compress)
            packRecord(*it);
        else
            unpackRecord(*it);
        cpu += threadCpu() - c0;
        std::lock_guard<std::mutex> g(r.pipe.m);
        it->done = true;
        r.pipe.done.notify_all();
    }
    std::lock_guard<std::mutex> g(r.timeLock);
    if (r.compress) r.t.tcompress += cpu;
}

// ---- Writer ---------------------------------------------------------------

struct Progress {
    bool on = false;
    bool shown = false;
    double start = 0, last = 0;
    unsigned long long records = 0, octetsIn = 0, octetsOut = 0;

    void erase()
    {
        if (shown) fputs("\r\033[K", stderr);
        shown = false;
    }

    void update(const Run &r, bool force)
    {
        if (!on) return;
        double now = wallTime();
        if (!force && now - last < progressInterval) return;
        last = now;
        double mb = 1e6, secs = now - start;
        double speed = secs > 0 ? (double)octetsIn / mb / secs : 0;
        std::string line = format("%llu records, %.1f MB in, %.1f MB out, ratio %.3f, %.1f MB/s", records,
                                  (double)octetsIn / mb, (double)octetsOut / mb,
                                  octetsIn ? (double)octetsOut / (double)octetsIn : 1.0, speed);
        if (r.insize > 0) {
            double share = std::min(1.0, (double)octetsIn / (double)r.insize);
            line += format(", %.0f%% done", share * 100);
            if (speed > 0) line += format(", %.0f s left", ((double)r.insize - (double)octetsIn) / mb / speed);
        }
        fprintf(stderr, "\r%s\033[K", line.c_str());
        shown = true;
    }
};

// The n octets at p, then `zeros` zero octets (the padding after a record,
// which the mapped input has no room for), in one call where it can.
bool writeAll(int fd, const unsigned char *p, size_t n, size_t zeros, int *error)
{
    static const unsigned char none[maxPadding + 1] = {};
    if (zeros > sizeof none) {
        *error = EINVAL;
        return false;
    }
    struct iovec v[2] = {{const_cast<unsigned char *>(p), n}, {const_cast<unsigned char *>(none), zeros}};
    struct iovec *at = v;
    int count = 2;
    while (count > 0) {
        if (at->iov_len == 0) {
            ++at, --count;
            continue;
        }
        ssize_t w = writev(fd, at, count);
        if (w < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        size_t done = (size_t)w;
        while (count > 0 && done >= at->iov_len) done -= at->iov_len, ++at, --count;
        if (count > 0) {
            at->iov_base = static_cast<unsigned char *>(at->iov_base) + done;
            at->iov_len -= done;
        }
    }
    return true;
}

void writerThread(Run &r)
{
    Progress progress;
    progress.on = isatty(STDERR_FILENO) == 1;
    progress.start = wallTime();
    progress.last = progress.start - progressInterval; // the first record shows at once
    bool writing = true;
    for (;;) {
        ItemPtr it;
        {
            std::unique_lock<std::mutex> g(r.pipe.m);
            double w0 = wallTime();
            r.pipe.done.wait(g, [&] {
                return (!r.pipe.order.empty() && r.pipe.order.front()->done) ||
                       (r.pipe.order.empty() && r.pipe.readerDone) || r.pipe.stop;
            });
            double w1 = wallTime();
            if (r.pipe.order.empty() || !r.pipe.order.front()->done) break;
            it = r.pipe.order.front();
            r.pipe.order.pop_front();
            r.pipe.held -= it->footprint;
            r.pipe.space.notify_one();
            if (it->kind == Kind::Record && r.compress) {
                std::lock_guard<std::mutex> tg(r.timeLock);
                r.t.wcompress += w1 - w0;
            }
        }
        const unsigned char *p = it->kind == Kind::Record ? it->out : it->data;
        size_t n = it->kind == Kind::Record ? it->outLength : it->length, zeros = 0;
        if (it->kind == Kind::Record) {
            zeros = gribPaddedLength(n) - n; // the padding after the record
            progress.records++;
            progress.octetsIn += it->length;
        } else if (it->kind == Kind::Piece) {
            progress.octetsIn += it->length;
        }
        if (it->kind != Kind::Note && writing) {
            double w0 = wallTime(), c0 = threadCpu();
            int error = 0;
            bool ok = writeAll(r.out, p, n, zeros, &error);
            double c1 = threadCpu(), w1 = wallTime();
            {
                std::lock_guard<std::mutex> tg(r.timeLock);
                r.t.twrite += c1 - c0;
                r.t.wwrite += w1 - w0;
            }
            progress.octetsOut += n + zeros;
            if (!ok) {
                progress.erase();
                fprintf(stderr, "%s: write failed on %s\n%s\n", progname, r.ofile, strerror(error));
                r.failed = true;
                writing = false;
                r.pipe.halt();
                break;
            }
        }
        releaseMapped(r, it->end);
        if (it->leftPacked) r.failed = true;
        if (!it->note.empty()) {
            progress.erase();
            fputs(it->note.c_str(), stderr);
        }
        progress.update(r, false);
    }
    progress.erase();
}

// ---- Command line ---------------------------------------------------------

const char *baseName(const char *arg)
{
    const char *slash = strrchr(arg, '/');
    return slash ? slash + 1 : arg;
}

void usage(FILE *fp) { fprintf(fp, "usage : %s [-P <nthread>]  ifile  ofile\n", progname); }

void help()
{
    bool pack = strcmp(progname, "recpack") == 0;
    usage(stdout);
    printf("\n%s\n"
           "Octets between records are copied as they stand, zero padding aside.\n\n"
           "  -P n   work on n records at a time (0: one per available processor; default 1)\n\n"
           "Exit status: 0 when every octet of ifile was carried into ofile%s;\n"
           "1 otherwise; 255 for bad arguments.\n",
           pack ? "Copies every GRIB record of ifile to ofile, szip-compressing the data sections of\n"
                  "edition 1 records."
                : "Copies every GRIB record of ifile to ofile, restoring szip-compressed data sections.",
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

long availableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
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
    Run r;
    if (strcmp(progname, "recpack") == 0)
        r.compress = true;
    else if (strcmp(progname, "recunpack") == 0)
        r.compress = false;
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
    // Extra file arguments are refused: they are most often a shell pattern,
    // and the last of them would be overwritten.
    if (argc == 5) {
        if (strcmp(argv[1], "-P") != 0 || !threadCount(argv[2], &r.workers)) {
            usage(stderr);
            return -1;
        }
        if (r.workers == 0) r.workers = availableProcessors();
        r.ifile = argv[3];
        r.ofile = argv[4];
    } else if (argc == 3) {
        r.ifile = argv[1];
        r.ofile = argv[2];
    } else {
        usage(stderr);
        return -1;
    }

    r.in = open(r.ifile, O_RDONLY);
    if (r.in < 0) return openFailed(r.ifile, errno);
    struct stat st;
    if (fstat(r.in, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(r.in);
        return openFailed(r.ifile, EISDIR);
    }
    r.insize = S_ISREG(st.st_mode) ? (int64_t)st.st_size : -1;
    // Opening the output truncates it: it must not be the input.
    if (sameFile(r.ifile, r.ofile)) {
        fprintf(stderr, "%s: input and output are the same file: %s\n", progname, r.ofile);
        close(r.in);
        return 1;
    }
    r.out = open(r.ofile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (r.out < 0) {
        int error = errno;
        close(r.in);
        return openFailed(r.ofile, error);
    }

    mapInput(r);
    int call0 = cpuTicks();
    double wall0 = wallTime();
    // Records in flight: enough to keep every worker busy while the writer
    // waits for the oldest, few enough to bound memory.
    r.pipe.limit = (size_t)r.workers + 2;
    pool.limit = 2 * r.pipe.limit;
    std::thread reader(readerThread, std::ref(r));
    std::vector<std::thread> workers;
    for (long k = 0; k < r.workers; ++k) workers.emplace_back(workerThread, std::ref(r));
    writerThread(r);
    r.pipe.halt();
    reader.join();
    for (std::thread &w : workers) w.join();
    if (mapFault.load() >= 0) {
        fprintf(stderr, "%s: read failed on %s after offset %lld\n%s\n", progname, r.ifile,
                (long long)mapFault.load(), strerror(EIO));
        r.failed = true;
    }
    if (r.map) munmap(r.map, (size_t)r.insize);

    if (close(r.out) != 0) {
        fprintf(stderr, "%s: close failed on %s\n%s\n", progname, r.ofile, strerror(errno));
        r.failed = true;
    }
    close(r.in);
    int call1 = cpuTicks();
    double wall1 = wallTime();

    const Times &t = r.t;
    printf("tall=%.2f tsum=%.2f tread=%.2f tcompress=%.2f twrite=%.2f\n", cpuSeconds(call0, call1),
           t.tread + t.tcompress + t.twrite, t.tread, t.tcompress, t.twrite);
    printf("wall=%.2f wsum=%.2f wread=%.2f wcompress=%.2f wwrite=%.2f\n", wall1 - wall0,
           t.wread + t.wcompress + t.wwrite, t.wread, t.wcompress, t.wwrite);
    return r.failed ? 1 : 0;
}
