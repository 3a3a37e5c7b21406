// The buffered file layer: one position shared by the file ID and its stream
// handle, whatever the buffer size; end-of-file state; 64-bit offsets; and
// write, flush and close failures.
#include "record_util.h"

#include "support.h"

#include <fcntl.h>
#include <random>
#include <sys/stat.h>

using testutil::Bytes;
using testutil::TempDir;

namespace {

// What the file holds and where a reader stands, kept by hand.
struct Model {
    Bytes data;
    size_t pos = 0;
    bool eof = false;
};

void checkSame(int id, const Model &m, const std::string &where)
{
    ASSERT_EQ(fileGetPos(id), (int64_t)m.pos) << where;
    ASSERT_EQ(fileEOF(id) != 0, m.eof) << where;
    ASSERT_EQ(filePtrEOF(filePtr(id)) != 0, m.eof) << where;
}

} // namespace

TEST(FileLayer, IdAndHandleShareOnePositionUnderRandomUse)
{
    std::mt19937 rng(11);
    TempDir dir;
    for (long bufsize : {1L, 3L, 16L, 100L, 4096L, 0L}) {
        Model m;
        m.data.resize(5000);
        for (auto &c : m.data) c = (unsigned char)rng();
        std::string path = dir.file("rw.bin");
        testutil::writeFile(path, m.data);
        int id = fileOpen(path.c_str(), "r+");
        ASSERT_GE(id, 0);
        if (bufsize) fileSetBufferSize(id, bufsize);
        void *h = filePtr(id);
        for (int step = 0; step < 3000; ++step) {
            std::string where = "buffer " + std::to_string(bufsize) + " step " + std::to_string(step);
            switch (rng() % 7) {
            case 0: { // one octet through the handle
                int c = filePtrGetc(h);
                if (m.pos < m.data.size()) {
                    ASSERT_EQ(c, m.data[m.pos]) << where;
                    ++m.pos;
                } else {
                    ASSERT_EQ(c, -1) << where;
                    m.eof = true;
                }
                break;
            }
            case 1:
            case 2: { // a block, through the ID or the handle
                size_t n = rng() % 600;
                Bytes buf(n);
                size_t got = (rng() % 2) ? fileRead(id, buf.data(), n) : filePtrRead(h, buf.data(), n);
                size_t want = m.pos >= m.data.size() ? 0 : std::min(n, m.data.size() - m.pos);
                ASSERT_EQ(got, want) << where;
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + (long)got, m.data.begin() + (long)m.pos)) << where;
                m.pos += got;
                if (got < n) m.eof = true;
                break;
            }
            case 3: { // a move from the start, the current position or the end
                int whence = (int)(rng() % 3);
                int64_t base = whence == 0 ? 0 : whence == 1 ? (int64_t)m.pos : (int64_t)m.data.size();
                int64_t target = (int64_t)(rng() % (m.data.size() + 50));
                ASSERT_EQ(fileSetPos(id, target - base, whence), 0) << where;
                m.pos = (size_t)target;
                m.eof = false;
                break;
            }
            case 4: { // a move before the start fails and changes nothing
                ASSERT_NE(fileSetPos(id, -(int64_t)m.pos - 1, 1), 0) << where;
                break;
            }
            case 5: { // a write at the position, maybe past the end
                size_t n = 1 + rng() % 300;
                Bytes buf(n);
                for (auto &c : buf) c = (unsigned char)rng();
                ASSERT_EQ(fileWrite(id, buf.data(), n), n) << where;
                if (m.pos + n > m.data.size()) m.data.resize(m.pos + n, 0);
                std::copy(buf.begin(), buf.end(), m.data.begin() + (long)m.pos);
                m.pos += n;
                break;
            }
            case 6:
                if (rng() % 4 == 0) {
                    fileClearerr(id);
                    m.eof = false;
                }
                break;
            }
            checkSame(id, m, where);
        }
        ASSERT_EQ(fileClose(id), 0);
        ASSERT_EQ(testutil::readFile(path), m.data) << "buffer " << bufsize;
    }
}

TEST(FileLayer, OpenAndCloseResults)
{
    TempDir dir;
    EXPECT_EQ(fileOpen(dir.file("missing").c_str(), "r"), -1);
    EXPECT_EQ(fileOpen(dir.file("x").c_str(), "q"), -1);
    EXPECT_NE(fileClose(-1), 0);
    EXPECT_NE(fileClose(12345), 0);

    int a = fileOpen(dir.file("a").c_str(), "w");
    int b = fileOpen(dir.file("b").c_str(), "w");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(fileClose(a), 0);
    EXPECT_NE(fileClose(a), 0); // no longer open
    int c = fileOpen(dir.file("c").c_str(), "w");
    EXPECT_GE(c, 0);
    EXPECT_EQ(fileClose(b), 0);
    EXPECT_EQ(fileClose(c), 0);

    // "w" truncates an existing file.
    testutil::writeFile(dir.file("t"), Bytes(100, 1));
    int t = fileOpen(dir.file("t").c_str(), "w");
    EXPECT_EQ(fileClose(t), 0);
    EXPECT_TRUE(testutil::readFile(dir.file("t")).empty());
}

