/*
 * Internal services of libvalmora: messages, traced memory and the buffered
 * file layer. Not installed; the symbols are hidden in the shared library.
 */
#ifndef VALMORA_SUPPORT_H
#define VALMORA_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define VALMORA_PRINTF(a, b) __attribute__((format(printf, a, b)))
#define VALMORA_NORETURN __attribute__((noreturn))
#else
#define VALMORA_PRINTF(a, b)
#define VALMORA_NORETURN
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reporting. Every report of the library goes through these functions, and
   each writes its whole text with one call, so that the lines of two
   threads never interleave within a line.

   Messages: the caller's name, a printf format (no trailing newline) and
   its values; one line on standard error. Debug traces call Message_ only
   while VALMORA_Debug is non-zero. */
void Message_(const char *caller, const char *fmt, ...) VALMORA_PRINTF(2, 3);
void Warning_(const char *caller, const char *fmt, ...) VALMORA_PRINTF(2, 3);
void Error_(const char *caller, const char *fmt, ...) VALMORA_PRINTF(2, 3);
/* Adds the system's error text and ends the process (through Fatal_). */
void SysError_(const char *caller, const char *fmt, ...) VALMORA_PRINTF(2, 3) VALMORA_NORETURN;
/* A fixed-layout text (listing, locator, printer or trace line) on the
   stream its module writes to, exactly as formatted. */
void Print_(FILE *stream, const char *fmt, ...) VALMORA_PRINTF(2, 3);
/* "label: system error text" for errno on standard error, as perror
   writes it; errno is kept. */
void Perror_(const char *label);
/* The one way the library ends the process: writes the text to the stream
   and exits with status 1. */
void Fatal_(FILE *stream, const char *fmt, ...) VALMORA_PRINTF(2, 3) VALMORA_NORETURN;

/* A thread's capture of its reports: while one is set, every text the
   calling thread's Message_, Warning_, Error_, Perror_ and Print_ (to
   standard output or error) would write goes, whole, to
   write(context, text, length) instead, so that a caller can put it out
   in an order of its own. Texts that end the process are never captured.
   MessageCapture_ sets the calling thread's capture (write NULL: none)
   and returns the one it replaces, to be set again afterwards. */
typedef struct MessageSink_ {
    void (*write)(void *context, const char *text, size_t length);
    void *context;
} MessageSink_;
MessageSink_ MessageCapture_(MessageSink_ sink);

/* Traced memory: every request names its source file, function and line,
   shown in the debug trace while VALMORA_Debug is non-zero. The library
   calls them through memAlloc/memResize/memRelease, which pass the
   location; callers check every result. */
void *memMalloc(size_t size, const char *file, const char *function, int line);
void *memRealloc(void *ptr, size_t size, const char *file, const char *function, int line);
void memFree(void *ptr, const char *file, const char *function, int line);
/* Blocks taken and not yet released (for tests of scratch release). */
long memBlocksInUse(void);

/* The source location of a request, for the traced memory service. */
#define VALMORA_HERE __FILE__, __func__, __LINE__
#define memAlloc(size) memMalloc((size), VALMORA_HERE)
#define memResize(ptr, size) memRealloc((ptr), (size), VALMORA_HERE)
#define memRelease(ptr) memFree((ptr), VALMORA_HERE)

/* Buffered file layer. */
int fileOpen(const char *name, const char *mode);
int fileClose(int fileID);
size_t fileRead(int fileID, void *buffer, size_t n);
size_t fileWrite(int fileID, const void *buffer, size_t n);
int64_t fileGetPos(int fileID);
int fileSetPos(int fileID, int64_t offset, int whence);
int fileEOF(int fileID);
/* The system's error number of the first failed read, write or move since
   the file was opened or fileClearerr was called; 0 for none. A read error
   is not end of file: reads return nothing more until it is cleared. */
int fileError(int fileID);
void fileClearerr(int fileID);
int fileFlush(int fileID);
void fileSetBufferSize(int fileID, long size);

typedef struct valmora_file valmora_file;
void *filePtr(int fileID);
int filePtrGetc(void *handle);
size_t filePtrRead(void *handle, void *buffer, size_t n);
int filePtrEOF(void *handle);
int filePtrError(void *handle);

/* For tests: the file layer calls `function` instead of read(2) while it is
   set (null restores read). */
typedef long (*fileReadFunction)(int fd, void *buffer, size_t n);
void fileSetReadFunction(fileReadFunction function);

/* The record marker search over a stream handle, with the 32-bit window
   rule: returns 0 found (handle right after the marker), -1 end of file,
   1 not found after `limit` octets; *count receives the search count. */
int filePtrSearch(void *handle, uint32_t marker, long limit, long *count);

#ifdef __cplusplus
}
#endif

/* Reference date of a product definition array, year x 10000 + month x 100
   + day with the full year from the year of century and the century (0 is
   taken as 20), and the time as hour x 100 + minute. */
#ifdef __cplusplus
extern "C" {
#endif
void gribDateTime(const int *isec1, int *date, int *time);
#ifdef __cplusplus
}
#endif

#endif /* VALMORA_SUPPORT_H */
