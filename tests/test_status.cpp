// The names of status values: every value of a family has a text of its
// own, and the values of a family are distinct.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <valmora.h>

#include "recpack_util.h"

namespace {

struct Family {
    int id;
    std::vector<int> values;
};

const Family kFamilies[] = {
    {VALMORA_STATUS_DECODE,
     {VALMORA_DECODE_OK, VALMORA_DECODE_NOT_GRIB1, VALMORA_DECODE_DAMAGED, VALMORA_DECODE_TRUNCATED,
      VALMORA_DECODE_UNSUPPORTED, VALMORA_DECODE_NO_ROOM, VALMORA_DECODE_SZIP_FAILED, VALMORA_DECODE_CHECK_MISMATCH,
      VALMORA_DECODE_GRID_NOT_DECODED}},
    {VALMORA_STATUS_PLANES,
     {GRIB_PLANES_WHOLE, GRIB_PLANES_SPLIT, GRIB_PLANES_UNDECIDED, GRIB_PLANES_NOT_TESTED, GRIB_PLANES_DAMAGED,
      GRIB_PLANES_FAILED}},
    {VALMORA_STATUS_FIND, {VALMORA_FIND_RECORD, VALMORA_FIND_MORE, VALMORA_FIND_NONE, VALMORA_FIND_NOT_RECORD}},
    {VALMORA_STATUS_ENCODE, {0, VALMORA_ENCODE_RANGE, VALMORA_ENCODE_NO_ROOM, VALMORA_ENCODE_MISMATCH}},
};

TEST(StatusText, EveryValueNamedOnceInItsFamily)
{
    std::set<int> ids;
    for (const Family &f : kFamilies) {
        EXPECT_TRUE(ids.insert(f.id).second) << "family " << f.id;
        std::set<int> values;
        std::set<std::string> texts;
        for (int v : f.values) {
            EXPECT_TRUE(values.insert(v).second) << "family " << f.id << " value " << v;
            const std::string text = valmoraStatusText(f.id, v);
            EXPECT_NE(text, "unknown status") << "family " << f.id << " value " << v;
            EXPECT_FALSE(text.empty());
            EXPECT_TRUE(texts.insert(text).second) << "family " << f.id << " repeats \"" << text << "\"";
        }
        EXPECT_STREQ(valmoraStatusText(f.id, 12345), "unknown status");
    }
    EXPECT_STREQ(valmoraStatusText(0, 0), "unknown status family");
    // The record finder's names are its results.
    size_t off = 0, len = 0;
    EXPECT_EQ(gribFindRecord("xxxx", 4, &off, &len), VALMORA_FIND_NONE);
    EXPECT_EQ(gribFindRecord("GRIB\0\0", 6, &off, &len), VALMORA_FIND_MORE);
}

// The twin of recUnpackCopy says what the caller used to ask gribGetZip.
TEST(StatusText, RestoredTwinSaysWhetherItRestored)
{
    recpackutil::Bytes rec = recpackutil::makeRecord({"regular_ll_sfc_grib1", 16, nullptr});
    ASSERT_FALSE(rec.empty());
    recpackutil::Bytes packed(rec.size() + 256), back(rec.size() + 512);
    int n = recPackCopy(rec.data(), rec.size(), packed.data(), packed.size());
    ASSERT_GT(n, 0);
    size_t orig = 0;
    ASSERT_EQ(gribGetZip(n, packed.data(), &orig), 128);

    int restored = -1;
    int m = recUnpackCopyRestored(packed.data(), (size_t)n, back.data(), back.size(), &restored);
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(m, recUnpackCopy(packed.data(), (size_t)n, back.data(), back.size()));
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), back.begin()));

    // A plain record is copied as read, not restored; so is damaged szip data.
    m = recUnpackCopyRestored(rec.data(), rec.size(), back.data(), back.size(), &restored);
    EXPECT_EQ(restored, 0);
    packed[(size_t)n - 20] ^= 0xFF;
    packed[(size_t)n - 30] ^= 0xFF;
    restored = -1;
    testing::internal::CaptureStderr();
    m = recUnpackCopyRestored(packed.data(), (size_t)n, back.data(), back.size(), &restored);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(restored, 0);
    EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + m, back.begin()));
}

} // namespace
