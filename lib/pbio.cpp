// Product buffer interface: unit-based access to the file layer for callers
// that think in whole GRIB records. Results come back through pointers;
// traces go to standard output when "PBIO_DEBUG" asks for them.
#include "valmora.h"
#include "support.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

int debugSet = 0;                 // 0 before the first pbOpen, then 1 + level
const char *debugLevel = nullptr; // "PBIO_DEBUG" as the first pbOpen saw it
unsigned char sizeSet = 0;        // a valid "PBIO_BUFSIZE" has been read
const char *envSize = nullptr;    // "PBIO_BUFSIZE" as last read
long size = 0;                    // file buffer size; 0 keeps the layer's default
int rawSize = 0;                  // entries in rawFlag
// Per unit: 1 raw, 0 framed, -1 never returned by pbOpen. The last marks
// units this module must not frame or close on the caller's behalf.
int *rawFlag = nullptr;

constexpr int rawUnknown = -1;

inline bool tracing() { return debugSet >= 2; }

bool allDigits(const char *text)
{
    for (const char *c = text; *c; ++c)
        if (!isdigit((unsigned char)*c)) return false;
    return true;
}

// atoi/atol without their undefined overflow: out-of-range values clamp.
long toLong(const char *text) { return strtol(text, nullptr, 10); }

void readDebugLevel()
{
    debugLevel = getenv("PBIO_DEBUG");
    if (!debugLevel) {
        debugSet = 1;
        return;
    }
    for (const char *c = debugLevel; *c; ++c)
        if (!isdigit((unsigned char)*c)) {
            Print_(stdout, "Invalid number string in PBIO_DEBUG: %s\nPBIO_DEBUG must comprise only digits [0-9].\n",
                   debugLevel);
        }
    long level = toLong(debugLevel);
    if (level > INT_MAX - 1) level = INT_MAX - 1;
    // A negative level must not leave the flag at "not read yet": the level
    // is decided once per process.
    debugSet = level < 0 ? 1 : 1 + (int)level;
    if (level > 0) Print_(stdout, "PBIO_PBOPEN: debug switched on\n");
}

// Invalid sizes end the process: running on with a buffer the user did not
// ask for would hide a configuration mistake.
void readBufferSize()
{
    envSize = getenv("PBIO_BUFSIZE");
    if (!envSize) {
        size = 0;
        return;
    }
    if (!allDigits(envSize)) {
        Fatal_(stdout, "Invalid number string in PBIO_BUFSIZE: %s\nPBIO_BUFSIZE must comprise only digits [0-9].\n",
               envSize);
    }
    size = toLong(envSize);
    if (size <= 0) {
        Fatal_(stdout,
               "Invalid buffer size in PBIO_BUFSIZE: %s\nBuffer size defined by PBIO_BUFSIZE must be positive.\n",
               envSize);
    }
    sizeSet = 1;
}

// Makes room in the raw-mode table for `unit`: 8 entries at first, then
// twice the unit number whenever a unit reaches the size.
void ensureRawEntry(int unit)
{
    if (!rawFlag) {
        rawFlag = (int *)memAlloc(8 * sizeof(int));
        if (!rawFlag) SysError_("pbOpen", "No Memory!");
        for (int i = 0; i < 8; ++i) rawFlag[i] = rawUnknown;
        rawSize = 8;
    }
    if (unit >= rawSize) {
        int newSize = 2 * unit;
        int *grown = (int *)memResize(rawFlag, (size_t)newSize * sizeof(int));
        if (!grown) SysError_("pbOpen", "No Memory!");
        for (int i = rawSize; i < newSize; ++i) grown[i] = rawUnknown;
        rawFlag = grown;
        rawSize = newSize;
    }
}

bool knownUnit(int unit) { return unit >= 0 && unit < rawSize && rawFlag[unit] != rawUnknown; }

// A 4-byte big-endian length marker of a framed unit.
bool writeWord(int unit, uint32_t value)
{
    unsigned char word[4] = {(unsigned char)(value >> 24), (unsigned char)(value >> 16),
                             (unsigned char)(value >> 8), (unsigned char)value};
    return fileWrite(unit, word, 4) == 4;
}

// The 32-bit calls cannot express offsets beyond 2^31 - 1; such a position
// is an error rather than a silently wrapped number.
bool fitsInt(int64_t pos) { return pos >= 0 && pos <= INT_MAX; }

} // namespace

