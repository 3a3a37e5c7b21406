// The writer of recPackFile: records, stretch pieces and the run's own
// lines go out in file order, each record followed by its padding.
#include "packFile.h"
#include "szip.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/mman.h>
#include <sys/uio.h>

namespace pack __attribute__((visibility("hidden"))) {
namespace {

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

// Gives back the pages of the mapped input before `end`, once written out:
// they stay in the page cache, and resident memory stays within the bound
// of the records in flight.
void releaseMapped(Run &r, int64_t end)
{
    if (!r.map.data || end <= 0) return;
    const size_t page = pageSize();
    const size_t upTo = std::min((size_t)end, r.map.length) / page * page;
    if (upTo < r.released + mapStep && upTo + page < r.map.length) return;
    if (upTo <= r.released) return;
    madvise(r.map.data + r.released, upTo - r.released, MADV_DONTNEED);
    r.released = upTo;
}

} // namespace

void writerThread(Run &r)
{
    recPackResult &res = r.result;
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
            it = std::move(r.pipe.order.front());
            r.pipe.order.pop_front();
            r.pipe.held -= it->footprint;
            r.pipe.space.notify_one();
            if (it->kind == Kind::Record && r.compress) {
                std::lock_guard<std::mutex> tg(r.timeLock);
                res.wallCode += w1 - w0;
            }
        }
        const unsigned char *p = it->kind == Kind::Record ? it->out : it->data;
        size_t n = it->kind == Kind::Record ? it->outLength : it->length, zeros = 0;
        if (it->kind == Kind::Record) {
            // The padding after the record: recpack's, which recunpack
            // leaves out again; the large form brings its own.
            if (r.compress && !it->large) zeros = gribPaddedLength(n) - n;
            if (it->coded)
                res.recordsCoded++;
            else if (it->leftPacked)
                res.recordsLeftPacked++;
            else
                res.recordsCopied++;
            res.octetsIn += it->length;
        } else if (it->kind == Kind::Piece) {
            res.octetsIn += it->length;
        }
        res.octetsIn += r.padRemoved.exchange(0);
        if (it->kind != Kind::Note && writing) {
            double w0 = wallTime(), c0 = threadCpu();
            int error = 0;
            bool ok = writeAll(r.out, p, n, zeros, &error);
            double c1 = threadCpu(), w1 = wallTime();
            {
                std::lock_guard<std::mutex> tg(r.timeLock);
                res.cpuWrite += c1 - c0;
                res.wallWrite += w1 - w0;
            }
            res.octetsOut += n + zeros;
            if (!ok) {
                r.say(format("%s: write failed on %s\n%s\n", r.prog, r.outName, strerror(error)));
                r.failed = true;
                writing = false;
                r.pipe.halt();
                break;
            }
        }
        releaseMapped(r, it->end);
        if (it->leftPacked) r.failed = true;
        // recPack's once-per-process width line goes to whichever worker met
        // such a record first; the run puts it with the first one in file
        // order, so the output is the same for any number of workers.
        const size_t width = it->heard.find(g1::kSzipWidthWarning);
        if (width != std::string::npos) it->heard.erase(width, strlen(g1::kSzipWidthWarning));
        if (it->otherWidth && !r.saidWidth) {
            r.saidWidth = true;
            it->heard = g1::kSzipWidthWarning + it->heard;
            it->note = format("%s: GRIB record at offset %lld holds %u-bit data, which szip does not code; copied as "
                              "read\n",
                              r.prog, (long long)it->offset, it->otherWidth) +
                       it->note;
        }
        // The library's lines come first, followed by one of the run's
        // naming the record (every note of a record ends with one).
        if (!it->heard.empty() && it->note.empty())
            it->note = format("%s: the message above is about the GRIB record at offset %lld\n", r.prog,
                              (long long)it->offset);
        if (it->fixed) {
            std::lock_guard<std::mutex> g(r.sayLock);
            if (!it->heard.empty()) r.sayHeld(it->heard);
            r.sayHeld(it->fixed, true);
            r.sayHeld(it->note);
        } else if (!it->note.empty()) {
            r.say(it->heard + it->note);
        }
        if (r.opt.progress) {
            std::lock_guard<std::mutex> g(r.sayLock);
            recPackResult sofar;
            {
                std::lock_guard<std::mutex> tg(r.timeLock);
                sofar = res;
            }
            r.opt.progress(r.opt.context, &sofar);
        }
    }
}

} // namespace pack
