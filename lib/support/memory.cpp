// Traced memory. The source location is accepted for every request; the
// service keeps a count of live blocks so tests can check that scratch
// memory is released before a call returns.
#include "support.h"

#include <cstdlib>

namespace {
long blocksInUse = 0;
}

extern "C" {

void *memMalloc(size_t size, const char *file, const char *function, int line)
{
    void *ptr = malloc(size ? size : 1);
    if (ptr) ++blocksInUse;
    return ptr;
}

void *memRealloc(void *ptr, size_t size, const char *file, const char *function, int line)
{
    void *nptr = realloc(ptr, size ? size : 1);
    if (nptr && !ptr) ++blocksInUse;
    return nptr;
}

void memFree(void *ptr, const char *file, const char *function, int line)
{
    if (!ptr) return;
    --blocksInUse;
    free(ptr);
}

long memBlocksInUse(void) { return blocksInUse; }

} // extern "C"
