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

std::string sec0Text(int length)
{
    return " \n Section 0 - Indicator Section.       \n"
           " -------------------------------------\n" +
           v38("Length of GRIB message (octets).", length) + v38("GRIB Edition Number.", 1);
}

struct ChildOutput {
    int status = -1;
    std::string out, err;
};

// Prints section 0 twice in a child with GRPRS_STREAM set to `value` (unset
// when null), in directory `dir`; collects the child's standard streams.
ChildOutput printInChild(const testutil::TempDir &dir, const char *value)
{
    const std::string outName = dir.file("stdout.txt");
    const std::string errName = dir.file("stderr.txt");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(dir.path.c_str()) != 0) _exit(90);
        dup2(out, 1);
        dup2(err, 2);
        if (value)
            setenv("GRPRS_STREAM", value, 1);
        else
            unsetenv("GRPRS_STREAM");
        int first[2] = {100, 1};
        int second[2] = {200, 1};
        gribPrintSec0(first);
        gribPrintSec0(second);
        fflush(nullptr);
        _exit(0);
    }
    ChildOutput r;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
    auto text = [](const std::string &name) {
        testutil::Bytes b = testutil::readFile(name);
        return std::string(b.begin(), b.end());
    };
    r.out = text(outName);
    r.err = text(errName);
    return r;
}

std::string fileText(const std::string &name)
{
    testutil::Bytes b = testutil::readFile(name);
    return std::string(b.begin(), b.end());
}

const std::string kBoth = sec0Text(100) + sec0Text(200);

TEST(PrinterStream, StandardOutputByDefaultAndForUnit6)
{
    for (const char *value : {static_cast<const char *>(nullptr), "", "6", "06"}) {
        testutil::TempDir dir;
        ChildOutput r = printInChild(dir, value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kBoth) << (value ? value : "(unset)");
        EXPECT_EQ(r.err, "");
    }
}

TEST(PrinterStream, Unit2IsStandardError)
{
    testutil::TempDir dir;
    ChildOutput r = printInChild(dir, "2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kBoth);
    EXPECT_EQ(r.out, "");
}

TEST(PrinterStream, NamedFileIsOpenedOnceForTheProcess)
{
    testutil::TempDir dir;
    ChildOutput r = printInChild(dir, "report.txt");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fileText(dir.file("report.txt")), kBoth); // the second call appends
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(PrinterStream, NumberedUnitFiles)
{
    struct {
        const char *value, *file;
    } cases[] = {{"07", "unit.07"}, {"7x", "unit.07"}, {"42", "unit.42"}, {"99", "unit.99"}};
    for (const auto &c : cases) {
        testutil::TempDir dir;
        ChildOutput r = printInChild(dir, c.value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(fileText(dir.file(c.file)), kBoth) << c.value;
        EXPECT_EQ(r.out, "");
    }
}

TEST(PrinterStream, InvalidUnitWarnsAndUsesStandardOutput)
{
    for (const char *value : {"0", "100"}) {
        testutil::TempDir dir;
        ChildOutput r = printInChild(dir, value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kBoth) << value;
        EXPECT_TRUE(contains(r.err, std::string("Invalid number for GRPRS_STREAM: ") +
                                        std::to_string(atoi(value))))
            << r.err;
        // Warned once: the stream is settled by the first call.
        EXPECT_EQ(r.err.find("GRPRS_STREAM"), r.err.rfind("GRPRS_STREAM"));
    }
}

} // namespace
