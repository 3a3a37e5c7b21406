// Fuzz target for the decoder: the first octet chooses the twin and the
// capacities, the rest is a record. Whatever the record, the decoder must
// write nothing past the capacities it is given (the guard elements after
// them keep their values), answer a capacity one short with NO_ROOM and an
// untouched fsec4, give both twins the same status, and decode a record
// that recPack compressed to the values of the record before, bit for bit.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kGuard = 16;        // guard elements after each capacity
constexpr size_t kMaxValues = 1 << 22; // values decoded at most per input
constexpr int kGuardInt = 0x5EED5EED;

template <typename T> struct Call {
    size_t cap2, capF2, cap4;
    std::vector<int> isec0, isec1, isec2, isec3, isec4;
    std::vector<T> fsec2, fsec3, fsec4;
    size_t n2 = 0, nf2 = 0, n4 = 0;

    Call(size_t c2, size_t cf2, size_t c4)
        : cap2(c2), capF2(cf2), cap4(c4), isec0(VALMORA_ISEC0_SIZE + kGuard, kGuardInt),
          isec1(VALMORA_ISEC1_SIZE + kGuard, kGuardInt), isec2(c2 + kGuard, kGuardInt),
          isec3(VALMORA_ISEC3_SIZE + kGuard, kGuardInt), isec4(VALMORA_ISEC4_SIZE + kGuard, kGuardInt),
          fsec2(cf2 + kGuard, (T)-7), fsec3(VALMORA_FSEC3_SIZE + kGuard, (T)-7), fsec4(c4 + kGuard, (T)-7)
    {
        fsec3[1] = (T)-99;
    }

    int run(const unsigned char *rec, size_t len, bool values);

    bool guardsIntact() const
    {
        auto ints = [](const std::vector<int> &v, size_t from) {
            for (size_t i = from; i < v.size(); ++i)
                if (v[i] != kGuardInt) return false;
            return true;
        };
        auto reals = [](const std::vector<T> &v, size_t from) {
            for (size_t i = from; i < v.size(); ++i)
                if (v[i] != (T)-7) return false;
            return true;
        };
        return ints(isec0, VALMORA_ISEC0_SIZE) && ints(isec1, VALMORA_ISEC1_SIZE) && ints(isec2, cap2) &&
               ints(isec3, VALMORA_ISEC3_SIZE) && ints(isec4, VALMORA_ISEC4_SIZE) && reals(fsec2, capF2) &&
               reals(fsec3, VALMORA_FSEC3_SIZE) && reals(fsec4, cap4);
    }
};

template <> int Call<double>::run(const unsigned char *rec, size_t len, bool values)
{
    n2 = cap2, nf2 = capF2, n4 = cap4;
    return grib_decode_double(rec, len, isec0.data(), isec1.data(), isec2.data(), &n2, fsec2.data(), &nf2,
                              isec3.data(), fsec3.data(), isec4.data(), values ? fsec4.data() : nullptr, &n4);
}

template <> int Call<float>::run(const unsigned char *rec, size_t len, bool values)
{
    n2 = cap2, nf2 = capF2, n4 = cap4;
    return grib_decode_float(rec, len, isec0.data(), isec1.data(), isec2.data(), &n2, fsec2.data(), &nf2,
                             isec3.data(), fsec3.data(), isec4.data(), values ? fsec4.data() : nullptr, &n4);
}

bool decoded(int status) { return status == VALMORA_DECODE_OK || status == VALMORA_DECODE_GRID_NOT_DECODED; }

// Headers, then the values with the capacity asked for and one short.
template <typename T> int check(const unsigned char *rec, size_t len, size_t cap2, size_t capF2, std::vector<T> *out)
{
    Call<T> h(cap2, capF2, 0);
    const int headers = h.run(rec, len, false);
    FUZZ_CHECK(h.guardsIntact(), "headers: status %d", headers);
    if (!decoded(headers) || h.n4 > kMaxValues) return headers;

    Call<T> full(h.n2, h.nf2, h.n4);
    const int status = full.run(rec, len, true);
    FUZZ_CHECK(full.guardsIntact(), "values: status %d, %zu values", status, h.n4);
    FUZZ_CHECK(status == headers || !decoded(status), "headers %d, values %d", headers, status);
    if (decoded(status) && h.n4 > 0) {
        Call<T> shortOne(h.n2, h.nf2, h.n4 - 1);
        const int st = shortOne.run(rec, len, true);
        FUZZ_CHECK(st == VALMORA_DECODE_NO_ROOM && shortOne.n4 == h.n4 && shortOne.guardsIntact(),
                   "one value short: status %d, size %zu of %zu", st, shortOne.n4, h.n4);
        for (size_t i = 0; i < h.n4 - 1; ++i) FUZZ_CHECK(shortOne.fsec4[i] == (T)-7, "value %zu written", i);
    }
    if (out && decoded(status)) out->assign(full.fsec4.begin(), full.fsec4.begin() + (long)h.n4);
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 22)) return 0;
    const unsigned opt = data[0];
    const unsigned char *rec = data + 1;
    const size_t len = size - 1;
    // Small capacities half the time, room for any record otherwise.
    const size_t cap2 = opt & 1 ? 22 + (opt >> 1 & 7) : VALMORA_ISEC2_SIZE;
    const size_t capF2 = opt & 16 ? 10 + (opt >> 5 & 3) : VALMORA_FSEC2_SIZE;

    std::vector<double> plain;
    const int sd = check<double>(rec, len, cap2, capF2, &plain);
    const int sf = check<float>(rec, len, cap2, capF2, nullptr);
    FUZZ_CHECK(sd == sf, "double %d, float %d", sd, sf);
    if (sd != VALMORA_DECODE_OK || len < 8 || rec[7] != 1 || (opt & 0x81) != 0) return 0;

    // Packed by recPack, the record decodes to the same values.
    std::vector<unsigned char> packed(rec, rec + len), work(len + 1000);
    packed.resize(len + 1000);
    const int plen = recPack(packed.data(), packed.size(), work.data(), work.size());
    size_t unzipped = 0;
    if (plen <= 0 || (size_t)plen > packed.size() || gribGetZip(plen, packed.data(), &unzipped) != 128) return 0;
    std::vector<double> again;
    const int sp = check<double>(packed.data(), (size_t)plen, cap2, capF2, &again);
    FUZZ_CHECK(sp == sd, "plain %d, packed %d", sd, sp);
    FUZZ_CHECK(again.size() == plain.size() && memcmp(again.data(), plain.data(), plain.size() * sizeof(double)) == 0,
               "packed values differ (%zu, %zu values)", plain.size(), again.size());
    return 0;
}
