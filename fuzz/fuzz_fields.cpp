// The field decoder over arbitrary octets: the first octet picks the field
// (low 2 bits) and the capacity, the rest is the record. The count and the
// decode must agree on which fields there are, nothing may be written past
// the capacity, the size reported must be the size asked for again, and both
// twins must agree.
#include "valmora.h"

#include "check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
constexpr size_t kMostValues = 16384;
constexpr double kGuard = -12345.0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    const int index = data[0] & 3;
    const size_t capacity = (size_t)(data[0] >> 2) * kMostValues / 63;
    // A copy of its own size, so that a read past the record is seen.
    const std::vector<unsigned char> rec(data + 1, data + size);
    int count = -1;
    const int counted = gribFieldCount(rec.data(), rec.size(), &count);
    FUZZ_CHECK(counted == VALMORA_DECODE_OK ? count >= 1 : count == 0, "count %d with result %d", count, counted);

    gribField keys;
    size_t need = 0;
    const int rk = grib_field_decode_double(rec.data(), rec.size(), index, &keys, nullptr, &need, 0);
    // A field the count holds is found (its contents may still be damaged
    // or in a packing without a decoder); one past the count is not.
    const bool found = rk != VALMORA_DECODE_NO_FIELD && rk != VALMORA_DECODE_NOT_GRIB && rk != VALMORA_DECODE_TRUNCATED;
    FUZZ_CHECK(counted != VALMORA_DECODE_OK || (index < count) == found, "field %d of %d gives %d", index, count, rk);

    std::vector<double> v(capacity + 1, kGuard);
    size_t n = capacity;
    gribField f;
    const int rc = grib_field_decode_double(rec.data(), rec.size(), index, &f, v.data(), &n, 9999.0);
    FUZZ_CHECK(v[capacity] == kGuard, "written past a capacity of %zu", capacity);
    FUZZ_CHECK(rc == VALMORA_DECODE_NO_ROOM ? n > capacity : rc != VALMORA_DECODE_OK || n <= capacity,
               "result %d with %zu values for a capacity of %zu", rc, n, capacity);
    if (rc == VALMORA_DECODE_OK && rk == VALMORA_DECODE_OK)
        FUZZ_CHECK(n == need && f.numberOfValues == keys.numberOfValues && f.edition == keys.edition,
                   "the keys alone give %zu values, the decode %zu", need, n);
    if (rc == VALMORA_DECODE_OK) {
        std::vector<float> s(capacity + 1, -1.0f);
        size_t m = capacity;
        FUZZ_CHECK(grib_field_decode_float(rec.data(), rec.size(), index, nullptr, s.data(), &m, 9999.0f) ==
                           VALMORA_DECODE_OK &&
                       m == n && s[capacity] == -1.0f,
                   "the float twin differs in result or size");
        for (size_t k = 0; k < n; ++k)
            FUZZ_CHECK(s[k] == (float)v[k] || (std::isnan(s[k]) && std::isnan(v[k])), "value %zu differs in float", k);
    }
    return 0;
}