TEST(FileLayer, EndOfFileStateIsSetByReadsAndClearedByMovesAndClearerr)
{
    TempDir dir;
    testutil::writeFile(dir.file("e"), Bytes{1, 2, 3});
    int id = fileOpen(dir.file("e").c_str(), "r");
    unsigned char buf[8];
    EXPECT_EQ(fileRead(id, buf, 3), 3u);
    EXPECT_EQ(fileEOF(id), 0); // reading the last octet is not hitting the end
    EXPECT_EQ(fileRead(id, buf, 1), 0u);
    EXPECT_NE(fileEOF(id), 0);
    fileClearerr(id);
    EXPECT_EQ(fileEOF(id), 0);
    EXPECT_EQ(filePtrGetc(filePtr(id)), -1);
    EXPECT_NE(filePtrEOF(filePtr(id)), 0);
    EXPECT_EQ(fileSetPos(id, 1, 0), 0);
    EXPECT_EQ(fileEOF(id), 0);
    EXPECT_EQ(filePtrGetc(filePtr(id)), 2);
    EXPECT_EQ(fileClose(id), 0);
}

TEST(FileLayer, OffsetsBeyondFourGigabytes)
{
    TempDir dir;
    std::string path = dir.file("sparse.bin");
    const int64_t far = (int64_t)5 << 30;
    int id = fileOpen(path.c_str(), "w");
    ASSERT_GE(id, 0);
    ASSERT_EQ(fileSetPos(id, far, 0), 0);
    EXPECT_EQ(fileWrite(id, "GRIB", 4), 4u);
    EXPECT_EQ(fileGetPos(id), far + 4);
    ASSERT_EQ(fileClose(id), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ((int64_t)st.st_size, far + 4);

    id = fileOpen(path.c_str(), "r");
    ASSERT_EQ(fileSetPos(id, -4, 2), 0);
    EXPECT_EQ(fileGetPos(id), far);
    long count = -1;
    EXPECT_EQ(gribFileSeek(id, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(gribGetPos(id), far + 4);
    EXPECT_EQ(fileClose(id), 0);
}

TEST(FileLayer, LargeReadsArriveWholeAtAnyBufferSize)
{
    TempDir dir;
    Bytes data(3 << 20);
    std::mt19937 rng(5);
    for (auto &c : data) c = (unsigned char)rng();
    testutil::writeFile(dir.file("big"), data);
    for (long bufsize : {0L, 7L, 65536L, 1L << 22}) {
        int id = fileOpen(dir.file("big").c_str(), "r");
        if (bufsize) fileSetBufferSize(id, bufsize);
        Bytes out(data.size());
        EXPECT_EQ(filePtrGetc(filePtr(id)), data[0]);
        out[0] = data[0];
        EXPECT_EQ(fileRead(id, out.data() + 1, data.size()), data.size() - 1);
        EXPECT_EQ(out, data) << bufsize;
        EXPECT_EQ(fileGetPos(id), (int64_t)data.size());
        EXPECT_NE(fileEOF(id), 0);
        EXPECT_EQ(fileClose(id), 0);
    }
}

TEST(FileLayer, WriteFailuresShowAtFlushAndClose)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    int id = fileOpen("/dev/full", "w");
    ASSERT_GE(id, 0);
    EXPECT_EQ(fileWrite(id, "abc", 3), 3u); // buffered
    EXPECT_NE(fileFlush(id), 0);
    EXPECT_NE(fileClose(id), 0);

    id = fileOpen("/dev/full", "w");
    EXPECT_EQ(fileWrite(id, "abc", 3), 3u);
    EXPECT_NE(fileClose(id), 0); // the pending octets fail at the close

    TempDir dir;
    id = fileOpen(dir.file("ok").c_str(), "w");
    EXPECT_EQ(fileWrite(id, "abc", 3), 3u);
    EXPECT_EQ(fileFlush(id), 0);
    EXPECT_EQ(testutil::readFile(dir.file("ok")), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(fileClose(id), 0);
}

TEST(FileLayer, WritesOnAReadOnlyFileWriteNothing)
{
    TempDir dir;
    testutil::writeFile(dir.file("r"), Bytes(10, 1));
    int id = fileOpen(dir.file("r").c_str(), "r");
    EXPECT_EQ(fileWrite(id, "abc", 3), 0u);
    EXPECT_EQ(fileGetPos(id), 0);
    EXPECT_EQ(fileClose(id), 0);
    EXPECT_EQ(testutil::readFile(dir.file("r")), Bytes(10, 1));
}

// ---- Messages, memory and the edition query -------------------------------------

TEST(SupportServices, MessagesNameTheCallerAndReturn)
{
    std::string err = recutil::stderrOf([] {
        Message_("someCaller", "value %d", 42);
        Warning_("gribGetSize", "GRIB record not found!");
        Error_("confp3", "Invalid conversion type = %d", 7);
        Message_("encodeBDS_double", "bits %d", 16);
    });
    EXPECT_TRUE(recutil::contains(err, "someCaller")) << err;
    EXPECT_TRUE(recutil::contains(err, "value 42\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "gribGetSize")) << err;
    EXPECT_TRUE(recutil::contains(err, "GRIB record not found!\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "Invalid conversion type = 7\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "bits 16\n")) << err;
}

TEST(SupportServices, SysErrorEndsTheProcessWithTheSystemText)
{
    EXPECT_EXIT(
        {
            errno = ENOENT;
            SysError_("grsdef", "GRPRS_STREAM = %s", "nowhere/x");
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "GRPRS_STREAM = nowhere/x(.|\n)*No such file");
}

TEST(SupportServices, TracedMemoryCountsLiveBlocks)
{
    long before = memBlocksInUse();
    void *a = memMalloc(100, "test_filelayer.cpp", "test", __LINE__);
    void *b = memMalloc(0, "test_filelayer.cpp", "test", __LINE__);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    memset(a, 0x42, 100);
    EXPECT_EQ(memBlocksInUse(), before + 2);
    a = memRealloc(a, 100000, "test_filelayer.cpp", "test", __LINE__);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(((unsigned char *)a)[99], 0x42); // contents kept
    EXPECT_EQ(memBlocksInUse(), before + 2);
    void *c = memRealloc(nullptr, 10, "test_filelayer.cpp", "test", __LINE__);
    EXPECT_EQ(memBlocksInUse(), before + 3);
    memFree(a, "test_filelayer.cpp", "test", __LINE__);
    memFree(b, "test_filelayer.cpp", "test", __LINE__);
    memFree(c, "test_filelayer.cpp", "test", __LINE__);
    memFree(nullptr, "test_filelayer.cpp", "test", __LINE__);
    EXPECT_EQ(memBlocksInUse(), before);
}

TEST(SupportServices, MemoryRequestsNameTheirSourceInTheDebugTrace)
{
    void *p = nullptr;
    VALMORA_Debug = 1;
    std::string err = recutil::stderrOf([&] {
        p = memMalloc(48, "/some/dir/grib_int.cpp", "scale_complex_double", 31);
        p = memRealloc(p, 96, "lib/pbio.cpp", "pbOpen", 94);
        memFree(p, "korvidPrint.cpp", "gribPrintSec2SP", 1047);
    });
    VALMORA_Debug = 0;
    EXPECT_TRUE(recutil::contains(err, "48 octets at ")) << err;
    EXPECT_TRUE(recutil::contains(err, "(grib_int.cpp, scale_complex_double, line 31)\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "96 octets at ")) << err;
    EXPECT_TRUE(recutil::contains(err, "(pbio.cpp, pbOpen, line 94)\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "(korvidPrint.cpp, gribPrintSec2SP, line 1047)\n")) << err;
    EXPECT_TRUE(recutil::contains(err, "memMalloc") && recutil::contains(err, "memRealloc") &&
                recutil::contains(err, "memFree"))
        << err;
    err = recutil::stderrOf([] { memFree(memMalloc(10, "t.cpp", "t", 1), "t.cpp", "t", 2); });
    EXPECT_EQ(err, "") << "no trace without the debug setting";
}

TEST(SupportServices, EditionQuery)
{
    Bytes e1 = {'G', 'R', 'I', 'B', 0, 0, 100, 1};
    Bytes e2 = {'G', 'R', 'I', 'B', 0, 0, 0, 2};
    Bytes e0 = {'G', 'R', 'I', 'B', 0, 0, 24, 3};
    Bytes e24 = {'G', 'R', 'I', 'B', 0, 0, 24, 1};
    Bytes junk = {'B', 'U', 'F', 'R', 0, 0, 24, 1};
    EXPECT_EQ(gribVersion(e1.data(), e1.size()), 1);
    EXPECT_EQ(gribVersion(e2.data(), e2.size()), 2);
    EXPECT_EQ(gribVersion(e0.data(), e0.size()), 0);
    EXPECT_EQ(gribVersion(e24.data(), e24.size()), 1);
    int other = gribVersion(junk.data(), junk.size());
    EXPECT_TRUE(other != 0 && other != 1 && other != 2);
    other = gribVersion(e1.data(), 4); // too short to hold the edition
    EXPECT_TRUE(other != 0 && other != 1 && other != 2);
}
