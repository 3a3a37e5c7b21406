// Record access on inputs that are not plain files: pipes and FIFOs (which
// read once, in order) and inputs that fail to read. Every record of a pipe
// is found whatever the sizes of the writes that fill it; a read error is
// never taken for the end of the file.
#include "record_util.h"

#include "support.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <thread>

using namespace recutil;
using testutil::Bytes;
using testutil::TempDir;

namespace {

// Records of many lengths with junk between them, so that markers and
// headers fall on every offset of a buffer refill.
std::vector<Bytes> mixedRecords(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<Bytes> recs;
    for (int i = 0; i < count; ++i) recs.push_back(recordOfLength(56 + rng() % 9000, (unsigned char)i));
    return recs;
}

Bytes joined(const std::vector<Bytes> &recs, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes data;
    for (const Bytes &r : recs) {
        data.insert(data.end(), rng() % 12, 'G'); // junk that starts like a marker
        data.insert(data.end(), r.begin(), r.end());
    }
    return data;
}

// A FIFO filled by a thread in writes of `chunk` octets.
struct Fifo {
    std::string path;
    std::thread writer;
    Fifo(const TempDir &dir, const Bytes &data, size_t chunk) : path(dir.file("fifo"))
    {
        signal(SIGPIPE, SIG_IGN); // a reader that stops early must not end the test
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        writer = std::thread([this, &data, chunk] {
            int fd = open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            for (size_t at = 0; at < data.size();) {
                size_t n = std::min(chunk, data.size() - at);
                ssize_t w = write(fd, data.data() + at, n);
                if (w <= 0) break;
                at += (size_t)w;
            }
            close(fd);
        });
    }
    ~Fifo() { writer.join(); }
};

// Reads every record with gribGetSize and gribRead; stops at the first
// failure. The records read are compared with `want`.
size_t readAll(int id, const std::vector<Bytes> &want)
{
    size_t i = 0, len;
    while ((len = gribGetSize(id)) > 0) {
        Bytes buf(len);
        size_t size = len;
        if (gribRead(id, buf.data(), &size) != 0) break;
        EXPECT_LT(i, want.size());
        if (i >= want.size()) break;
        EXPECT_EQ(buf, want[i]) << "record " << i;
        ++i;
    }
    return i;
}

// The read error injected by the tests: EIO once `failAt` octets of any
// file have been delivered.
std::atomic<long> delivered{0};
long failAt = 0;

long failingRead(int fd, void *buffer, size_t n)
{
    long left = failAt - delivered;
    if (left <= 0) {
        errno = EIO;
        return -1;
    }
    if ((long)n > left) n = (size_t)left;
    long r = (long)read(fd, buffer, n);
    if (r > 0) delivered += r;
    return r;
}

struct InjectedReadError {
    explicit InjectedReadError(long after)
    {
        delivered = 0;
        failAt = after;
        fileSetReadFunction(failingRead);
    }
    ~InjectedReadError() { fileSetReadFunction(nullptr); }
};

} // namespace

// ---- Pipes and FIFOs ---------------------------------------------------------

TEST(RecordStreams, EveryRecordOfAFifoIsFoundAtAnyWriteSize)
{
    std::vector<Bytes> recs = mixedRecords(60, 5);
    Bytes data = joined(recs, 6);
    for (size_t chunk : {(size_t)1, (size_t)7, (size_t)6007, (size_t)65536}) {
        TempDir dir;
        Fifo fifo(dir, data, chunk);
        int id = gribOpen(fifo.path.c_str(), "r");
        ASSERT_GE(id, 0);
        EXPECT_EQ(readAll(id, recs), recs.size()) << "writes of " << chunk;
        EXPECT_EQ(gribGetSize(id), 0u);
        EXPECT_EQ(gribFileError(id), 0) << "end of a pipe is no error";
        gribClose(id);
    }
}

TEST(RecordStreams, SmallBuffersStillKeepTheMarkerAndHeaders)
{
    std::vector<Bytes> recs = mixedRecords(20, 9);
    Bytes data = joined(recs, 10);
    TempDir dir;
    Fifo fifo(dir, data, 7);
    int id = gribOpen(fifo.path.c_str(), "r");
    ASSERT_GE(id, 0);
    fileSetBufferSize(id, 64);
    EXPECT_EQ(readAll(id, recs), recs.size());
    EXPECT_EQ(gribFileError(id), 0);
    gribClose(id);
}

