/* Preloaded into a program under test.
   - read(2) on the file named by EIO_FILE fails with EIO once the file
     position reaches EIO_AFTER, as a failing disk would; every other read
     goes through unchanged. mmap(2) of that file fails (so the program
     reads it), or with EIO_MAP set succeeds and then cuts the file to
     EIO_AFTER octets, so that the pages past it can't be read.
   - With PEAK_FILE set, the program's peak resident memory (VmHWM, in kB)
     is written to that file when it exits: measured from the outside, the
     peak would include the memory of the process that started it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);

/* Whether fd is open on the file named by EIO_FILE. */
static int failing(int fd)
{
    const char *file = getenv("EIO_FILE"), *after = getenv("EIO_AFTER");
    if (!file || !after || fd < 0) return 0;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t k = readlink(link, path, sizeof path - 1);
    if (k <= 0) return 0;
    path[k] = 0;
    return strcmp(path, file) == 0;
}

/* The program maps through mmap, a library built with 64-bit file offsets
   through mmap64: both go through the same rule. */
static void *shimMap(const char *name, void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    mmap_fn real;
    *(void **)&real = dlsym(RTLD_NEXT, name);
    if (!failing(fd)) return real(addr, length, prot, flags, fd, offset);
    if (!getenv("EIO_MAP")) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void *m = real(addr, length, prot, flags, fd, offset);
    if (m != MAP_FAILED && truncate(getenv("EIO_FILE"), (off_t)atoll(getenv("EIO_AFTER"))) != 0) {
        munmap(m, length);
        errno = ENODEV;
        return MAP_FAILED;
    }
    return m;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return shimMap("mmap", addr, length, prot, flags, fd, offset);
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return shimMap("mmap64", addr, length, prot, flags, fd, offset);
}

ssize_t read(int fd, void *buf, size_t count)
{
    static read_fn real;
    if (!real) *(void **)&real = dlsym(RTLD_NEXT, "read");
    if (failing(fd)) {
        long long pos = (long long)lseek(fd, 0, SEEK_CUR), limit = atoll(getenv("EIO_AFTER"));
        if (pos >= limit) {
            errno = EIO;
            return -1;
        }
        if (pos + (long long)count > limit) count = (size_t)(limit - pos);
    }
    return real(fd, buf, count);
}

__attribute__((destructor)) static void writePeak(void)
{
    const char *out = getenv("PEAK_FILE");
    if (!out) return;
    FILE *status = fopen("/proc/self/status", "r");
    if (!status) return;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, status))
        if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    fclose(status);
    FILE *fp = fopen(out, "w");
    if (!fp) return;
    fprintf(fp, "%ld\n", kb);
    fclose(fp);
}
