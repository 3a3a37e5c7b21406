// recPackFile, the library's file pipeline, called as a program other than
// recpack would call it: its counts, its messages through the caller's
// functions, its refusals, and several runs at once in one process.
#include "pack_util.h"

#include <gtest/gtest.h>

#include <valmora.h>

#include <csignal>
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
    ASSERT_EQ(heard.lines.size(), 2u);
    EXPECT_EQ(heard.lines[0], "packer: 12 octets at offset 0 hold no GRIB record; copied as they stand\n");
    // The coder's own width warning (once per process) comes first, in the
    // same line block.
    const std::string width = "packer: GRIB record at offset " + std::to_string(12 + a.size()) +
                              " holds 12-bit data, which szip does not code; copied as read\n";
    EXPECT_TRUE(heard.lines[1] == width ||
                heard.lines[1] == "GRIB szip supports only 8, 16, 24 and 32 bit data!\n" + width)
        << heard.lines[1];
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

// Offsets of the records in a file of records and padding.
std::vector<size_t> recordOffsets(const Bytes &file)
{
    std::vector<size_t> at;
    size_t pos = 0;
    while (pos < file.size()) {
        size_t off = 0, length = 0;
        if (gribFindRecord(file.data() + pos, file.size() - pos, &off, &length) != VALMORA_FIND_RECORD) break;
        at.push_back(pos + off);
        pos += off + length;
    }
    return at;
}

// Offset of the data section in an edition 1 record.
size_t bdsOffset(const Bytes &file, size_t rec)
{
    size_t off = rec + 8;
    const unsigned flag = file[off + 7];
    off += get3(file, off);
    if (flag & 0x80) off += get3(file, off);
    if (flag & 0x40) off += get3(file, off);
    return off;
}

// n 16-bit records, one after the other.
Bytes fieldRecords(unsigned n, size_t values)
{
    Bytes in;
    for (unsigned k = 0; k < n; ++k) {
        Bytes r = fieldRecord(values + 300 * k, 16, k + 1);
        in.insert(in.end(), r.begin(), r.end());
    }
    return in;
}

// `in` packed as recpack packs it, every record coded; `in` stays in file "in".
Bytes packedRecords(TempDir &tmp, const Bytes &in)
{
    writeFile(tmp.file("in"), in);
    recPackOptions o;
    memset(&o, 0, sizeof o);
    o.message = [](void *, const char *) {};
    recPackResult res;
    EXPECT_EQ(packFile(tmp.file("in"), tmp.file("packed"), o, res), 0);
    EXPECT_EQ(res.recordsCoded, recordOffsets(in).size());
    return readFile(tmp.file("packed"));
}

// The run's calls, in order: "E" an erase, "U n" an update after n
// records, "M text" a message.
std::vector<std::string> heardRun(const std::string &in, const std::string &out, recPackOptions o, int &status)
{
    std::vector<std::string> events;
    o.context = &events;
    o.progress = [](void *c, const recPackResult *sofar) {
        static_cast<std::vector<std::string> *>(c)->push_back(
            sofar ? "U " + std::to_string(sofar->recordsCoded + sofar->recordsCopied + sofar->recordsLeftPacked)
                  : "E");
    };
    o.message = [](void *c, const char *text) {
        static_cast<std::vector<std::string> *>(c)->push_back("M " + std::string(text));
    };
    recPackResult res;
    status = packFile(in, out, o, res);
    return events;
}

