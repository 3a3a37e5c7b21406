// The example walker over a file with junk, an unsupported record in the
// middle and an edition 2 record: every record is listed with its offset,
// the unsized one is reported and skipped, and the exit status says so.
#include "record_util.h"

using namespace recutil;
using testutil::Bytes;
using testutil::TempDir;

TEST(GribWalk, ListsEveryRecordAndSkipsTheUnsizedOne)
{
    const std::string walker = std::string(VALMORA_BUILD_DIR) + "/gribwalk";
    if (access(walker.c_str(), X_OK) != 0) GTEST_SKIP() << "the examples are not built";
    TempDir dir;
    Bytes r1 = recordOfLength(100), r3 = recordOfLength(200);
    Bytes bad = {'G', 'R', 'I', 'B', 0, 1, 0, 3, 0, 0};
    Bytes e2 = grib2({{1, 21}, {3, 72}, {4, 34}, {5, 21}, {6, 6}, {7, 10}});
    testutil::writeFile(dir.file("w.grb"), concat({Bytes(5, 0), r1, bad, r3, Bytes(3, 'G'), e2}));

    testutil::CommandResult r = testutil::run(walker + " " + dir.file("w.grb") + " 2>" + dir.file("err"));
    Bytes err = testutil::readFile(dir.file("err"));
    const std::string text(err.begin(), err.end());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "offset            5  edition 1  length        100")) << r.out;
    EXPECT_TRUE(contains(r.out, "offset          115  edition 1  length        200")) << r.out;
    EXPECT_TRUE(contains(r.out, "offset          318  edition 2  length        " + std::to_string(e2.size())))
        << r.out;
    EXPECT_TRUE(contains(r.out, "records: 3")) << r.out;
    EXPECT_TRUE(contains(text, "GRIB version 3 unsupported!")) << text;
    EXPECT_TRUE(contains(text, "record at offset 105 has no length; skipped")) << text;
}
