// Buffered file layer over POSIX descriptors.
//
// One buffer per file serves reads and writes (never both at once). Small
// reads are served from the buffer; reads larger than the buffer go straight
// to the descriptor after the buffered octets are used, so a record read
// costs about one read() of its own. Positions are 64-bit throughout.
#include "support.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

struct valmora_file {
    int fd = -1;
    bool readable = false;
    bool writable = false;
    bool seekable = true;
    bool eof = false;
    int error = 0; // errno of the first failed read, write or move; 0 for none
    unsigned char *buf = nullptr;
    size_t bufsize = 0;
    // Read state: buf[pos .. len) are unread octets that start at file
    // offset bufoff + pos. Write state: buf[0 .. wlen) are pending octets.
    // On an input that cannot seek, buf[0 .. pos) keeps up to keepLimit()
    // octets already read, so that a caller can move back over them.
    size_t pos = 0;
    size_t len = 0;
    size_t wlen = 0;
    int64_t bufoff = 0; // file offset of buf[0]
};

namespace {

constexpr size_t defaultBufferSize = 64 * 1024;
// Octets kept before the read position of a pipe or FIFO when the buffer is
// refilled: a marker and a record's headers up to its data section (the
// grid description of a reduced N1280 grid alone takes 5 KB).
constexpr size_t keepBackSize = 16 * 1024;

// The table of open files grows in chunks that never move, so a thread can
// look up its own ID while another opens a file: the first chunk is static,
// later ones are taken once and kept for the life of the process.
constexpr size_t chunkSize = 256;
constexpr size_t maxChunks = 4096; // 1,048,576 open files at most
using Slot = std::atomic<valmora_file *>;
Slot firstChunk[chunkSize];
std::atomic<Slot *> chunks[maxChunks] = {firstChunk};
std::mutex tableLock; // serialises opens and closes, never lookups

std::atomic<fileReadFunction> readFunction{nullptr};

valmora_file *lookup(int fileID)
{
    if (fileID < 0) return nullptr;
    size_t c = (size_t)fileID / chunkSize;
    if (c >= maxChunks) return nullptr;
    Slot *chunk = chunks[c].load(std::memory_order_acquire);
    return chunk ? chunk[(size_t)fileID % chunkSize].load(std::memory_order_acquire) : nullptr;
}

// Stores f under the lowest free ID; -1 when the table is full.
int enter(valmora_file *f)
{
    std::lock_guard<std::mutex> lock(tableLock);
    for (size_t c = 0; c < maxChunks; ++c) {
        Slot *chunk = chunks[c].load(std::memory_order_relaxed);
        if (!chunk) {
            chunk = (Slot *)memAlloc(chunkSize * sizeof(Slot));
            if (!chunk) return -1;
            for (size_t i = 0; i < chunkSize; ++i) new (&chunk[i]) Slot(nullptr);
            chunks[c].store(chunk, std::memory_order_release);
        }
        for (size_t i = 0; i < chunkSize; ++i)
            if (!chunk[i].load(std::memory_order_relaxed)) {
                chunk[i].store(f, std::memory_order_release);
                return (int)(c * chunkSize + i);
            }
    }
    return -1;
}

void leave(int fileID)
{
    std::lock_guard<std::mutex> lock(tableLock);
    chunks[(size_t)fileID / chunkSize].load(std::memory_order_relaxed)[(size_t)fileID % chunkSize].store(
        nullptr, std::memory_order_release);
}

void release(valmora_file *f)
{
    memRelease(f->buf);
    f->~valmora_file();
    memRelease(f);
}

// Keeps the first error; errno tells the caller's own report about it.
inline void setError(valmora_file *f, int err)
{
    if (!err) err = EIO;
    if (!f->error) f->error = err;
    errno = err;
}

bool ensureBuffer(valmora_file *f)
{
    if (f->buf) return true;
    if (f->bufsize == 0) f->bufsize = defaultBufferSize;
    f->buf = (unsigned char *)memAlloc(f->bufsize);
    if (!f->buf) setError(f, ENOMEM);
    return f->buf != nullptr;
}

bool writeAll(valmora_file *f, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(f->fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            setError(f, errno);
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Write pending output; the buffer then starts at the new file offset.
bool flushWrites(valmora_file *f)
{
    if (f->wlen == 0) return true;
    bool ok = writeAll(f, f->buf, f->wlen);
    f->bufoff += (int64_t)f->wlen;
    f->wlen = 0;
    return ok;
}

// One read of the descriptor: the count, 0 at end of file, -1 on an error
// (kept in the file's error indicator, apart from end of file).
ssize_t readSome(valmora_file *f, unsigned char *p, size_t n)
{
    fileReadFunction hook = readFunction.load(std::memory_order_relaxed);
    for (;;) {
        ssize_t r = hook ? (ssize_t)hook(f->fd, p, n) : ::read(f->fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) setError(f, errno);
        if (r == 0) f->eof = true;
        return r;
    }
}

size_t keepLimit(const valmora_file *f)
{
    if (f->seekable) return 0;
    return keepBackSize < f->bufsize / 2 ? keepBackSize : f->bufsize / 2;
}

// Refill the read buffer; false at end of file or on error. A read error
// stays until fileClearerr: what follows it cannot be trusted.
bool refill(valmora_file *f)
{
    if (f->error || !f->readable || !ensureBuffer(f)) return false;
    if (f->wlen && !flushWrites(f)) return false;
    size_t keep = f->len < keepLimit(f) ? f->len : keepLimit(f);
    if (keep) memmove(f->buf, f->buf + f->len - keep, keep);
    f->bufoff += (int64_t)(f->len - keep);
    f->pos = f->len = keep;
    ssize_t r = readSome(f, f->buf + keep, f->bufsize - keep);
    if (r <= 0) return false;
    f->len = keep + (size_t)r;
    return true;
}

int openFlags(const char *mode, bool &readable, bool &writable)
{
    bool plus = strchr(mode, '+') != nullptr;
    // The product interface also passes upper-case modes and 'c' (create).
    switch (tolower((unsigned char)mode[0])) {
    case 'r':
        readable = true;
        writable = plus;
        return plus ? O_RDWR : O_RDONLY;
    case 'w':
    case 'c':
        writable = true;
        readable = plus;
        return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        writable = true;
        readable = plus;
        return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return -1;
    }
}

} // namespace

extern "C" {

int fileOpen(const char *name, const char *mode)
{
    if (!name || !mode) return -1;
    bool readable = false, writable = false;
    int flags = openFlags(mode, readable, writable);
    if (flags == -1) return -1;
    int fd = ::open(name, flags | O_CLOEXEC, 0666);
    if (fd < 0) return -1;

    void *mem = memAlloc(sizeof(valmora_file));
    if (!mem) {
        ::close(fd);
        return -1;
    }
    valmora_file *f = new (mem) valmora_file;
    f->fd = fd;
    f->readable = readable;
    f->writable = writable;
    // Pipes, FIFOs, sockets and terminals read once, in order.
    f->seekable = ::lseek(fd, 0, SEEK_CUR) >= 0;
    // The buffer is taken now, not at the first transfer, so that a read
    // makes no request of its own.
    if (!ensureBuffer(f)) {
        ::close(fd);
        release(f);
        return -1;
    }
    if (flags & O_APPEND) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        f->bufoff = end < 0 ? 0 : (int64_t)end;
    }
    int id = enter(f);
    if (id < 0) {
        ::close(fd);
        release(f);
    }
    return id;
}

int fileClose(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (!f) return -1;
    bool ok = flushWrites(f) && !f->error;
    if (::close(f->fd) != 0) ok = false;
    leave(fileID);
    release(f);
    return ok ? 0 : -1;
}

size_t fileRead(int fileID, void *buffer, size_t n)
{
    valmora_file *f = lookup(fileID);
    return f ? filePtrRead(f, buffer, n) : 0;
}

size_t fileWrite(int fileID, const void *buffer, size_t n)
{
    valmora_file *f = lookup(fileID);
    if (!f || !f->writable || !ensureBuffer(f)) return 0;
    if (n == 0) return 0;
    const unsigned char *p = (const unsigned char *)buffer;
    if (f->len) { // drop read-ahead: the descriptor must stand at our position
        int64_t here = f->bufoff + (int64_t)f->pos;
        if (::lseek(f->fd, (off_t)here, SEEK_SET) < 0) {
            setError(f, errno);
            return 0;
        }
        f->bufoff = here;
        f->pos = f->len = 0;
    }
    if (f->wlen + n <= f->bufsize) {
        memcpy(f->buf + f->wlen, p, n);
        f->wlen += n;
        return n;
    }
    if (!flushWrites(f)) return 0;
    if (n >= f->bufsize) {
        if (!writeAll(f, p, n)) return 0;
        f->bufoff += (int64_t)n;
        return n;
    }
    memcpy(f->buf, p, n);
    f->wlen = n;
    return n;
}

int64_t fileGetPos(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (!f) return -1;
    return f->bufoff + (int64_t)(f->wlen ? f->wlen : f->pos);
}

int fileSetPos(int fileID, int64_t offset, int whence)
{
    valmora_file *f = lookup(fileID);
    if (!f) return -1;
    int64_t target;
    if (whence == 0)
        target = offset;
    else if (whence == 1)
        target = fileGetPos(fileID) + offset;
    else if (whence == 2) {
        if (!f->seekable) {
            setError(f, ESPIPE);
            return -1;
        }
        // fstat, not lseek: the descriptor must stay where the read buffer
        // ends, or a move inside the buffer would lose the octets after it.
        if (!flushWrites(f)) return -1;
        struct stat st;
        if (::fstat(f->fd, &st) != 0) {
            setError(f, errno);
            return -1;
        }
        target = (int64_t)st.st_size + offset;
    } else
        return -1;
    if (target < 0) return -1; // a wrong argument: nothing changes

    f->eof = false;
    // A move inside the read buffer costs nothing.
    if (f->wlen == 0 && f->len && target >= f->bufoff && target <= f->bufoff + (int64_t)f->len) {
        f->pos = (size_t)(target - f->bufoff);
        return 0;
    }
    if (!f->seekable) {
        // Forward by reading on from buffered octets; back beyond the kept
        // octets, or with nothing buffered, it cannot be done.
        if (f->wlen || f->len == 0 || target < f->bufoff) {
            setError(f, ESPIPE);
            return -1;
        }
        for (;;) {
            f->pos = f->len;
            if (!refill(f)) return -1;
            if (target <= f->bufoff + (int64_t)f->len) {
                f->pos = (size_t)(target - f->bufoff);
                return 0;
            }
        }
    }
    if (!flushWrites(f)) return -1;
    if (::lseek(f->fd, (off_t)target, SEEK_SET) < 0) {
        setError(f, errno);
        return -1;
    }
    f->bufoff = target;
    f->pos = f->len = 0;
    return 0;
}

int fileEOF(int fileID)
{
    valmora_file *f = lookup(fileID);
    return f ? f->eof : 1;
}

int fileError(int fileID)
{
    valmora_file *f = lookup(fileID);
    return f ? f->error : EBADF;
}

void fileClearerr(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (f) {
        f->eof = false;
        f->error = 0;
    }
}

int fileFlush(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (!f) return -1;
    return flushWrites(f) && !f->error ? 0 : -1;
}

void fileSetBufferSize(int fileID, long size)
{
    valmora_file *f = lookup(fileID);
    if (!f || size <= 0 || f->len || f->wlen) return;
    memRelease(f->buf);
    f->buf = nullptr;
    f->bufsize = (size_t)size;
    ensureBuffer(f);
}

void fileSetReadFunction(fileReadFunction function) { readFunction.store(function); }

void *filePtr(int fileID) { return lookup(fileID); }

int filePtrGetc(void *handle)
{
    valmora_file *f = (valmora_file *)handle;
    if (!f) return -1;
    if (f->pos == f->len && !refill(f)) return -1;
    return f->buf[f->pos++];
}

size_t filePtrRead(void *handle, void *buffer, size_t n)
{
    valmora_file *f = (valmora_file *)handle;
    if (!f || !f->readable || n == 0 || f->error || !ensureBuffer(f)) return 0; // n = 0 may come with a null buffer
    unsigned char *p = (unsigned char *)buffer;
    size_t done = 0;
    if (f->wlen && !flushWrites(f)) return 0;
    size_t have = f->len - f->pos;
    if (have) {
        size_t take = have < n ? have : n;
        memcpy(p, f->buf + f->pos, take);
        f->pos += take;
        done = take;
    }
    // Large remainders bypass the buffer.
    while (done < n && n - done >= f->bufsize && f->bufsize) {
        f->bufoff += (int64_t)f->len;
        f->pos = f->len = 0;
        size_t want = n - done;
        if (want > (size_t)SSIZE_MAX) want = (size_t)SSIZE_MAX;
        ssize_t r = readSome(f, p + done, want);
        if (r <= 0) return done;
        done += (size_t)r;
        f->bufoff += r;
    }
    while (done < n) {
        if (!refill(f)) return done;
        size_t take = f->len - f->pos < n - done ? f->len - f->pos : n - done;
        memcpy(p + done, f->buf + f->pos, take);
        f->pos += take;
        done += take;
    }
    return done;
}

int filePtrEOF(void *handle)
{
    valmora_file *f = (valmora_file *)handle;
    return f ? f->eof : 1;
}

int filePtrError(void *handle)
{
    valmora_file *f = (valmora_file *)handle;
    return f ? f->error : EBADF;
}

int filePtrSearch(void *handle, uint32_t marker, long limit, long *count)
{
    valmora_file *f = (valmora_file *)handle;
    const unsigned char first = (unsigned char)(marker >> 24);
    uint32_t window = 0;
    long n = 0;
    *count = 0;
    if (!f) return -1;
    for (;;) {
        if (f->pos == f->len && !refill(f)) {
            *count = n;
            return -1;
        }
        // Fast path: with no partial marker in the window, skip straight to
        // the next candidate first octet. The window only matters from there.
        if ((window & 0xFFFFFFu) == 0 && f->buf[f->pos] != first) {
            size_t avail = f->len - f->pos;
            if ((long)avail > limit - n) avail = (size_t)(limit - n);
            const void *hit = memchr(f->buf + f->pos, first, avail);
            size_t skip = hit ? (size_t)((const unsigned char *)hit - (f->buf + f->pos)) : avail;
            f->pos += skip;
            n += (long)skip;
            if (n >= limit) {
                *count = n;
                return 1;
            }
            continue;
        }
        window = window << 8 | f->buf[f->pos++];
        if (window == marker) {
            *count = n;
            return 0;
        }
        if (++n >= limit) {
            *count = n;
            return 1;
        }
        // Keep only the part of the window that can still grow into a marker.
        if ((window & 0xFFFFFFu) != (marker >> 8) && (window & 0xFFFFu) != (marker >> 16) &&
            (window & 0xFFu) != first)
            window = 0;
    }
}

} // extern "C"
