// Where the section printers write, as chosen by GRPRS_STREAM. The stream is
// settled once per process, so every case runs in a child process.
#include "printer_util.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace printutil;

namespace {

std::string text(const std::string &name)
{
    testutil::Bytes b = testutil::readFile(name);
    return std::string(b.begin(), b.end());
}

struct Child {
    int status = -1;
    std::string out, err;
};

// Prints section 0 twice in a child run in `dir` with GRPRS_STREAM set to
// `value` (unset when null); collects its standard output and error.
Child printInChild(const testutil::TempDir &dir, const char *value)
{
    const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || chdir(dir.path.c_str()) != 0) _exit(90);
        dup2(o, 1);
        dup2(e, 2);
        if (value)
            setenv("GRPRS_STREAM", value, 1);
        else
            unsetenv("GRPRS_STREAM");
        int first[2] = {100, 1}, second[2] = {200, 1};
        gribPrintSec0(first);
        gribPrintSec0(second);
        fflush(nullptr);
        _exit(0);
    }
    Child c;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) c.status = WEXITSTATUS(st);
    c.out = text(out);
    c.err = text(err);
    return c;
}

std::string sec0(int length)
{
    return " \n Section 0 - Indicator Section.       \n -------------------------------------\n" +
           v38("Length of GRIB message (octets).", length) + v38("GRIB Edition Number.", 1);
}

// Both printouts, in one stream opened once (the second does not truncate).
const std::string kBoth = sec0(100) + sec0(200);

TEST(PrinterStream, StandardStreams)
{
    const struct {
        const char *value;
        bool toStderr;
    } cases[] = {{nullptr, false}, {"", false}, {"6", false}, {"06", false}, {"2", true}};
    for (const auto &c : cases) {
        testutil::TempDir dir;
        Child r = printInChild(dir, c.value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.toStderr ? "" : kBoth) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(r.err, c.toStderr ? kBoth : "") << (c.value ? c.value : "(unset)");
    }
}

TEST(PrinterStream, NamedAndNumberedFiles)
{
    const struct {
        const char *value, *file;
    } cases[] = {{"report.txt", "report.txt"},
                 {"07", "unit.07"},
                 {"7x", "unit.07"},
                 {"42", "unit.42"},
                 {"99", "unit.99"}};
    for (const auto &c : cases) {
        testutil::TempDir dir;
        Child r = printInChild(dir, c.value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(text(dir.file(c.file)), kBoth) << c.value;
        EXPECT_EQ(r.out + r.err, "") << c.value;
    }
}

TEST(PrinterStream, InvalidUnitWarnsOnceAndUsesStandardOutput)
{
    for (const char *value : {"0", "100"}) {
        testutil::TempDir dir;
        Child r = printInChild(dir, value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kBoth) << value;
        std::string warning = std::string("Invalid number for GRPRS_STREAM: ") + value;
        EXPECT_TRUE(contains(r.err, warning)) << r.err;
        EXPECT_EQ(r.err.find("GRPRS_STREAM"), r.err.rfind("GRPRS_STREAM"));
    }
}

} // namespace