// A large-form record is sized by walking its headers; on a pipe the walk
// over a grid description and a bit map is undone from the kept octets.
TEST(RecordStreams, LargeRecordHeadersAreWalkedOnAPipe)
{
    TempDir dir;
    Bytes head = largeHeaders(69906, 50, 28, 5200, 3000);
    std::string plain = dir.file("plain.grb");
    testutil::writeFile(plain, head);
    int id = gribOpen(plain.c_str(), "r");
    size_t len = gribGetSize(id); // the oracle: the same record on a plain file
    gribClose(id);
    ASSERT_GT(len, head.size());
    Bytes rec = head;
    rec.resize(len, 0x11);
    std::vector<Bytes> recs = {recordOfLength(100), rec, recordOfLength(200)};
    Bytes data = joined(recs, 2);

    Fifo fifo(dir, data, 6007);
    id = gribOpen(fifo.path.c_str(), "r");
    ASSERT_GE(id, 0);
    EXPECT_EQ(readAll(id, recs), recs.size());
    EXPECT_EQ(gribFileError(id), 0);
    gribClose(id);
}

// What a pipe cannot give back is reported, not skipped: a bit map larger
// than the octets kept leaves no length and the error set.
TEST(RecordStreams, AMoveBackBeyondTheKeptOctetsIsReported)
{
    TempDir dir;
    Bytes rec = largeHeaders(69906, 50, 28, 0, 200000);
    rec.resize(9000000, 0x22);
    Fifo fifo(dir, rec, 65536);
    int id = gribOpen(fifo.path.c_str(), "r");
    ASSERT_GE(id, 0);
    EXPECT_EQ(gribGetSize(id), 0u);
    EXPECT_EQ(gribFileError(id), ESPIPE);
    gribClose(id);
}

// ---- Read errors ---------------------------------------------------------------

TEST(ReadErrors, AnErrorInTheMiddleIsNotTheEndOfTheFile)
{
    TempDir dir;
    std::vector<Bytes> recs;
    for (int i = 0; i < 5; ++i) recs.push_back(recordOfLength(30000, (unsigned char)i));
    Bytes data = joined(recs, 1);
    std::string path = dir.file("f.grb");
    testutil::writeFile(path, data);

    for (long at : {70000L, 4L, 30002L}) {
        int id = gribOpen(path.c_str(), "r");
        ASSERT_GE(id, 0);
        InjectedReadError inject(at);
        size_t n = readAll(id, recs);
        EXPECT_LT(n, recs.size()) << at;
        EXPECT_EQ(gribFileError(id), EIO) << at;
        // Every record function now fails, none says end of file.
        long count;
        EXPECT_EQ(gribFileSeek(id, &count), 1) << at;
        int edition;
        EXPECT_EQ(gribCheckSeek(id, &count, &edition), 1) << at;
        EXPECT_EQ(edition, -1);
        EXPECT_EQ(gribGetSize(id), 0u);
        EXPECT_EQ(gribReadSize(id), 0u);
        Bytes buf(40000);
        size_t size = buf.size();
        EXPECT_EQ(gribRead(id, buf.data(), &size), 1) << at;
        EXPECT_EQ(size, 0u);
        EXPECT_NE(gribClose(id), 0) << "a file that failed to read does not close cleanly";
    }
}

TEST(ReadErrors, ADirectoryIsAReadErrorNotAnEmptyFile)
{
    TempDir dir;
    int id = gribOpen(dir.path.c_str(), "r");
    if (id < 0) GTEST_SKIP() << "directories cannot be opened here";
    EXPECT_EQ(gribGetSize(id), 0u);
    EXPECT_EQ(gribFileError(id), EISDIR);
    Bytes buf(100);
    size_t size = buf.size();
    EXPECT_EQ(gribRead(id, buf.data(), &size), 1);
    gribClose(id);
}

// gribGetSize gives 0 at the end of the file and for a record it cannot
// size; gribFileError is 0 for both, and gribRead tells them apart.
TEST(ReadErrors, EndOfFileAndAnUnsizableRecordAreToldApartByGribRead)
{
    TempDir dir;
    Bytes bad = {'G', 'R', 'I', 'B', 0, 1, 0, 3};
    bad.resize(40, 0x33);
    Bytes rec = recordOfLength(64);
    std::string path = dir.file("f.grb");
    testutil::writeFile(path, concat({bad, rec}));
    int id = gribOpen(path.c_str(), "r");
    Bytes buf(64);
    size_t size = buf.size();
    stderrOf([&] { EXPECT_EQ(gribGetSize(id), 0u); });
    EXPECT_EQ(gribFileError(id), 0);
    stderrOf([&] { EXPECT_EQ(gribRead(id, buf.data(), &size), 1); }); // past its marker
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(gribGetSize(id), 64u);
    size = buf.size();
    EXPECT_EQ(gribRead(id, buf.data(), &size), 0);
    EXPECT_EQ(gribGetSize(id), 0u);
    EXPECT_EQ(gribFileError(id), 0);
    size = buf.size();
    EXPECT_EQ(gribRead(id, buf.data(), &size), -1);
    gribClose(id);
    EXPECT_NE(gribFileError(id), 0) << "a closed ID is no open file";
}