// The positions of the messages among the events.
std::vector<size_t> messagesAt(const std::vector<std::string> &events)
{
    std::vector<size_t> at;
    for (size_t k = 0; k < events.size(); ++k)
        if (events[k][0] == 'M') at.push_back(k);
    return at;
}

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// What the library says while a record is framed or worked on comes out
// with the record, in file order, after the progress line is erased, and
// is followed by the run's line naming the record: for one worker and many.
TEST(PackFile, LibraryMessagesComeWithTheirRecordInFileOrder)
{
    TempDir tmp;
    const Bytes in = fieldRecords(6, 4000);
    Bytes packed = packedRecords(tmp, in);
    const std::vector<size_t> at = recordOffsets(packed);
    ASSERT_EQ(at.size(), 6u);
    recPackOptions o;
    memset(&o, 0, sizeof o);
    constexpr size_t damagedIndex = 3;
    // A coded octet: the whole-record check fails and the library says so.
    packed[bdsOffset(packed, at[damagedIndex]) + 60] ^= 0x55;
    writeFile(tmp.file("damaged"), packed);
    // A product section longer than the record: the locator says so.
    Bytes unframed = in;
    const size_t plainAt = recordOffsets(in)[damagedIndex];
    unframed[plainAt + 9] = 0x7f;
    writeFile(tmp.file("unframed"), unframed);

    for (int workers : {1, 4}) {
        SCOPED_TRACE(workers);
        o.workers = workers;
        int status = 0;

        o.unpack = 1;
        testing::internal::CaptureStderr();
        std::vector<std::string> events = heardRun(tmp.file("damaged"), tmp.file("back"), o, status);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); // nothing past the message function
        EXPECT_EQ(status, 1);
        std::vector<size_t> said = messagesAt(events);
        ASSERT_EQ(said.size(), 1u);
        size_t m = said[0];
        ASSERT_GE(m, 2u);
        EXPECT_EQ(events[m - 1], "E");
        EXPECT_EQ(events[m - 2], "U " + std::to_string(damagedIndex));
        EXPECT_EQ(events[m].rfind("M Warning (recUnpackRecord): ", 0), 0u) << events[m];
        EXPECT_TRUE(endsWith(events[m], "recunpack: GRIB record at offset " + std::to_string(at[damagedIndex]) +
                                            " left packed; copied as read\n"))
            << events[m];

        o.unpack = 0;
        testing::internal::CaptureStdout();
        events = heardRun(tmp.file("unframed"), tmp.file("out"), o, status);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "GRIB message error\n");
        EXPECT_EQ(status, 0);
        said = messagesAt(events);
        ASSERT_EQ(said.size(), 2u);
        m = said[0];
        ASSERT_GE(m, 2u);
        EXPECT_EQ(events[m - 1], "E");
        EXPECT_EQ(events[m - 2], "U " + std::to_string(damagedIndex));
        EXPECT_EQ(events[m].rfind("M GRIB record damaged: ", 0), 0u) << events[m];
        EXPECT_EQ(events[said[1]], "M recpack: GRIB record at offset " + std::to_string(plainAt) +
                                       " is damaged; copied as read\n");
    }
}

// Damage that hides a record of the packed form with a whole-record check
// is found: a flipped length octet, end section or flag of such a record
// never restores with status 0.
TEST(PackFile, DamagedRecordsOfTheCheckedFormAreReported)
{
    TempDir tmp;
    const Bytes packed = packedRecords(tmp, fieldRecords(3, 3000));
    recPackOptions o;
    memset(&o, 0, sizeof o);
    recPackResult res;
    const std::vector<size_t> at = recordOffsets(packed);
    ASSERT_EQ(at.size(), 3u);
    const size_t rec = at[1], bds = bdsOffset(packed, rec);
    const size_t end = rec + get3(packed, rec + 4) - 4;
    ASSERT_EQ(memcmp(&packed[end], "7777", 4), 0);
    struct Flip {
        size_t at;
        unsigned mask;
    };
    std::vector<Flip> flips = {{bds + 3, 0x10}};
    for (size_t octet : {rec + 4, rec + 5, rec + 6, bds, bds + 1, bds + 2, end, end + 1, end + 2, end + 3})
        for (unsigned bit = 0; bit < 8; ++bit) flips.push_back({octet, 1u << bit});

    o.unpack = 1;
    o.workers = 2;
    std::string lines;
    o.context = &lines;
    o.message = [](void *c, const char *text) { *static_cast<std::string *>(c) += text; };
    for (const Flip &f : flips) {
        Bytes damaged = packed;
        damaged[f.at] ^= (unsigned char)f.mask;
        writeFile(tmp.file("damaged"), damaged);
        lines.clear();
        testing::internal::CaptureStdout(); // the locator's fixed texts
        const int status = packFile(tmp.file("damaged"), tmp.file("back"), o, res);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, 1) << "octet " << f.at - rec << " of the record, bit mask " << f.mask << "\n" << lines;
        EXPECT_NE(lines.find("offset " + std::to_string(rec)), std::string::npos) << lines;
    }
}

volatile sig_atomic_t busSeen = 0;

// The handler the library sets for the pages of a mapped input passes any
// other bus error on to the handler the process had before.
TEST(PackFile, OtherBusErrorsGoToTheHandlerBefore)
{
    TempDir tmp;
    writeFile(tmp.file("in"), fieldRecord(5000, 16));
    const std::string in = tmp.file("in"), out = tmp.file("out");
    ChildOutput child = runChild([&] {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = [](int) { busSeen = 1; };
        sigaction(SIGBUS, &sa, nullptr);
        recPackOptions o;
        memset(&o, 0, sizeof o);
        recPackResult res;
        if (packFile(in, out, o, res) != 0) return 2;
        raise(SIGBUS);
        return busSeen ? 0 : 3;
    });
    EXPECT_EQ(child.status, 0) << child.err;
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
