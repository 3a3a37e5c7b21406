// Reads every record of an arbitrary file through the product interface,
// with a buffer size taken from the input: no read may leave the buffer,
// and each record size must agree with pbSize's.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    int bufsize = (data[0] << 8 | data[1]) - 16; // also negative sizes
    int fd = memfd_create("pbgrib", 0);
    if (fd < 0) return 0;
    if (write(fd, data + 2, size - 2) != (ssize_t)(size - 2)) {
        close(fd);
        return 0;
    }
    std::string name = "/proc/self/fd/" + std::to_string(fd);
    int unit, st, recsize, next;
    pbOpen(&unit, name.c_str(), "r", &st);
    if (st == 0) {
        std::vector<unsigned char> buf(bufsize > 0 ? (size_t)bufsize : 0);
        for (int i = 0; i < 1000; ++i) {
            pbSize(unit, &next);
            pbGrib(unit, buf.data(), bufsize, &recsize, &st);
            if (st == -1) break;
            if (st == 0)
                FUZZ_CHECK(recsize == next, "record %d: pbGrib read %d octets, pbSize said %d (buffer %d)", i,
                           recsize, next, bufsize);
        }
        pbClose(unit, &st);
    }
    close(fd);
    return 0;
}
