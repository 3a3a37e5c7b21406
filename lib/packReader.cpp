// The reader of recPackFile: frames records in memory (so pipes and files
// behave alike and nothing is read twice; a mapped input is not even
// copied) and carries the stretches between them over in pieces.
#include "packFile.h"
#include "gribLocate.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace pack __attribute__((visibility("hidden"))) {
namespace {

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

    explicit Reader(Run &run) : r(run), mapped(run.map.data != nullptr)
    {
        if (mapped) {
            buf = r.map.data;
            capacity = len = r.map.length;
            eof = true;
        }
    }
    ~Reader()
    {
        if (!mapped) memRelease(buf);
        memRelease(spare);
    }

    // Moves what is held from pos into a buffer of `need` octets, so that a
    // record of `need` octets can leave in it.
    bool ownBuffer(size_t need)
    {
        if (capacity >= need && spare) return true;
        BufferPool::Buffer b = r.pool.take(need);
        if (!b.data) {
            error = ENOMEM;
            return false;
        }
        if (len > pos) memcpy(b.data, buf + pos, len - pos);
        if (spare)
            r.pool.give({buf, capacity});
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
                void *p = memResize(buf, grown);
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
        ItemPtr p = std::move(piece);
        p->end = fedTo;
        return r.pipe.push(p);
    }

    bool append(const unsigned char *p, size_t n)
    {
        while (n > 0) {
            if (!piece) {
                piece = std::make_unique<Item>(r.pool);
                piece->kind = Kind::Piece;
                BufferPool::Buffer b = r.pool.take(pieceLength);
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
            auto note = std::make_unique<Item>(r.pool);
            note->kind = Kind::Note;
            note->note = format("%s: %llu octets at offset %lld hold no GRIB record; copied as they stand\n", r.prog,
                                (unsigned long long)copied, (long long)reportAt);
            ok = ok && r.pipe.push(note);
        }
        active = false;
        return ok;
    }

    // Sends the n octets at pos out as a record and moves past them.
    bool pushRecord(size_t n)
    {
        auto it = std::make_unique<Item>(r.pool);
        it->offset = base + (int64_t)pos;
        it->length = n;
        it->end = it->offset + (int64_t)n;
        if (mapped) {
            // Compressed or restored from where it lies; its pages are read
            // ahead meanwhile, should the file not be in the page cache.
            it->data = buf + pos;
            pos += n;
            if (pos > advised) {
                const size_t page = pageSize();
                const size_t from = advised / page * page;
                advised = std::min(len, std::max(pos, advised + mapStep));
                madvise(buf + from, advised - from, MADV_WILLNEED);
            }
        } else if (spare && pos == 0 && len == n && capacity >= n) {
            // The record's own buffer goes with it; reading goes on in the spare.
            it->data = buf;
            it->allocated = capacity;
            buf = spare, capacity = spareCapacity;
            spare = nullptr;
            spareCapacity = 0;
            base += (int64_t)n;
            len = 0;
            probe = true;
        } else {
            BufferPool::Buffer b = r.pool.take(n);
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
            it->damaged = grib1Locate(it->data, (long)n, &pds, &gds, &bms, &bds, &recsize, false);
            if (it->damaged) {
                std::lock_guard<std::mutex> g(r.sayLock);
                r.quiet();
                grib1Locate(it->data, (long)n, &pds, &gds, &bms, &bds, &recsize, true);
                r.sayHeld(it->damaged < 0 ? "GRIB message error\n" : "GRIB data corrupted!\n", true);
                it->note = format("%s: GRIB record at offset %lld is damaged; copied as read\n", r.prog,
                                  (long long)it->offset);
            }
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
            if (s == VALMORA_FIND_NONE) {
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
            if (s == VALMORA_FIND_MORE) {
                // A record longer than what is held: read on up to its end,
                // unless its lengths already say it can't be a record.
                bool past = r.insize >= 0 && (uint64_t)(base + (int64_t)pos) + need > (uint64_t)r.insize;
                if (need <= maxRecord && !past && !eof) {
                    if (!fill(need)) break;
                    if (len - pos >= need || !eof) continue;
                }
                s = VALMORA_FIND_NOT_RECORD;
            }
            if (s == VALMORA_FIND_RECORD && need > maxRecord) s = VALMORA_FIND_NOT_RECORD;
            if (s == VALMORA_FIND_NOT_RECORD) {
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
            auto note = std::make_unique<Item>(r.pool);
            note->kind = Kind::Note;
            note->note = format("%s: read failed on %s after offset %lld\n%s\n", r.prog, r.inName,
                                (long long)(base + (int64_t)len), strerror(error));
            r.failed = true;
            if (!r.pipe.push(note)) r.say(note->note);
        }
    }
};

} // namespace

void readerThread(Run &r)
{
    double w0 = wallTime(), c0 = threadCpu();
    {
        Reader rd(r);
        rd.loop();
    }
    double c1 = threadCpu(), w1 = wallTime();
    double waited;
    {
        std::lock_guard<std::mutex> g(r.pipe.m);
        waited = r.pipe.readerWait;
    }
    {
        std::lock_guard<std::mutex> g(r.timeLock);
        r.result.cpuRead += c1 - c0;
        r.result.wallRead += w1 - w0 - waited;
    }
    r.pipe.finishReading();
}

} // namespace pack
