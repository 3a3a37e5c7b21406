// GRIB2 fields between simple packing and CCSDS packing, with ecCodes as
// the judge: it reads converted messages with the same values, and its own
// CCSDS messages come back as simple packing with the same values.
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>

using namespace testutil;

namespace {

constexpr size_t kRoom = 64;

struct FieldSpec {
    int bits = 16;
    const char *packing = "grid_simple";
    bool bitmap = false;
    double constant = 0; // non-zero: every value this
    unsigned seed = 1;
};

// Values at the sample's grid: smooth, a little noise, a band missing.
void fill(codes_handle *h, const FieldSpec &f)
{
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> v(n);
    unsigned s = f.seed;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1664525u + 1013904223u;
        v[i] = f.constant != 0 ? f.constant
                               : 280.0 + 20.0 * std::sin((double)i / 150.0 + f.seed) + (double)(s >> 24) / 64.0;
        if (f.bitmap && (i / 97) % 5 == 0) v[i] = 9999.0;
    }
    if (f.bitmap) {
        codes_set_double(h, "missingValue", 9999.0);
        codes_set_long(h, "bitmapPresent", 1);
    }
    codes_set_string(h, "packingType", f.packing, nullptr);
    if (f.constant == 0) codes_set_long(h, "bitsPerValue", f.bits);
    codes_set_double_array(h, "values", v.data(), n);
}

codes_handle *handle(const FieldSpec &f)
{
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, "regular_ll_sfc_grib2");
    if (h) fill(h, f);
    return h;
}

Bytes message(codes_handle *h)
{
    const void *m = nullptr;
    size_t len = 0;
    codes_get_message(h, &m, &len);
    return Bytes((const unsigned char *)m, (const unsigned char *)m + len);
}

// The message, or nothing when ecCodes did not pack it as asked.
Bytes grib2(const FieldSpec &f)
{
    codes_handle *h = handle(f);
    char packing[64] = {0};
    size_t len = sizeof packing;
    if (h) codes_get_string(h, "packingType", packing, &len);
    Bytes b = h && std::string(packing) == f.packing ? message(h) : Bytes();
    if (h) codes_handle_delete(h);
    return b;
}

// One message holding every field given (sections 4 to 7 repeated).
Bytes multiField(const std::vector<FieldSpec> &fields, const TempDir &tmp)
{
    codes_multi_handle *mh = codes_grib_multi_handle_new(nullptr);
    for (const FieldSpec &f : fields) {
        codes_handle *h = handle(f);
        codes_grib_multi_handle_append(h, 4, mh);
        codes_handle_delete(h);
    }
    const std::string name = tmp.file("multi.grib2");
    FILE *out = fopen(name.c_str(), "wb");
    codes_grib_multi_handle_write(mh, out);
    fclose(out);
    codes_grib_multi_handle_delete(mh);
    return readFile(name);
}

// The values of every field of a message, as ecCodes decodes them, and
// their packing types.
struct Decoded {
    std::vector<std::vector<double>> values;
    std::vector<std::string> packing;
};

Decoded decode(const Bytes &msg, const TempDir &tmp)
{
    Decoded d;
    const std::string name = tmp.file("decode.grib2");
    writeFile(name, msg);
    FILE *in = fopen(name.c_str(), "rb");
    codes_grib_multi_support_on(nullptr);
    int err = 0;
    while (codes_handle *h = codes_handle_new_from_file(nullptr, in, PRODUCT_GRIB, &err)) {
        size_t n = 0;
        codes_get_size(h, "values", &n);
        std::vector<double> v(n);
        EXPECT_EQ(codes_get_double_array(h, "values", v.data(), &n), 0);
        d.values.push_back(v);
        char packing[64] = {0};
        size_t len = sizeof packing;
        codes_get_string(h, "packingType", packing, &len);
        d.packing.push_back(packing);
        codes_handle_delete(h);
    }
    codes_grib_multi_support_off(nullptr);
    fclose(in);
    return d;
}

struct Result {
    Bytes octets;
    int flag = 0;
};

Result pack(const Bytes &msg, int options = VALMORA_PACK_GRIB2)
{
    Result r;
    r.octets.assign(msg.size() + kRoom, 0xEE);
    const int n = recPackRecord(msg.data(), msg.size(), r.octets.data(), r.octets.size(), options, &r.flag);
    r.octets.resize((size_t)n);
    return r;
}

Result unpack(const Bytes &msg, size_t room, int options = VALMORA_PACK_GRIB2)
{
    Result r;
    r.octets.assign(room, 0xEE);
    const int n = recUnpackRecord(msg.data(), msg.size(), r.octets.data(), r.octets.size(), options, &r.flag);
    r.octets.resize((size_t)n);
    return r;
}

// The message itself at the start of a padded result.
Bytes unpadded(const Bytes &b)
{
    if (b.size() < 16) return b;
    uint64_t total = 0;
    for (int i = 8; i < 16; ++i) total = total << 8 | b[i];
    return Bytes(b.begin(), b.begin() + (long)std::min<uint64_t>(total, b.size()));
}

