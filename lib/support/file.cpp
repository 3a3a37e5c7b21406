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

#include <vector>

struct valmora_file {
    int fd = -1;
    bool readable = false;
    bool writable = false;
    bool eof = false;
    bool error = false;
    unsigned char *buf = nullptr;
    size_t bufsize = 0;
    // Read state: buf[pos .. len) are unread octets that start at file
    // offset bufoff + pos. Write state: buf[0 .. wlen) are pending octets.
    size_t pos = 0;
    size_t len = 0;
    size_t wlen = 0;
    int64_t bufoff = 0; // file offset of buf[0]
};

namespace {

constexpr size_t defaultBufferSize = 64 * 1024;
std::vector<valmora_file *> files;

valmora_file *lookup(int fileID)
{
    if (fileID < 0 || (size_t)fileID >= files.size()) return nullptr;
    return files[fileID];
}

bool ensureBuffer(valmora_file *f)
{
    if (f->buf) return true;
    if (f->bufsize == 0) f->bufsize = defaultBufferSize;
    f->buf = (unsigned char *)malloc(f->bufsize);
    return f->buf != nullptr;
}

bool writeAll(valmora_file *f, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(f->fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            f->error = true;
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

ssize_t readSome(valmora_file *f, unsigned char *p, size_t n)
{
    for (;;) {
        ssize_t r = ::read(f->fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) f->error = true;
        return r;
    }
}

// Refill the read buffer; false at end of file or on error.
bool refill(valmora_file *f)
{
    if (!f->readable || !ensureBuffer(f)) return false;
    if (f->wlen && !flushWrites(f)) return false;
    f->bufoff += (int64_t)f->len;
    f->pos = f->len = 0;
    ssize_t r = readSome(f, f->buf, f->bufsize);
    if (r <= 0) {
        f->eof = true;
        return false;
    }
    f->len = (size_t)r;
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

    valmora_file *f = new (std::nothrow) valmora_file;
    if (!f) {
        ::close(fd);
        return -1;
    }
    f->fd = fd;
    f->readable = readable;
    f->writable = writable;
    if (flags & O_APPEND) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        f->bufoff = end < 0 ? 0 : (int64_t)end;
    }

    for (size_t i = 0; i < files.size(); ++i)
        if (!files[i]) {
            files[i] = f;
            return (int)i;
        }
    files.push_back(f);
    return (int)files.size() - 1;
}

int fileClose(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (!f) return -1;
    bool ok = flushWrites(f) && !f->error;
    if (::close(f->fd) != 0) ok = false;
    free(f->buf);
    delete f;
    files[fileID] = nullptr;
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
            f->error = true;
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
        // fstat, not lseek: the descriptor must stay where the read buffer
        // ends, or a move inside the buffer would lose the octets after it.
        if (!flushWrites(f)) return -1;
        struct stat st;
        if (::fstat(f->fd, &st) != 0) return -1;
        target = (int64_t)st.st_size + offset;
    } else
        return -1;
    if (target < 0) return -1;

    f->eof = false;
    // A move inside the read buffer costs nothing.
    if (f->wlen == 0 && f->len && target >= f->bufoff && target <= f->bufoff + (int64_t)f->len) {
        f->pos = (size_t)(target - f->bufoff);
        return 0;
    }
    if (!flushWrites(f)) return -1;
    if (::lseek(f->fd, (off_t)target, SEEK_SET) < 0) return -1;
    f->bufoff = target;
    f->pos = f->len = 0;
    return 0;
}

int fileEOF(int fileID)
{
    valmora_file *f = lookup(fileID);
    return f ? f->eof : 1;
}

void fileClearerr(int fileID)
{
    valmora_file *f = lookup(fileID);
    if (f) f->eof = f->error = false;
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
    free(f->buf);
    f->buf = nullptr;
    f->bufsize = (size_t)size;
}

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
    if (!f || !f->readable || n == 0 || !ensureBuffer(f)) return 0; // n = 0 may come with a null buffer
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
        if (r <= 0) {
            f->eof = true;
            return done;
        }
        done += (size_t)r;
        f->bufoff += r;
    }
    while (done < n) {
        if (!refill(f)) return done;
        size_t take = f->len < n - done ? f->len : n - done;
        memcpy(p + done, f->buf, take);
        f->pos = take;
        done += take;
    }
    return done;
}

int filePtrEOF(void *handle)
{
    valmora_file *f = (valmora_file *)handle;
    return f ? f->eof : 1;
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
