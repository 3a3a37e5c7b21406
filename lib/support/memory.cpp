// Traced memory. Every request names its source file, function and line;
// while VALMORA_Debug is non-zero each is shown in the debug trace. The
// service counts live blocks so that tests can check that scratch memory is
// released before a call returns; the count is shared by all threads.
#include "valmora.h"
#include "support.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> blocksInUse{0};

// The module's file name, without the directory the build passed.
const char *moduleName(const char *file)
{
    if (!file) return "?";
    const char *slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

void trace(const char *service, const void *ptr, size_t size, const char *file, const char *function, int line)
{
    Message_(service, "%zu octets at %p (%s, %s, line %d)", size, ptr, moduleName(file),
             function ? function : "?", line);
}

} // namespace

extern "C" {

void *memMalloc(size_t size, const char *file, const char *function, int line)
{
    void *ptr = malloc(size ? size : 1);
    if (ptr) blocksInUse.fetch_add(1, std::memory_order_relaxed);
    if (VALMORA_Debug) trace("memMalloc", ptr, size, file, function, line);
    return ptr;
}

void *memRealloc(void *ptr, size_t size, const char *file, const char *function, int line)
{
    void *nptr = realloc(ptr, size ? size : 1);
    if (nptr && !ptr) blocksInUse.fetch_add(1, std::memory_order_relaxed);
    if (VALMORA_Debug) trace("memRealloc", nptr, size, file, function, line);
    return nptr;
}

void memFree(void *ptr, const char *file, const char *function, int line)
{
    if (!ptr) return;
    if (VALMORA_Debug) trace("memFree", ptr, 0, file, function, line);
    blocksInUse.fetch_sub(1, std::memory_order_relaxed);
    free(ptr);
}

long memBlocksInUse(void) { return blocksInUse.load(std::memory_order_relaxed); }

} // extern "C"
