// The file pipeline of recPackFile: one reader frames records in memory,
// n workers compress or restore them at the same time, and one writer puts
// records, stretches and the run's own lines out in file order. Internal.
#ifndef VALMORA_PACKFILE_H
#define VALMORA_PACKFILE_H

#include "valmora.h"
#include "support.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pack __attribute__((visibility("hidden"))) {

constexpr size_t readChunk = 1u << 20;    // octets per read(2): few calls, little memory
constexpr size_t probeChunk = 64u << 10;  // the first read after a long record: enough to frame
                                          // the next, little to copy into that one's own buffer
constexpr size_t pieceLength = 1u << 20;  // a long stretch goes out in pieces of this size
constexpr uint64_t maxPadding = 119;      // most zero octets a writer pads a record with
constexpr size_t pipeCap = 256u << 20;    // a record held from a pipe at most, unless raised:
                                          // a false length claim costs no more memory
constexpr size_t searchView = 4u << 20;   // octets of a mapped input searched at a time: a long
                                          // stretch is never touched whole before it goes out
constexpr size_t padRoom = 256;           // room after a compressed copy: its padding (<= 119) fits
constexpr size_t unpackRoom = 100;        // room recUnpack is given beyond the restored record
constexpr size_t maxRecord = 0x40000000;  // longer claims are no record: bounds memory on a pipe,
                                          // and lies above the largest large form (1,006,632,840)
constexpr size_t markerLength = 4;        // "GRIB"
// Octets that small items may hold in flight beyond the count of records:
// with their compressed or restored copies they stay well within
// the 16 MB that the memory bound leaves besides the records themselves.
constexpr size_t smallItemOctets = 4u << 20;
// The mapped input is read ahead, and its pages given back once written
// out, in steps of this many octets: a call per small record would cost
// more than it saves, and each page given back interrupts the other cores.
constexpr size_t mapStep = 2u << 20;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Wall-clock seconds from a steady clock, and the calling thread's
// processor time, so that each thread counts its own phase.
double wallTime();
double threadCpu();

// While it lives, what the library says on the calling thread is kept in
// `into` instead of written, so that it goes out with its item.
class Hearing {
public:
    explicit Hearing(std::string &into);
    Hearing(const Hearing &) = delete;
    Hearing &operator=(const Hearing &) = delete;
    ~Hearing();

private:
    MessageSink_ before;
};

// Record buffers are used again instead of being freed: a fresh buffer costs
// a page fault per 4 kB on first touch, a tenth of the work of a record.
class BufferPool {
public:
    struct Buffer {
        unsigned char *data = nullptr;
        size_t capacity = 0;
    };
    BufferPool() = default;
    BufferPool(const BufferPool &) = delete;
    BufferPool &operator=(const BufferPool &) = delete;
    ~BufferPool();

    // A buffer of at least `need` octets, its contents undefined.
    Buffer take(size_t need);
    void give(Buffer b);

    size_t limit = 8; // buffers kept at most: those in flight, so memory stays bounded

private:
    std::mutex m;
    std::vector<Buffer> kept;
};

// One unit of the output, in file order.
enum class Kind { Record, Piece, Note };

struct Item {
    explicit Item(BufferPool &p) : pool(p) {}
    Item(const Item &) = delete;
    Item &operator=(const Item &) = delete;
    ~Item()
    {
        if (allocated) pool.give({data, allocated});
        pool.give(restored);
    }

    BufferPool &pool;
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
    std::string note;               // the run's lines for this item
    std::string heard;              // the library's lines while the item was framed or worked on
    const char *fixed = nullptr;    // the locator's fixed text for a record that does not frame
    bool large = false;             // a large-form record, framed with its padding
    unsigned otherWidth = 0;        // bits per value, when szip does not code them
    bool coded = false;             // compressed or restored
    bool leftPacked = false;        // a packed record not restored
    bool done = false;              // ready for the writer (guarded by the pipeline's lock)
};

using ItemPtr = std::unique_ptr<Item>;

// The queue of items between the reader and the writer. Bounded in count,
// so memory stays within a few record sizes per worker; small items may go
// past the count while they hold few octets, so that workers on an archive
// of small records are not starved by the count alone.
struct Pipeline {
    std::mutex m;
    std::condition_variable space, work, done;
    std::deque<ItemPtr> order; // every item, until written: they own the items
    std::deque<Item *> todo;   // records waiting for a worker
    size_t limit = 4;
    size_t held = 0;           // octets of the items in order
    bool readerDone = false;
    bool stop = false;
    double readerWait = 0; // wall time the reader waited for room

    bool room(size_t octets) const { return order.size() < limit || held + octets <= smallItemOctets; }
    // Takes the item (leaving `it` empty) unless the run was halted.
    bool push(ItemPtr &it);
    void finishReading();
    void halt();
};

// A regular input file mapped read-only (see packMap.cpp).
struct Mapping {
    unsigned char *data = nullptr;
    size_t length = 0;
    int slot = -1;
};

// Maps `length` octets of fd; false (the file is then read instead) where
// it can't be mapped or every slot of the bus-error handler is taken.
bool mapInput(int fd, size_t length, Mapping &m);
// Unmaps; the lowest offset of a page that could not be read, or -1.
int64_t unmapInput(Mapping &m);
size_t pageSize();

struct Run {
    explicit Run(const recPackOptions &o) : opt(o) {}

    const recPackOptions &opt;
    bool compress = true;
    const char *prog = "recpack";
    const char *inName = "";
    const char *outName = "";
    int in = -1, out = -1;
    int64_t insize = -1; // octets of a regular input file, else -1
    bool outIsStdout = false; // the data go to standard output: every line to standard error
    Mapping map;              // a regular input file, mapped; read-only
    size_t released = 0;      // octets of the map whose pages the writer gave back
    BufferPool pool;
    Pipeline pipe;
    recPackResult result{};   // counts and times, filled as the run goes
    std::mutex timeLock;      // guards the times of result
    std::mutex sayLock;       // one line at a time, progress included
    std::atomic<bool> failed{false}; // something was not carried over: status 1
    size_t pipeLimit = pipeCap;      // the longest record held from a pipe
    std::atomic<uint64_t> padRemoved{0}; // restoring: the packer's padding left out
    // What the workers saw, for the summary's reason (guarded by timeLock).
    uint64_t edition1 = 0, codableWidth = 0, alreadyPacked = 0;
    bool saidWidth = false; // the writer named a record of a width szip does not code

    // The run's own lines, through the caller's message function or on
    // standard error; with `fixed`, a text that goes to standard output
    // unless the data do.
    void say(const std::string &text, bool fixed = false);
    // The same, with sayLock held.
    void sayHeld(const std::string &text, bool fixed = false);
    // Lets the caller's progress line be erased before the library writes
    // (sayLock held).
    void quiet();
};

// Whether the n octets at p start an edition 1 marker whose sections, walked
// by their own lengths, lead to a data section in the szip form: a packed
// record whose indicator or end section is damaged.
bool hiddenPacked(const unsigned char *p, size_t n);
// Whether the record (n octets, framed) reads as plain although BDS octet 14
// holds the szip code and octets 15-23 agree with its lengths: a packed
// record whose szip flag was cleared.
bool clearedSzipFlag(const unsigned char *rec, size_t n);

void readerThread(Run &r);
void workerThread(Run &r);
void writerThread(Run &r);

} // namespace pack

#endif