TEST(Grib2Ccsds, EveryWidthReadsTheSameAndComesBack)
{
    TempDir tmp;
    for (int bits = 1; bits <= 32; ++bits) {
        for (bool bitmap : {false, true}) {
            const Bytes msg = grib2({bits, "grid_simple", bitmap, 0, (unsigned)bits});
            ASSERT_FALSE(msg.empty()) << bits;
            const Result p = pack(msg);
            const Decoded before = decode(msg, tmp), after = decode(unpadded(p.octets), tmp);
            ASSERT_EQ(after.values.size(), 1u) << bits;
            EXPECT_EQ(after.values, before.values) << bits << " bits, bit map " << bitmap;
            if (p.flag) {
                EXPECT_EQ(after.packing[0], "grid_ccsds") << bits;
            }
            // Wide values of a smooth field are mostly noise in their low bits.
            if (bits >= 4 && bits <= 24) {
                EXPECT_EQ(p.flag, 1) << bits << " bits, bit map " << bitmap;
            }
            const Result u = unpack(unpadded(p.octets), msg.size() + kRoom);
            EXPECT_EQ(u.flag, p.flag) << bits;
            EXPECT_EQ(unpadded(u.octets), msg) << bits << " bits, bit map " << bitmap;
        }
    }
}

TEST(Grib2Ccsds, SeveralFieldsOneMessage)
{
    TempDir tmp;
    const Bytes msg = multiField({{12, "grid_simple", false, 0, 1},
                                  {16, "grid_simple", true, 0, 2},
                                  {8, "grid_simple", false, 0, 3},
                                  {0, "grid_simple", false, 273.15, 4}},
                                 tmp);
    const Decoded before = decode(msg, tmp);
    ASSERT_EQ(before.values.size(), 4u);
    const Result p = pack(msg);
    ASSERT_EQ(p.flag, 1);
    const Decoded after = decode(unpadded(p.octets), tmp);
    EXPECT_EQ(after.values, before.values);
    EXPECT_EQ(after.packing, (std::vector<std::string>{"grid_ccsds", "grid_ccsds", "grid_ccsds", "grid_simple"}));
    EXPECT_LT(p.octets.size(), msg.size());
    const Result u = unpack(unpadded(p.octets), msg.size() + kRoom);
    EXPECT_EQ(unpadded(u.octets), msg);
}

TEST(Grib2Ccsds, EcCodesCcsdsBecomesSimple)
{
    TempDir tmp;
    for (int bits : {6, 12, 16, 20, 24, 32}) {
        for (bool bitmap : {false, true}) {
            const Bytes msg = grib2({bits, "grid_ccsds", bitmap, 0, 7});
            const Decoded before = decode(msg, tmp);
            ASSERT_EQ(before.packing.at(0), "grid_ccsds");
            // The room a simple-packed message needs: asked for too little, it is left as read.
            const Result small = unpack(msg, msg.size());
            if (small.flag == -1) {
                EXPECT_EQ(unpadded(small.octets), msg);
            }
            const Result u = unpack(msg, (size_t)bits * 2000 + msg.size());
            ASSERT_EQ(u.flag, 1) << bits;
            const Decoded after = decode(unpadded(u.octets), tmp);
            EXPECT_EQ(after.packing.at(0), "grid_simple");
            EXPECT_EQ(after.values, before.values) << bits << " bits, bit map " << bitmap;
        }
    }
    // A constant field in CCSDS packing too.
    const Bytes flat = grib2({0, "grid_ccsds", false, 5.5, 1});
    const Result u = unpack(flat, flat.size() + 1000);
    EXPECT_EQ(decode(unpadded(u.octets), tmp).values, decode(flat, tmp).values);
}

TEST(Grib2Ccsds, OtherFieldsAndNoOptionCopiedAsRead)
{
    for (const FieldSpec &f : {FieldSpec{16, "grid_complex", false, 0, 1}, FieldSpec{0, "grid_simple", false, 3.0, 1},
                               FieldSpec{12, "grid_second_order", false, 0, 1}}) {
        const Bytes msg = grib2(f);
        if (msg.empty()) continue;
        const Result p = pack(msg);
        EXPECT_EQ(p.flag, 0) << f.packing;
        EXPECT_EQ(unpadded(p.octets), msg) << f.packing;
    }
    const Bytes msg = grib2({16, "grid_simple", false, 0, 1});
    for (const Result &r : {pack(msg, 0), unpack(grib2({16, "grid_ccsds", false, 0, 1}), msg.size() * 2, 0)}) {
        EXPECT_EQ(r.flag, 0);
        EXPECT_EQ(r.octets.size() % 8, 0u);
    }
    EXPECT_EQ(unpadded(pack(msg, 0).octets), msg);
}

} // namespace

#endif
