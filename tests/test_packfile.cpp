// recPackFile, the library's file pipeline, called as a program other than
// recpack would call it: its counts, its messages through the caller's
// functions, its refusals, and several runs at once in one process.
#include "pack_util.h"

#include <gtest/gtest.h>

#include <valmora.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace testutil;

namespace {

struct Heard {
    std::vector<std::string> lines;
    int erased = 0;           // progress calls with no counts
    int updates = 0;          // progress calls with counts
    bool erasedFirst = true;  // every line came after an erase
    bool pendingErase = false;
};

void onProgress(void *context, const recPackResult *sofar)
{
    Heard &h = *static_cast<Heard *>(context);
    if (sofar) {
        ++h.updates;
    } else {
        ++h.erased;
        h.pendingErase = true;
    }
}

void onMessage(void *context, const char *text)
{
    Heard &h = *static_cast<Heard *>(context);
    if (!h.pendingErase) h.erasedFirst = false;
    h.pendingErase = false;
    h.lines.push_back(text);
}

// One run from file `in` to file `out`.
int packFile(const std::string &in, const std::string &out, recPackOptions &o, recPackResult &res)
{
    int ifd = open(in.c_str(), O_RDONLY), ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int status = recPackFile(ifd, ofd, &o, &res);
    close(ifd);
    close(ofd);
    return status;
}

TEST(PackFile, CountsMessagesAndTheWayBack)
{
    TempDir tmp;
    Bytes a = fieldRecord(5000, 16, 1), b = fieldRecord(6000, 24, 2), plain = fieldRecord(3000, 12, 3);
    Bytes in(12, 'h');
    for (const Bytes *r : {&a, &plain, &b}) in.insert(in.end(), r->begin(), r->end());
    writeFile(tmp.file("in"), in);

    Heard heard;
    recPackOptions o;
    memset(&o, 0, sizeof o);
    o.workers = 2;
    o.compat = 1; // the plain record stays as it is in the code-128 form
    o.program = "packer";
    o.progress = onProgress;
    o.message = onMessage;
    o.context = &heard;
    recPackResult res;
    ASSERT_EQ(packFile(tmp.file("in"), tmp.file("packed"), o, res), 0);
    Bytes packed = readFile(tmp.file("packed"));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.recordsCoded, 2u);
    EXPECT_EQ(res.recordsCopied, 1u);
    EXPECT_EQ(res.recordsLeftPacked, 0u);
    EXPECT_EQ(res.octetsIn, in.size());
    EXPECT_EQ(res.octetsOut, packed.size());
    EXPECT_LT(packed.size(), in.size());
    ASSERT_EQ(heard.lines.size(), 1u);
    EXPECT_EQ(heard.lines[0], "packer: 12 octets at offset 0 hold no GRIB record; copied as they stand\n");
    EXPECT_TRUE(heard.erasedFirst);
    EXPECT_EQ(heard.updates, 5); // three records, the stretch and its line
    EXPECT_GE(res.wallAll, 0.0);

    o.unpack = 1;
    o.program = nullptr;
    o.message = nullptr;
    o.progress = nullptr;
    ASSERT_EQ(packFile(tmp.file("packed"), tmp.file("back"), o, res), 0);
    EXPECT_EQ(res.recordsCoded, 2u);
    EXPECT_EQ(res.recordsCopied, 1u);
    Bytes back = readFile(tmp.file("back"));
    EXPECT_EQ(res.octetsOut, back.size());
    for (const Bytes *r : {&a, &b, &plain})
        EXPECT_NE(std::search(back.begin(), back.end(), r->begin(), r->end()), back.end());
}

TEST(PackFile, RefusesBadArgumentsBeforeReading)
{
    TempDir tmp;
    writeFile(tmp.file("in"), fieldRecord(5000, 16));
    int ifd = open(tmp.file("in").c_str(), O_RDONLY), ofd = open(tmp.file("out").c_str(), O_WRONLY | O_CREAT, 0644);
    recPackOptions o;
    recPackResult res;
    auto refused = [&](void (*set)(recPackOptions &)) {
        memset(&o, 0, sizeof o);
        set(o);
        testing::internal::CaptureStderr();
        int status = recPackFile(ifd, ofd, &o, &res);
        testing::internal::GetCapturedStderr();
        return status == -1 && res.status == -1;
    };
    EXPECT_TRUE(refused([](recPackOptions &x) { x.workers = 1025; }));
    EXPECT_TRUE(refused([](recPackOptions &x) { x.workers = -1; }));
    EXPECT_TRUE(refused([](recPackOptions &x) { x.unpack = 2; }));
    EXPECT_TRUE(refused([](recPackOptions &x) { x.compat = 2; }));
    EXPECT_TRUE(refused([](recPackOptions &x) { x.grib2 = -1; }));
    testing::internal::CaptureStderr();
    EXPECT_EQ(recPackFile(-1, ofd, nullptr, &res), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(lseek(ifd, 0, SEEK_CUR), 0); // nothing read
    EXPECT_EQ(lseek(ofd, 0, SEEK_END), 0); // nothing written
    close(ifd);
    close(ofd);
}

// Runs in several threads of one process, each with workers of its own and
// its input mapped, write what a single run writes.
TEST(PackFileThreads, RunsAtOnceWriteWhatOneRunWrites)
{
    TempDir tmp;
    Bytes in;
    for (unsigned k = 0; k < 6; ++k) {
        Bytes r = fieldRecord(4000 + 500 * k, k % 2 ? 24 : 16, k + 1);
        in.insert(in.end(), r.begin(), r.end());
        in.insert(in.end(), 5, 'x');
    }
    writeFile(tmp.file("in"), in);
    recPackOptions o;
    memset(&o, 0, sizeof o);
    o.message = [](void *, const char *) {};
    recPackResult res;
    ASSERT_EQ(packFile(tmp.file("in"), tmp.file("one"), o, res), 0);
    const Bytes one = readFile(tmp.file("one"));

    constexpr int runs = 4;
    int status[runs];
    std::vector<std::thread> threads;
    for (int k = 0; k < runs; ++k)
        threads.emplace_back([&, k] {
            recPackOptions mine = o;
            mine.workers = 2;
            recPackResult r;
            status[k] = packFile(tmp.file("in"), tmp.file("run" + std::to_string(k)), mine, r);
        });
    for (std::thread &t : threads) t.join();
    for (int k = 0; k < runs; ++k) {
        EXPECT_EQ(status[k], 0);
        EXPECT_TRUE(readFile(tmp.file("run" + std::to_string(k))) == one) << "run " << k;
    }
}

} // namespace
