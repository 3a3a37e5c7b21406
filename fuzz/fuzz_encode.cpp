// Random section arrays for both encoder entry points, sized to what the
// values chosen require, with a random capacity: the encoder must stay
// inside the buffer and finish with 0, 707, 807, 710 (a record that does not
// fit, isec0 and kused saying the room it needs), or another non-zero status
// that leaves isec0 and kused as they were.
#include "valmora.h"

#include "check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;
    template <typename T> T get()
    {
        T v{};
        const size_t k = n < sizeof(T) ? n : sizeof(T);
        memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
    int small(int lo, int hi) { return lo + (int)(get<uint16_t>() % (unsigned)(hi - lo + 1)); }
};

// Values that steer the encoder onto its different paths.
int steer(Reader &in, int which)
{
    static const int types[] = {0, 3, 4, 10, 50, 192, 5, 60};
    static const int centres[] = {98, 78, 215, 250, 252, 7};
    static const int defs[] = {1, 253, 254, 2};
    switch (which) {
    case 0: return types[in.get<uint8_t>() % 8];
    case 1: return centres[in.get<uint8_t>() % 6];
    default: return defs[in.get<uint8_t>() % 4];
    }
}

template <typename T>
void encodeOne(Reader &in, const char *name,
               void (*fn)(int *, int *, int *, T *, int *, T *, int *, T *, int, int *, int, int *, int, int *))
{
    std::vector<int> isec0(2, -1), isec1(64), isec3(2), isec4(64);
    for (int &v : isec1) v = in.get<int8_t>() % 4 ? in.get<uint8_t>() : in.get<int32_t>();
    isec1[1] = steer(in, 1);
    isec1[36] = steer(in, 2);
    isec1[4] = in.get<uint8_t>() & 0xC0;
    const bool gds = (isec1[4] & 128) || in.get<uint8_t>() % 2;

    std::vector<int> isec2(22);
    for (int &v : isec2) v = in.get<int8_t>() % 4 ? in.get<int16_t>() : in.get<int32_t>();
    isec2[0] = steer(in, 0);
    isec2[11] = in.small(-2, 40);             // NV
    isec2[16] = in.get<uint8_t>() % 3 == 0;   // quasi-regular
    isec2[5] = in.small(0, 3);
    if (isec2[16]) {
        isec2[2] = in.small(-2, 300);
        isec2.resize(22 + (size_t)(isec2[2] > 0 ? isec2[2] : 0) + 1);
        for (size_t j = 22; j < isec2.size(); ++j) isec2[j] = in.get<uint16_t>();
    }
    std::vector<T> fsec2(11 + (size_t)(isec2[11] > 0 ? isec2[11] : 0));
    for (T &v : fsec2) v = (T)in.get<float>();

    for (int &v : isec4) v = in.get<int8_t>();
    isec4[0] = in.small(-4, 3000);
    isec4[1] = in.small(-2, 40);
    isec4[2] = in.get<uint8_t>() % 2 ? 128 : 0;
    isec4[3] = in.get<uint8_t>() % 2 ? 64 : 0;
    isec4[16] = in.small(-12000, 12000);
    isec4[17] = in.small(-3, 40);
    isec1[22] = in.small(-40, 40);

    std::vector<T> fsec3(2);
    fsec3[1] = (T)in.get<double>();
    std::vector<T> fsec4((size_t)(isec4[0] > 0 ? isec4[0] : 0) + 1);
    const int style = in.get<uint8_t>() % 4;
    for (size_t i = 0; i < fsec4.size(); ++i)
        fsec4[i] = style == 0 ? (T)in.get<double>() : style == 1 ? (T)(i % 7) : style == 2 ? fsec3[1] : (T)in.get<int8_t>();

    const int kleng = in.small(-2, 3000);
    std::vector<int> kgrib((size_t)(kleng > 0 ? kleng : 1));
    int used = -1, status = -1;
    fn(isec0.data(), isec1.data(), gds ? isec2.data() : nullptr, fsec2.data(), isec3.data(), fsec3.data(),
       isec4.data(), fsec4.data(), 0, kgrib.data(), kleng, &used, 0, &status);
    if (status == VALMORA_ENCODE_NO_ROOM) {
        // The room the record needs, which the buffer does not have.
        FUZZ_CHECK(isec0[1] == 1 && used == (isec0[0] + 3) / 4 && (kleng <= 0 || isec0[0] > 4 * kleng),
                   "%s: no room with isec0 = {%d, %d}, kused %d (kleng %d)", name, isec0[0], isec0[1], used, kleng);
    } else if (status != 0 && status != 707 && status != 807) {
        FUZZ_CHECK(isec0[0] == -1 && isec0[1] == -1 && used == -1,
                   "%s: status %d with isec0 = {%d, %d}, kused %d (kleng %d)", name, status, isec0[0], isec0[1],
                   used, kleng);
    }
    if (status == 0) {
        FUZZ_CHECK(isec0[1] == 1, "%s: edition %d in isec0[1]", name, isec0[1]);
        FUZZ_CHECK(used == (isec0[0] + 3) / 4, "%s: kused %d words for a record of %d octets (kleng %d)", name, used,
                   isec0[0], kleng);
        const unsigned char *rec = reinterpret_cast<const unsigned char *>(kgrib.data());
        if (kleng > 0 && isec0[0] <= 4 * kleng)
            FUZZ_CHECK(memcmp(rec, "GRIB", 4) == 0, "%s: record of %d octets starts with %02x %02x %02x %02x", name,
                       isec0[0], rec[0], rec[1], rec[2], rec[3]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = false;
    if (!quiet) {
        grsdef();
        quiet = true;
    }
    Reader in{data, size};
    gribSetConst(in.get<uint8_t>() % 2);
    Reader copy = in;
    encodeOne<double>(in, "grib_encode_double", grib_encode_double);
    encodeOne<float>(copy, "grib_encode_float", grib_encode_float);
    return 0;
}
