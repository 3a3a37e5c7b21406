// The record scanner over a file made from the input: the gribGetSize /
// gribRead loop must end, never write past the capacity it is given, and
// return the lengths it promised. The first octet picks the buffer size of
// the file layer, so markers fall across refills.
#include "valmora.h"

#include "support.h"

#include "check.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// In memory where the system offers it: one file rewritten per input.
std::string scratchFile()
{
    char name[] = "/dev/shm/valmora-fuzz-scanner-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        strcpy(name, "/tmp/valmora-fuzz-scanner-XXXXXX");
        fd = mkstemp(name);
    }
    FUZZ_CHECK(fd >= 0, "no scratch file in /dev/shm or /tmp");
    close(fd);
    static std::string made = name;
    atexit([] { unlink(made.c_str()); });
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = scratchFile();
    if (size == 0) return 0;
    FILE *f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f, "cannot write %s", path.c_str());
    const bool written = size <= 1 || fwrite(data + 1, 1, size - 1, f) == size - 1;
    FUZZ_CHECK(written, "short write of %zu octets to %s", size - 1, path.c_str());
    fclose(f);

    int id = gribOpen(path.c_str(), "r");
    FUZZ_CHECK(id >= 0, "gribOpen of %s failed", path.c_str());
    static const long sizes[] = {1, 2, 3, 5, 8, 13, 64, 4096};
    if (data[0] < 8) fileSetBufferSize(id, sizes[data[0]]);

    const size_t cap = size + 16; // more than the file can ever deliver
    std::vector<unsigned char> buf(cap + 8);
    for (int records = 0; records < 100000; ++records) {
        size_t len = gribGetSize(id);
        int64_t at = gribGetPos(id);
        size_t capacity = len < cap ? len : cap;
        if (data[0] & 0x80) capacity /= 2; // sometimes too small on purpose
        memset(buf.data() + capacity, 0xA5, 8);
        size_t got = capacity;
        int rc = gribRead(id, buf.data(), &got);
        for (int i = 0; i < 8; ++i)
            FUZZ_CHECK(buf[capacity + i] == 0xA5, "record %d: gribRead (result %d) wrote octet %zu past a capacity of %zu",
                       records, rc, capacity + i, capacity);
        if (rc == -1 || rc == -2) {
            FUZZ_CHECK(got == 0, "record %d: gribRead result %d with a length of %zu", records, rc, got);
            break;
        }
        if (len > 0)
            FUZZ_CHECK(got == len, "record %d at %lld: gribRead gave %zu octets (result %d), gribGetSize %zu", records,
                       (long long)at, got, rc, len);
        if (rc == 0)
            FUZZ_CHECK(memcmp(buf.data(), "GRIB", 4) == 0, "record %d at %lld: read record starts %02x %02x %02x %02x",
                       records, (long long)at, buf[0], buf[1], buf[2], buf[3]);
        FUZZ_CHECK(gribGetPos(id) > at, "record %d: gribRead (result %d) did not move past %lld",
                   records, rc, (long long)at);
    }
    gribClose(id);
    return 0;
}
