// The szip form as doc/format.md states it, restored here step by step with
// the szip library alone (no recUnpack), so that the document and the coder
// cannot drift apart: whatever recPack writes, a reader that follows the
// document gets the record back octet for octet, and the check of octets
// 12-13, where present, is the one the document defines.
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <string>

extern "C" {
#include <szlib.h>
}

#ifdef VALMORA_HAVE_ECCODES_API
#include "recpack_util.h"

using namespace testutil;

namespace {

// CRC-32C as the document defines it: reflected 0x82F63B78, initial value
// and final XOR 0xFFFFFFFF; bit by bit, independent of the library's.
uint32_t crc32c(const unsigned char *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

uint32_t documentedCheck(const Bytes &section)
{
    uint32_t c = crc32c(section.data(), section.size()) & 0xFFFF;
    return c == 0 ? 0xFFFF : c;
}

struct Restored {
    Bytes record;
    uint32_t check = 0;        // octets 12-13 as stored
    uint32_t computed = 0;     // the check of the rebuilt section
    std::string failure;       // empty when the steps went through
};

// "Restoring a record", steps 1 to 6.
Restored restoreAsDocumented(const Bytes &in)
{
    Restored r;
    size_t off = 8;
    const unsigned pdsFlag = in[off + 7];
    off += get3(in, off);
    if (pdsFlag & 0x80) off += get3(in, off);
    if (pdsFlag & 0x40) off += get3(in, off);
    const unsigned char *bds = in.data() + off;
    const size_t bdslen = get3(in, off);
    const unsigned flag = bds[3];
    if (!(flag & 0x10) || bds[13] != 128) {
        r.failure = "not in the szip form";
        return r;
    }
    const size_t X = !(flag & 0x80) ? 0 : !(flag & 0x40) ? 4 : 7 + 4 * ((size_t)bds[27] + 1) * ((size_t)bds[27] + 2);
    const int n = bds[10];
    const uint32_t oldLength = get3(in, off + 14);
    const size_t D = get3(in, off + 17), C = get3(in, off + 20);
    r.check = (uint32_t)bds[11] << 8 | bds[12];
    if (23 + X + C > bdslen) {
        r.failure = "stream longer than the section";
        return r;
    }

    Bytes data(D);
    size_t got = D;
    SZ_com_t params{176, n == 24 ? 8 : n, 8, 1024};
    if (SZ_BufftoBuffDecompress(data.data(), &got, bds + 23 + X, C, &params) != SZ_OK || got != D) {
        r.failure = "szip failed or gave another length";
        return r;
    }
    if (n == 24) {
        const size_t k = D / 3;
        Bytes joined(D);
        for (size_t i = 0; i < k; ++i)
            for (size_t j = 0; j < 3; ++j) joined[3 * i + j] = data[j * k + i];
        data = joined;
    }

    size_t plainLen = 11 + X + D;
    const bool pad = plainLen % 2 != 0;
    plainLen += pad;
    Bytes section(bds, bds + 11);
    put3(section, 0, (uint32_t)plainLen);
    section[3] = (unsigned char)(((flag & ~0x10u) & 0xF0) | (pad ? 8 : 0));
    section.insert(section.end(), bds + 23, bds + 23 + X);
    section.insert(section.end(), data.begin(), data.end());
    if (pad) section.push_back(0);
    r.computed = documentedCheck(section);

    r.record.assign(in.begin(), in.begin() + (long)off);
    r.record.insert(r.record.end(), section.begin(), section.end());
    for (char c : {'7', '7', '7', '7'}) r.record.push_back((unsigned char)c);
    put3(r.record, 4, oldLength);
    return r;
}

} // namespace

TEST(SzipFormDoc, CheckOfTheDocumentedExample)
{
    const unsigned char text[] = "123456789";
    EXPECT_EQ(crc32c(text, 9), 0xE3069283u);
}

TEST(SzipFormDoc, RecordsRestoredByTheDocumentAreTheOriginals)
{
    using recpackutil::FieldDesc;
    int packed = 0, checked = 0;
    for (int bits : {8, 16, 24, 32}) {
        const FieldDesc descs[] = {
            {"regular_gg_ml_grib1", bits, nullptr, false, 0, 130, 1},
            {"reduced_gg_pl_48_grib1", bits, nullptr, true, 0, 139, 2},
            {"sh_ml_grib1", bits, "spectral_simple", false, 0, 130, 3},
            {"sh_ml_grib1", bits, nullptr, false, 106, 130, 4},
        };
        for (const FieldDesc &desc : descs) {
            const std::string what = std::string(desc.sample) + " " + std::to_string(bits);
            const Bytes rec = recpackutil::makeRecord(desc);
            ASSERT_FALSE(rec.empty()) << what;
            Bytes buf(rec);
            buf.resize(rec.size() + 1000);
            Bytes work(buf.size());
            const int length = recPack(buf.data(), buf.size(), work.data(), work.size());
            ASSERT_GT(length, 0) << what;
            buf.resize(get3(buf, 4));
            if (buf == rec) continue; // left as it was: nothing to restore

            ++packed;
            const Restored r = restoreAsDocumented(buf);
            ASSERT_TRUE(r.failure.empty()) << what << ": " << r.failure;
            EXPECT_TRUE(r.record == rec) << what << ": restored " << r.record.size() << " octets of " << rec.size();
            if (r.check != 0) {
                ++checked;
                EXPECT_EQ(r.check, r.computed) << what;
            }
        }
    }
    EXPECT_GT(packed, 8);
    // A coder writes the check into every record it packs, or (before the
    // check existed) into none.
    EXPECT_TRUE(checked == 0 || checked == packed) << checked << " of " << packed << " carry a check";
}

#endif
