// Fuzz target for the szip coder on one record buffer: gribGetZip, recPack
// and recUnpack must neither crash nor touch memory outside the buffers
// they are given, and a record that recPack compressed must come back from
// recUnpack with the same octets, apart from the unused-bit count and the
// octet of unused bits that keeps the data section's length even.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Feeds `data` to recUnpack as the program would: destination holds a copy.
void unpack(const unsigned char *data, size_t size, size_t room, std::vector<unsigned char> &out)
{
    std::vector<unsigned char> src(data, data + size);
    out.assign(data, data + size);
    out.resize(size + room);
    recUnpack(out.data(), out.size(), src.data(), src.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 22)) return 0;
    size_t unzipped = 0;
    std::vector<unsigned char> rec(data, data + size);
    int code = gribGetZip((long)size, rec.data(), &unzipped);

    std::vector<unsigned char> out;
    if (code == 128) unpack(data, size, unzipped < (1u << 22) ? unzipped + 100 : 100, out);

    rec.resize(size + 1000);
    std::vector<unsigned char> work(rec.size());
    int length = recPack(rec.data(), rec.size(), work.data(), work.size());
    if (code != 0 || length <= 0 || (size_t)length > rec.size()) return 0;
    size_t again = 0;
    if (gribGetZip(length, rec.data(), &again) != 128) return 0;

    // Compressed here: the restored record must be the input record.
    unpack(rec.data(), (size_t)length, again + 100, out);
    FUZZ_CHECK(again <= size, "compressed record of %d octets claims %zu before compression, input %zu", length,
               again, size);
    size_t flag = 0;
    for (size_t i = 0; i + 4 <= again && i < out.size(); ++i) {
        if (out[i] != data[i] && i != again - 5) {
            // Only the low four bits of the data section's flag may differ.
            FUZZ_CHECK(!flag && !((out[i] ^ data[i]) & 0xF0),
                       "restored octet %zu is %02x, was %02x (record %zu octets, compressed %d)", i, out[i], data[i],
                       again, length);
            flag = i;
        }
    }
    return 0;
}
