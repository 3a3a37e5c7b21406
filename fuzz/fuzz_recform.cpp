// Fuzz target for the packed GRIB1 form with a whole-record check and the
// GRIB2 conversion: recUnpackRecord on any input must stay inside its
// buffers, and whatever recPackRecord codes must come back from
// recUnpackRecord octet for octet; with one bit of the coded record
// flipped, it must never come back as anything else.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxInput = 1u << 20;
// Room for a restored record: coded records shrink by a factor of ten at
// most on the corpus; more claimed is a restore refused for room.
constexpr size_t kRoomBase = 1u << 16, kRoomFactor = 16;

int unpack(const std::vector<unsigned char> &in, int options, std::vector<unsigned char> &out)
{
    out.assign(kRoomBase + kRoomFactor * in.size(), 0);
    int restored = 0;
    const int n = recUnpackRecord(in.data(), in.size(), out.data(), out.size(), options, &restored);
    FUZZ_CHECK(n >= 0 && (size_t)n <= out.size(), "recUnpackRecord gave %d for %zu octets", n, in.size());
    out.resize((size_t)n);
    return restored;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kMaxInput) return 0;
    const std::vector<unsigned char> input(data, data + size);
    std::vector<unsigned char> out;
    for (int options : {0, VALMORA_PACK_GRIB2}) unpack(input, options, out);

    for (int options : {0, VALMORA_PACK_GRIB2}) {
        std::vector<unsigned char> packed(size + 240);
        int coded = 0;
        const int n = recPackRecord(input.data(), input.size(), packed.data(), packed.size(), options, &coded);
        FUZZ_CHECK(n >= 0 && (size_t)n <= packed.size(), "recPackRecord gave %d for %zu octets", n, size);
        if (coded != 1) continue;
        packed.resize((size_t)n);
        FUZZ_CHECK(unpack(packed, options, out) == 1, "a coded record of %d octets did not restore", n);
        // The input's record: the restored octets up to its end are the input's.
        const size_t same = out.size() < size ? out.size() : size;
        size_t at = 0;
        while (at < same && out[at] == input[at]) ++at;
        FUZZ_CHECK(at == same || out[at] == 0, "restored octet %zu is %02x, was %02x", at, out[at], input[at]);

        if (options != 0) continue; // GRIB2 carries no check
        // A flip in the padding after the record changes nothing; one in the
        // record must never restore to other octets.
        const std::vector<unsigned char> good = out;
        std::vector<unsigned char> flipped = packed;
        const size_t bit = (size_t)data[size / 2] * 131 % (8 * flipped.size());
        flipped[bit / 8] ^= (unsigned char)(1u << (bit % 8));
        std::vector<unsigned char> back;
        if (unpack(flipped, 0, back) == 1)
            FUZZ_CHECK(back == good, "a record with bit %zu flipped restored to other octets", bit);
    }
    return 0;
}
