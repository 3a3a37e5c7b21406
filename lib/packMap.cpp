// The mapped input of recPackFile, and the bus errors of its pages.
//
// A page of a mapped file that can't be read (the file was cut short while
// the run went on, or the disk failed) raises SIGBUS. The handler, set up
// once per process the first time an input is mapped, puts a page of zeros
// in its place, so the run goes on to its end, and keeps the lowest such
// offset for the mapping it belongs to: the run then says the input could
// not be read there and ends with status 1. A bus error at any other
// address goes to the handler the process had before, or ends the process
// as it would have without this one. Several runs at once each have a slot.
#include "packFile.h"

#include <csignal>
#include <cstring>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace pack __attribute__((visibility("hidden"))) {
namespace {

constexpr int mapSlots = 64; // runs that may map their input at once

struct Slot {
    std::atomic<uintptr_t> from{0};
    std::atomic<size_t> length{0};
    std::atomic<int64_t> fault{-1};
    std::atomic<bool> taken{false};
};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<uintptr_t>::is_always_lock_free,
              "the handler needs lock-free atomics");

Slot slots[mapSlots];
uintptr_t page = 0; // known before the handler may run
struct sigaction previous;

void onBusError(int sig, siginfo_t *info, void *context)
{
    const uintptr_t at = (uintptr_t)info->si_addr;
    for (Slot &s : slots) {
        const uintptr_t from = s.from.load();
        if (!from || at < from || at >= from + s.length.load()) continue;
        const uintptr_t start = at & ~(page - 1);
        if (mmap((void *)start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
            break;
        const int64_t offset = (int64_t)(start - from);
        int64_t seen = s.fault.load();
        while ((seen < 0 || offset < seen) && !s.fault.compare_exchange_weak(seen, offset)) {
        }
        return;
    }
    // Not ours: the handler before, or the default, whose fault then repeats
    // and ends the process.
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
    } else {
        signal(sig, SIG_DFL);
    }
}

void install()
{
    page = (uintptr_t)sysconf(_SC_PAGESIZE);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onBusError;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &previous);
}

} // namespace

size_t pageSize()
{
    static const bool once = (install(), true); // thread-safe, and only once
    (void)once;
    return (size_t)page;
}

bool mapInput(int fd, size_t length, Mapping &m)
{
    if (length == 0) return false;
    pageSize();
    int slot = -1;
    for (int k = 0; k < mapSlots && slot < 0; ++k) {
        bool expected = false;
        if (slots[k].taken.compare_exchange_strong(expected, true)) slot = k;
    }
    if (slot < 0) return false;
    void *p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        slots[slot].taken = false;
        return false;
    }
    madvise(p, length, MADV_SEQUENTIAL);
    Slot &s = slots[slot];
    s.fault = -1;
    s.length = length;
    s.from = (uintptr_t)p; // last: the handler looks at from first
    m.data = static_cast<unsigned char *>(p);
    m.length = length;
    m.slot = slot;
    return true;
}

int64_t unmapInput(Mapping &m)
{
    if (!m.data) return -1;
    Slot &s = slots[m.slot];
    const int64_t fault = s.fault.load();
    s.from = 0;
    munmap(m.data, m.length);
    s.taken = false;
    m = Mapping();
    return fault;
}

} // namespace pack
