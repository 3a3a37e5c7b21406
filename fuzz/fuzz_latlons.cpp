// gribFieldLatLons over arbitrary octets: the first octet picks the field
// and the capacity, the rest is the record. Nothing may be written past the
// capacity, the size reported must be the size asked for again, and
// latitudes lie within -90 .. 90 (or are not numbers, for grids whose
// parameters describe no place).
#include "valmora.h"

#include "check.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {
// Few enough points that a Gaussian grid's roots stay quick to find.
constexpr size_t kMostPoints = 1024;
constexpr double kGuard = -12345.0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    const int index = data[0] & 3;
    const size_t capacity = (size_t)(data[0] >> 2) * kMostPoints / 63;
    const std::vector<unsigned char> rec(data + 1, data + size);
    std::vector<double> lat(capacity + 1, kGuard), lon(capacity + 1, kGuard);
    size_t n = capacity;
    const int rc = gribFieldLatLons(rec.data(), rec.size(), index, lat.data(), lon.data(), &n);
    FUZZ_CHECK(lat[capacity] == kGuard && lon[capacity] == kGuard, "written past a capacity of %zu", capacity);
    FUZZ_CHECK(rc == VALMORA_DECODE_OK || rc == VALMORA_DECODE_NO_ROOM || rc == VALMORA_DECODE_NOT_GRIB ||
                   rc == VALMORA_DECODE_TRUNCATED || rc == VALMORA_DECODE_DAMAGED || rc == VALMORA_DECODE_NO_FIELD ||
                   rc == VALMORA_DECODE_GRID_UNSUPPORTED || rc == VALMORA_DECODE_NO_MEMORY,
               "result %d", rc);
    FUZZ_CHECK(rc == VALMORA_DECODE_NO_ROOM ? n > capacity : rc != VALMORA_DECODE_OK || n <= capacity,
               "result %d with %zu points for a capacity of %zu", rc, n, capacity);
    if (rc == VALMORA_DECODE_OK) {
        for (size_t k = 0; k < n; ++k)
            FUZZ_CHECK(std::isnan(lat[k]) || std::fabs(lat[k]) <= 90 + 1e-9, "latitude %g at point %zu", lat[k], k);
        size_t again = 0;
        FUZZ_CHECK(gribFieldLatLons(rec.data(), rec.size(), index, nullptr, nullptr, &again) == VALMORA_DECODE_OK &&
                       again == n,
                   "the size alone gives %zu, the coordinates %zu", again, n);
    }
    return 0;
}
