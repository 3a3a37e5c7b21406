// Small helpers shared by the test programs: temporary directories, whole
// files, running commands, and a builder for GRIB edition 1 records.
#ifndef VALMORA_TESTUTIL_H
#define VALMORA_TESTUTIL_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testutil {

using Bytes = std::vector<unsigned char>;

// A directory that lives as long as the object.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/valmora-test-XXXXXX";
        const char *p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) { /* nothing to do */ }
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline Bytes readFile(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &name, const Bytes &data)
{
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
}

struct CommandResult {
    int status = -1; // exit status, or -1 when the command did not exit
    std::string out;
};

// Runs a shell command and collects its standard output.
inline CommandResult run(const std::string &cmd)
{
    CommandResult r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

struct ProgramResult {
    int status;
    std::string out, err;
};

// Runs a shell command with its standard error kept in a file of tmp.
inline ProgramResult runProgram(const std::string &cmd, const TempDir &tmp)
{
    std::string errFile = tmp.file("stderr.txt");
    CommandResult r = run(cmd + " 2>'" + errFile + "'");
    Bytes e = readFile(errFile);
    return {r.status, r.out, std::string(e.begin(), e.end())};
}

// A printf-formatted string.
inline std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

struct ChildOutput {
    std::string out, err;
    int status = -1; // the child's exit status, -1 when it did not exit
};

// Runs body in a forked child with standard output and error sent to files;
// the body's result is the child's exit status. Process-wide state that the
// library sets once (headers, environment defaults) starts fresh each time.
inline ChildOutput runChild(const std::function<int()> &body)
{
    TempDir dir;
    std::string outName = dir.file("out"), errName = dir.file("err");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(99);
        int status = body();
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    ChildOutput r;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    Bytes o = readFile(outName), e = readFile(errName);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

inline bool haveCommand(const std::string &name)
{
    return run("command -v " + name + " >/dev/null 2>&1").status == 0;
}

inline void put3(Bytes &b, size_t at, uint32_t v)
{
    b[at] = (unsigned char)(v >> 16);
    b[at + 1] = (unsigned char)(v >> 8);
    b[at + 2] = (unsigned char)v;
}

inline uint32_t get3(const Bytes &b, size_t at)
{
    return (uint32_t)b[at] << 16 | (uint32_t)b[at + 1] << 8 | b[at + 2];
}

// An edition 1 record from section bodies; lengths are filled in. `pds`,
// `gds`, `bms` and `bds` are whole sections whose first three octets are
// overwritten with their lengths (pass an empty gds or bms to leave it out;
// the PDS flag octet is set from their presence).
inline Bytes grib1(Bytes pds, Bytes gds, Bytes bms, Bytes bds)
{
    Bytes rec = {'G', 'R', 'I', 'B', 0, 0, 0, 1};
    put3(pds, 0, (uint32_t)pds.size());
    pds[7] = (unsigned char)((gds.empty() ? 0 : 0x80) | (bms.empty() ? 0 : 0x40));
    if (!gds.empty()) put3(gds, 0, (uint32_t)gds.size());
    if (!bms.empty()) put3(bms, 0, (uint32_t)bms.size());
    put3(bds, 0, (uint32_t)bds.size());
    for (const Bytes *s : {&pds, &gds, &bms, &bds}) rec.insert(rec.end(), s->begin(), s->end());
    rec.insert(rec.end(), {'7', '7', '7', '7'});
    put3(rec, 4, (uint32_t)rec.size());
    return rec;
}

// A simple grid-point BDS: `values` packed with `bits` bits each.
inline Bytes simpleBds(const std::vector<uint32_t> &values, int bits)
{
    size_t nbits = values.size() * (size_t)bits;
    size_t len = 11 + (nbits + 7) / 8;
    if (len % 2) ++len; // even, as GRIB1 writers keep it
    Bytes bds(len, 0);
    bds[3] = (unsigned char)((len - 11) * 8 - nbits); // unused bits
    bds[10] = (unsigned char)bits;
    size_t bit = 0;
    for (uint32_t v : values)
        for (int i = bits - 1; i >= 0; --i, ++bit)
            if (v >> i & 1) bds[11 + bit / 8] |= (unsigned char)(0x80 >> (bit % 8));
    return bds;
}

} // namespace testutil

#endif
