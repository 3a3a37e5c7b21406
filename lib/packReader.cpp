// The reader of recPackFile: frames records in memory (so pipes and files
// behave alike and nothing is read twice; a mapped input is not even
// copied) and carries the stretches between them over in pieces.
#include "packFile.h"
#include "support.h"
#include "grib1.h"

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
    int64_t fedTo = 0;  // input offset past the octets carried into pieces: a piece's end, so
                        // that no page is given back before it was copied

    // The stretch of octets between records being carried over.
    bool active = false, junk = false;
    int64_t start = 0;
    uint64_t copied = 0, zeros = 0; // octets of the stretch; zeros at its start
    uint64_t carried = 0;        // octets of every stretch so far
    std::string hidden;  // lines about packed records the stretch holds
    ItemPtr piece;
    // Restoring: zero octets after the last record that are the packer's
    // padding, still to be left out.
    size_t padLeft = 0;
    size_t view = searchView; // of a mapped input, searched at a time

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
            fedTo += (int64_t)c;
            if (p) p += c;
            n -= c;
            if (piece->length == piece->capacity && !flushPiece()) return false;
        }
        return true;
    }

    // Carries the n octets at buf[from] over, as they stand, as part of the
    // current stretch.
    bool feed(size_t from, size_t n)
    {
        if (n == 0) return true;
        const unsigned char *p = buf + from;
        fedTo = base + (int64_t)from; // append moves it on as it copies
        if (!active) {
            active = true;
            junk = false;
            start = base + (int64_t)from;
            copied = zeros = 0;
        }
        // Zeros are carried without a word, a stretch of them or at the
        // start of one: zeros between records are common, most often a
        // record's padding, and nothing about them needs telling.
        if (!junk) {
            const size_t k = (size_t)(std::find_if(p, p + n, [](unsigned char c) { return c != 0; }) - p);
            zeros += k;
            junk = k < n;
        }
        copied += n;
        return append(p, n);
    }

    bool endStretch()
    {
        bool ok = flushPiece();
        if (active) {
            std::string lines;
            if (junk)
                lines = format("%s: %llu octets at offset %lld hold no GRIB record; copied as they stand\n", r.prog,
                               (unsigned long long)(copied - zeros), (long long)(start + (int64_t)zeros));
            lines += hidden;
            carried += copied;
            if (!lines.empty()) {
                auto note = std::make_unique<Item>(r.pool);
                note->kind = Kind::Note;
                note->note = lines;
                ok = ok && r.pipe.push(note);
            }
        }
        hidden.clear();
        active = false;
        return ok;
    }

    // Sends the n octets at pos out as a record and moves past them.
    bool pushRecord(size_t n, bool large)
    {
        auto it = std::make_unique<Item>(r.pool);
        it->large = large;
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
        // Sections that do not frame: the locator says why, the coder's
        // text goes to standard output, and the record is copied as read;
        // the writer puts these lines out with the record, in file order.
        if (gribVersion(it->data, n) == 1) {
            const g1::Located l = g1::locate1(it->data, (long)n);
            it->damaged = l.status;
            if (it->damaged) {
                {
                    Hearing hearing(it->heard);
                    g1::reportLocated(l);
                }
                it->fixed = it->damaged < 0 ? "GRIB message error\n" : "GRIB data corrupted!\n";
                it->note = format("%s: GRIB record at offset %lld is damaged; copied as read\n", r.prog,
                                  (long long)it->offset);
            }
            // Restoring, a record whose sections can't be found but lead
            // to a data section in the szip form holds packed data that
            // stays packed: the run can't say all was restored.
            it->leftPacked = it->damaged && !r.compress && hiddenPacked(it->data, n);
        }
        return r.pipe.push(it);
    }

    // Whether the n octets at p are a record in the large form: its
    // indicator states R octets, at most 119 beyond the record.
    static bool largeForm(const unsigned char *p, size_t n)
    {
        if (gribVersion(p, n) != 1) return false;
        const int64_t R = g1::paddedFromIndicator(g1::get3(p + 4));
        return R >= (int64_t)n && (uint64_t)R - n <= maxPadding;
    }

    void loop()
    {
        bool ok = true;
        while (ok) {
            if (padLeft) {
                const size_t from = pos;
                while (padLeft && pos < len && buf[pos] == 0) ++pos, --padLeft;
                r.padRemoved += pos - from;
                if (padLeft && pos == len && !eof) {
                    if (!fill(1)) break;
                    continue;
                }
                padLeft = 0;
            }
            // A mapped input is searched a view at a time, so that the pages
            // of a long stretch are read only as it goes out.
            size_t held = len - pos;
            const bool whole = !mapped || held <= view;
            if (!whole) held = view;
            const bool atEnd = eof && whole;
            size_t off = 0, need = 0;
            int s = gribFindRecord(buf + pos, held, &off, &need);
            if (s == VALMORA_FIND_NONE) {
                if (atEnd) {
                    ok = feed(pos, len - pos);
                    pos = len;
                    break;
                }
                ok = feed(pos, off);
                pos += off;
                if (!mapped && !fill(len - pos + 1)) break;
                continue;
            }
            ok = feed(pos, off);
            pos += off;
            if (s == VALMORA_FIND_MORE) {
                // A record longer than what is held: read on up to its end,
                // unless its lengths already say it can't be a record, or
                // claim more than a pipe may hold.
                bool past = r.insize >= 0 && (uint64_t)(base + (int64_t)pos) + need > (uint64_t)r.insize;
                const size_t cap = r.insize < 0 ? r.pipeLimit : maxRecord;
                if (need <= cap && !past && !atEnd) {
                    if (mapped) {
                        view = std::max(view, need);
                        continue;
                    }
                    if (!fill(need)) break;
                    if (len - pos >= need || !eof) continue;
                }
                s = VALMORA_FIND_NOT_RECORD;
            }
            if (s == VALMORA_FIND_RECORD && need > maxRecord) s = VALMORA_FIND_NOT_RECORD;
            view = searchView;
            if (s == VALMORA_FIND_NOT_RECORD) {
                // Not a record: its marker belongs to the stretch, and the
                // search goes on right after it. Restoring, a packed record
                // may lie behind it, hidden by damage.
                if (!r.compress && hiddenPacked(buf + pos, len - pos)) {
                    hidden += format("%s: damaged packed GRIB record at offset %lld; copied as it stands\n",
                                     r.prog, (long long)(base + (int64_t)pos));
                    r.failed = true;
                }
                ok = ok && feed(pos, markerLength);
                pos += markerLength;
                continue;
            }
            // The large form is framed with its padding, up to the R octets
            // its indicator states, where the input holds them as zeros
            // (a writer that leaves them out puts the next record there).
            const bool large = largeForm(buf + pos, need);
            if (large) {
                const size_t span = (size_t)g1::paddedFromIndicator(g1::get3(buf + pos + 4));
                if (span > len - pos && !eof) {
                    if (!fill(span)) break;
                    continue;
                }
                if (span <= len - pos && std::all_of(buf + pos + need, buf + pos + span, [](unsigned char c) {
                        return c == 0;
                    }))
                    need = span;
            }
            ok = ok && endStretch() && pushRecord(need, large);
            // Restoring: recpack padded every record but one in the large form.
            if (!r.compress && !large) padLeft = gribPaddedLength(need) - need;
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
        std::lock_guard<std::mutex> g(r.timeLock);
        r.result.octetsCarried = rd.carried;
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