extern "C" {

void pbOpen(int *unit, const char *name, const char *mode, int *iret)
{
    if (debugSet == 0) readDebugLevel();

    *unit = 0;
    *iret = 0;
    if (tracing()) Print_(stdout, "PBIO_PBOPEN: file name = %s\n", name ? name : "");

    char m = mode ? mode[0] : '\0';
    switch (m) {
    case 'r': case 'w': case 'a': case 'c':
    case 'R': case 'W': case 'A': case 'C':
        break;
    default:
        *iret = -3;
        return;
    }
    if (tracing()) Print_(stdout, "PBIO_PBOPEN: file open mode = %c\n", m);

    if (!sizeSet) readBufferSize();

    *unit = fileOpen(name, mode);
    if (*unit == -1) {
        *iret = -1;
    } else {
        if (size > 0) fileSetBufferSize(*unit, size);
        ensureRawEntry(*unit);
        rawFlag[*unit] = 1;
    }
    if (tracing()) {
        Print_(stdout, "PBIO_PBOPEN: file ID = %d\n", *unit);
        Print_(stdout, "PBIO_PBOPEN: file buffer size = %ld\n", size);
    }
}

void pbSeek(int unit, int offset, int whence, int *iret)
{
    if (tracing()) {
        Print_(stdout, "PBIO_PBSEEK: file ID = %d\n", unit);
        Print_(stdout, "PBIO_PBSEEK: Offset = %d\n", offset);
        Print_(stdout, "PBIO_PBSEEK: Type of offset = %d\n", whence);
    }
    // From the end the offset always counts backwards, whatever its sign.
    int64_t off = offset;
    if (whence == 2) off = off < 0 ? off : -off;

    int64_t current = fileGetPos(unit);
    if (tracing()) Print_(stdout, "PBIO_PBSEEK: current position = %d\n", (int)current);

    int rc = (whence == 0 && current == off) ? 0 : fileSetPos(unit, off, whence);
    if (tracing()) Print_(stdout, "PBIO_PBSEEK: fileSetPos return code = %d\n", rc);

    if (rc != 0) {
        if (fileEOF(unit)) {
            *iret = -1;
        } else {
            *iret = -2;
            Perror_("pbseek");
        }
        fileClearerr(unit);
        return;
    }
    int64_t pos = fileGetPos(unit);
    if (!fitsInt(pos)) {
        errno = EOVERFLOW;
        Perror_("pbseek");
        *iret = -2;
        return;
    }
    *iret = (int)pos;
    if (tracing()) Print_(stdout, "PBIO_PBSEEK: byte offset from start of file = %d\n", *iret);
}

void pbSeek64(int unit, int64_t offset, int whence, int64_t *iret)
{
    if (tracing()) {
        Print_(stdout, "PBIO_PBSEEK64: file ID = %d\n", unit);
        Print_(stdout, "PBIO_PBSEEK64: Offset = %lld\n", (long long)offset);
        Print_(stdout, "PBIO_PBSEEK64: Type of offset = %d\n", whence);
    }
    int64_t current = fileGetPos(unit);
    if (tracing()) Print_(stdout, "PBIO_PBSEEK64: current position = %lld\n", (long long)current);

    long long rc = (whence == 0 && current == offset) ? 0 : fileSetPos(unit, offset, whence);
    if (tracing()) Print_(stdout, "PBIO_PBSEEK64: fileSetPos return code = %lld\n", rc);

    int64_t status;
    if (rc != 0) {
        if (fileEOF(unit)) {
            status = -1;
        } else {
            status = -2;
            Perror_("pbseek64");
        }
        fileClearerr(unit);
    } else {
        status = fileGetPos(unit);
        if (tracing())
            Print_(stdout, "PBIO_PBSEEK64: byte offset from start of file = %lld\n", (long long)status);
    }
    *iret = status;
}

void pbTell(int unit, int *iret)
{
    int64_t pos = fileGetPos(unit);
    int status = fitsInt(pos) ? (int)pos : pos < 0 ? (int)pos : -1;
    if (status < 0) {
        if (tracing()) {
            Print_(stdout, "PBIO_PBTELL: file ID = %d. Error status = %d\n", unit, status);
        }
        errno = pos < 0 ? EBADF : EOVERFLOW;
        Perror_("pbtell");
        status = -2;
    }
    *iret = status;
    if (tracing()) {
        Print_(stdout, "PBIO_PBTELL: file ID = %d. Byte offset from start of file = %d\n", unit, status);
    }
}

void pbRead(int unit, void *buffer, int nbytes, int *iret)
{
    if (tracing()) {
        Print_(stdout, "PBIO_READ: file ID = %d. Number of bytes to read = %d\n", unit, nbytes);
    }
    // A negative count would become an enormous size_t and overrun the buffer.
    if (nbytes < 0) {
        errno = EINVAL;
        Perror_("pbread");
        *iret = -2;
        return;
    }
    size_t n = fileRead(unit, buffer, (size_t)nbytes);
    *iret = (int)n;
    if (n != (size_t)nbytes) {
        if (fileEOF(unit)) {
            *iret = -1;
            fileClearerr(unit);
        } else {
            *iret = -2;
            Perror_("pbread");
            fileClearerr(unit);
            return;
        }
    }
    if (tracing()) {
        Print_(stdout, "PBIO_READ: file ID = %d. Number of bytes read = %d\n", unit, (int)n);
    }
}

void pbWrite(int unit, const void *buffer, int nbytes, int *iret)
{
    if (tracing()) {
        Print_(stdout, "PBIO_WRITE: file ID = %d. Number of bytes to write = %d\n", unit, nbytes);
    }
    if (!knownUnit(unit)) {
        *iret = -1;
        return;
    }
    if (nbytes < 0) {
        errno = EINVAL;
        Perror_("pbwrite");
        *iret = -1;
        return;
    }
    bool framed = rawFlag[unit] == 0;
    if (framed) {
        if (fileGetPos(unit) == 0 && !writeWord(unit, 0)) Perror_("pbwrite");
        if (!writeWord(unit, (uint32_t)nbytes)) Perror_("pbwrite");
    }
    size_t n = fileWrite(unit, buffer, (size_t)nbytes);
    int status = (int)n;
    if (n != (size_t)nbytes) {
        Perror_("pbwrite");
        status = -1;
    }
    if (framed && !writeWord(unit, (uint32_t)nbytes)) Perror_("pbwrite");
    *iret = status;
    if (tracing()) {
        Print_(stdout, "PBIO_WRITE: file ID = %d. PBIO_WRITE: number of bytes written = %d\n", unit, status);
    }
}

void pbClose(int unit, int *iret)
{
    if (tracing()) Print_(stdout, "PBIO_CLOSE: file ID = %d\n", unit);
    if (!knownUnit(unit)) {
        *iret = -1;
        return;
    }
    if (rawFlag[unit] == 0) writeWord(unit, 0);
    // Buffered output is written here; losing it must not look like success.
    errno = 0;
    if (fileClose(unit) != 0) {
        if (errno == 0) errno = EBADF; // the unit was no longer open
        Perror_("pbclose");
        *iret = -1;
        return;
    }
    *iret = 0;
}

int pbFlush(int unit)
{
    if (tracing()) Print_(stdout, "PBIO_FLUSH: file ID = %d\n", unit);
    return fileFlush(unit);
}

void pbSetRaw(int unit, int raw)
{
    if (knownUnit(unit)) rawFlag[unit] = raw != 0 ? 1 : 0;
}

void gribread(void *buffer, int bufsize, int *recsize, int *iret, int unit)
{
    size_t length = bufsize > 0 ? (size_t)bufsize : 0;
    *iret = gribRead(unit, buffer, &length);
    *recsize = (int)length;
    if (tracing()) {
        Print_(stdout, "PBIO_GRIBREAD: file ID = %d. Number of bytes read = %d\n", unit, *recsize);
    }
}

void pbGrib(int unit, void *buffer, int bufsize, int *recsize, int *iret)
{
    *iret = 0;
    size_t capacity = bufsize > 0 ? (size_t)bufsize : 0;
    size_t length = capacity;
    int code = gribRead(unit, buffer, &length);
    *recsize = (int)length;
    if (tracing()) {
        Print_(stdout, "PBIO_GRIBREAD: file ID = %d. Number of bytes read = %d\n", unit, *recsize);
    }
    switch (code) {
    case -1:
        *recsize = 0;
        *iret = -1;
        break;
    case -3:
        *iret = -3;
        break;
    case 1:
        // The scanner reads nothing into a buffer too small for the marker;
        // otherwise the file ended inside the record, which is no success.
        *iret = capacity < 4 && length > capacity ? -3 : -2;
        break;
    default:
        break;
    }
}

void pbSize(int unit, int *sizeOut)
{
    int64_t p = fileGetPos(unit);
    if (tracing()) {
        Print_(stdout, "PBIO_SIZE: file ID = %d. Current file position = %ld\n", unit, (long)p);
    }
    long offset = 0;
    int rc = gribFileSeek(unit, &offset);
    size_t length = 0;
    if (rc > 0) {
        Print_(stdout, "GRIB record not found\n");
    } else if (rc == 0) {
        length = gribReadSize(unit);
        if (length > 0x7FFFFFFF) length = 0;
    }
    *sizeOut = (int)length;
    if (tracing()) {
        Print_(stdout, "PBIO_SIZE: file pointer set back to: %ld\n", (long)p);
        Print_(stdout, "PBIO_SIZE: Product size = %d\n", *sizeOut);
    }
    fileSetPos(unit, p, 0);
}

} // extern "C"
