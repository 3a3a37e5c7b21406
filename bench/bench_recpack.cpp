// recpack --compat / recunpack against their floor: szip alone on the same
// data sections plus reading and writing the file (the code-128 form is the
// one that floor describes; the default form has bench_recform), all measured in one run on a
// generated file of realistic 16-bit GRIB1 fields; their scaling with -P 1,
// 2 and 4 workers (ratios of wall time to -P 1 in the same run, outputs
// compared octet for octet); gzip -6 and zstd -3 on the same file for
// comparison.
//
//   bench_recpack [megabytes=520] [directory=/tmp]
//
// The file is generated, not committed, and removed at the end. Run it once:
// it takes a minute or two.
#ifndef VALMORA_HAVE_ECCODES_API
#include <cstdio>
int main()
{
    puts("bench_recpack: needs ecCodes' C API (libeccodes-dev) to generate its fields");
    return 0;
}
#else
#include "../tests/recpack_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <szlib.h>
}

namespace {

using recpackutil::Bytes;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

Bytes readAll(const std::string &name)
{
    Bytes b;
    FILE *f = fopen(name.c_str(), "rb");
    if (!f) return b;
    fseek(f, 0, SEEK_END);
    b.resize((size_t)ftell(f));
    fseek(f, 0, SEEK_SET);
    if (fread(b.data(), 1, b.size(), f) != b.size()) b.clear();
    fclose(f);
    return b;
}

// Seconds to read the file `in` and write `bytes` octets to `out` in 4 MB
// pieces: what a program that reads one file and writes the other can't
// go below.
double ioTime(const std::string &in, long long bytes, const std::string &out)
{
    auto t0 = Clock::now();
    FILE *a = fopen(in.c_str(), "rb"), *b = fopen(out.c_str(), "wb");
    std::vector<char> buf(4 << 20);
    size_t n;
    long long written = 0;
    while ((n = fread(buf.data(), 1, buf.size(), a)) > 0) {
        size_t w = (size_t)std::min<long long>((long long)n, bytes - written);
        written += (long long)fwrite(buf.data(), 1, w, b);
    }
    while (written < bytes) {
        size_t w = (size_t)std::min<long long>((long long)buf.size(), bytes - written);
        written += (long long)fwrite(buf.data(), 1, w, b);
    }
    fclose(a);
    fclose(b);
    double t = since(t0);
    unlink(out.c_str());
    return t;
}

struct Child {
    double wall = 0;
    long maxrssKB = 0;
    int status = -1;
};

// Runs a shell command under GNU time, whose small process makes the peak
// resident size that of the command alone (a fork of this process would
// count our own pages as well).
Child runChild(const std::string &cmd, const std::string &dir)
{
    Child c;
    std::string stats = dir + "/recpack_bench.time";
    auto t0 = Clock::now();
    int st = system(("/usr/bin/time -f '%M' -o " + stats + " sh -c '" + cmd + "'").c_str());
    c.wall = since(t0);
    c.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (FILE *f = fopen(stats.c_str(), "r")) {
        if (fscanf(f, "%ld", &c.maxrssKB) != 1) c.maxrssKB = 0;
        fclose(f);
    }
    unlink(stats.c_str());
    return c;
}

std::string lastLine(const std::string &name)
{
    std::string line, last;
    if (FILE *f = fopen(name.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, f)) last = buf;
        fclose(f);
    }
    return last;
}

// The data octets of a plain or szip-coded grid-point section.
struct Section {
    const unsigned char *data;
    size_t length;   // data octets (compressed ones for the szip form)
    size_t unpacked; // octets after decompression
};

std::vector<Section> sections(const Bytes &file, bool szip)
{
    std::vector<Section> out;
    for (size_t i = 0; i + 8 < file.size();) {
        if (memcmp(&file[i], "GRIB", 4) != 0) {
            ++i;
            continue;
        }
        size_t L = (size_t)file[i + 4] << 16 | (size_t)file[i + 5] << 8 | file[i + 6];
        size_t off = 8 + ((size_t)file[i + 8] << 16 | (size_t)file[i + 9] << 8 | file[i + 10]);
        unsigned flag = file[i + 15];
        auto len3 = [&](size_t at) { return (size_t)file[at] << 16 | (size_t)file[at + 1] << 8 | file[at + 2]; };
        if (flag & 0x80) off += len3(i + off);
        if (flag & 0x40) off += len3(i + off);
        const unsigned char *bds = &file[i + off];
        size_t bdslen = len3(i + off);
        if (szip) {
            out.push_back({bds + 23, len3(i + off + 20), len3(i + off + 17)});
        } else {
            size_t D = ((bdslen - 11) * 8 - (bds[3] & 15u)) / 16 * 2; // whole 16-bit values
            out.push_back({bds + 11, D, D});
        }
        i += L;
    }
    return out;
}

double szipTime(const std::vector<Section> &secs, bool decompress)
{
    SZ_com_t p{SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK, 16, 8, 1024};
    std::vector<unsigned char> work;
    auto t0 = Clock::now();
    for (const Section &s : secs) {
        work.resize(s.unpacked + 1024);
        size_t n = work.size();
        if (decompress) {
            n = s.unpacked;
            SZ_BufftoBuffDecompress(work.data(), &n, s.data, s.length, &p);
        } else {
            SZ_BufftoBuffCompress(work.data(), &n, s.data, s.length, &p);
        }
    }
    return since(t0);
}

long long fileSize(const std::string &name)
{
    FILE *f = fopen(name.c_str(), "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long long n = ftell(f);
    fclose(f);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    long mb = argc > 1 ? atol(argv[1]) : 520;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
#ifdef VALMORA_BUILD_DIR
    std::string build = VALMORA_BUILD_DIR;
#else
    std::string self = argv[0];
    std::string build = self.substr(0, self.find_last_of('/') + 1) + "..";
#endif
    std::string in = dir + "/recpack_bench.grb", z = dir + "/recpack_bench.z", u = dir + "/recpack_bench.u";

    // Eight distinct N640 fields (2.1 million points, 4.3 MB each), repeated.
    std::vector<Bytes> fields;
    for (unsigned seed = 1; seed <= 8; ++seed)
        fields.push_back(recpackutil::makeRecord({"reduced_gg_pl_640_grib1", 16, nullptr, seed == 3, 0,
                                                  (int)(128 + seed), seed}));
    FILE *f = fopen(in.c_str(), "wb");
    size_t total = 0, records = 0, largest = 0;
    while (total < (size_t)mb << 20) {
        const Bytes &r = fields[records++ % fields.size()];
        fwrite(r.data(), 1, r.size(), f);
        total += r.size();
        largest = std::max(largest, r.size());
    }
    fclose(f);
    printf("input: %zu records, %.1f MB, largest record %.2f MB\n", records, total / 1048576.0, largest / 1048576.0);

    // Warm the page cache the same way for every contender.
    ioTime(in, 0, u);
    std::string log = dir + "/recpack_bench.log";
    Child pack = runChild(build + "/recpack --compat -P 1 " + in + " " + z + " >" + log, dir);
    std::string packTimes = lastLine(log);
    Child unpack = runChild(build + "/recunpack -P 1 " + z + " " + u + " >" + log, dir);
    std::string unpackTimes = lastLine(log);
    long long zsize = fileSize(z), usize = fileSize(u);

    // Several workers: the same output, in less time.
    struct Scaled {
        int n;
        Child pack, unpack;
        bool same;
    };
    std::vector<Scaled> scaled;
    std::string zn = dir + "/recpack_bench.zn", un = dir + "/recpack_bench.un";
    for (int n : {2, 4}) {
        Scaled s{n, runChild(build + "/recpack --compat -P " + std::to_string(n) + " " + in + " " + zn + " >/dev/null", dir),
                 runChild(build + "/recunpack -P " + std::to_string(n) + " " + z + " " + un + " >/dev/null", dir),
                 false};
        s.same = system(("cmp -s " + z + " " + zn + " && cmp -s " + u + " " + un).c_str()) == 0;
        scaled.push_back(s);
    }
    unlink(zn.c_str());
    unlink(un.c_str());
    unlink(u.c_str());

    Bytes plain = readAll(in);
    double szc = szipTime(sections(plain, false), false);
    plain = Bytes();
    Bytes packed = readAll(z);
    double szd = szipTime(sections(packed, true), true);
    packed = Bytes();
    double ioIn = ioTime(in, zsize, u), ioZ = ioTime(z, usize, u);

    Child gz = runChild("gzip -6 -c " + in + " > " + dir + "/recpack_bench.gz", dir);
    Child gzd = runChild("gzip -d -c " + dir + "/recpack_bench.gz > /dev/null", dir);
    Child zs = runChild("zstd -q -3 -c " + in + " > " + dir + "/recpack_bench.zst", dir);
    Child zsd = runChild("zstd -q -d -c " + dir + "/recpack_bench.zst > /dev/null", dir);
    long long gzsize = fileSize(dir + "/recpack_bench.gz"), zssize = fileSize(dir + "/recpack_bench.zst");

    double floorPack = szc + ioIn, floorUnpack = szd + ioZ;
    double mbIn = total / 1048576.0;
    auto limitMB = [&](int n) { return ((4.0 * n + 4) * (double)largest + 16 * 1048576.0) / 1048576.0; };
    printf("recpack   exit %d  wall %.2f s  floor (szip %.2f + io %.2f) %.2f s  ratio %.3f  peak RSS %.1f MB "
           "(limit %.1f MB)\n",
           pack.status, pack.wall, szc, ioIn, floorPack, pack.wall / floorPack, pack.maxrssKB / 1024.0, limitMB(1));
    printf("recunpack exit %d  wall %.2f s  floor (szip %.2f + io %.2f) %.2f s  ratio %.3f  peak RSS %.1f MB  "
           "restored %s\n",
           unpack.status, unpack.wall, szd, ioZ, floorUnpack, unpack.wall / floorUnpack, unpack.maxrssKB / 1024.0,
           usize >= (long long)total ? "complete" : "SHORT");
    printf("recpack   %srecunpack %s", packTimes.c_str(), unpackTimes.c_str());
    printf("\n| workers | recpack wall (s) | of -P 1 | peak RSS (MB) | recunpack wall (s) | of -P 1 | peak RSS (MB) "
           "| limit (MB) | same output |\n|---|---|---|---|---|---|---|---|---|\n");
    printf("| 1 | %.2f | 1.00 | %.1f | %.2f | 1.00 | %.1f | %.1f | |\n", pack.wall, pack.maxrssKB / 1024.0, unpack.wall,
           unpack.maxrssKB / 1024.0, limitMB(1));
    bool allSame = true;
    for (const Scaled &s : scaled) {
        printf("| %d | %.2f | %.2f | %.1f | %.2f | %.2f | %.1f | %.1f | %s |\n", s.n, s.pack.wall,
               s.pack.wall / pack.wall, s.pack.maxrssKB / 1024.0, s.unpack.wall, s.unpack.wall / unpack.wall,
               s.unpack.maxrssKB / 1024.0, limitMB(s.n), s.same ? "yes" : "NO");
        allSame = allSame && s.same && s.pack.status == 0 && s.unpack.status == 0;
    }
    printf("\n| tool | size (MB) | of input | compress (s) | MB/s | decompress (s) |\n|---|---|---|---|---|---|\n");
    printf("| recpack (szip) | %.1f | %.1f %% | %.2f | %.0f | %.2f |\n", zsize / 1048576.0, 100.0 * zsize / total,
           pack.wall, mbIn / pack.wall, unpack.wall);
    printf("| szip alone + io (floor) | | | %.2f | %.0f | %.2f |\n", floorPack, mbIn / floorPack, floorUnpack);
    printf("| gzip -6 | %.1f | %.1f %% | %.2f | %.0f | %.2f |\n", gzsize / 1048576.0, 100.0 * gzsize / total,
           gz.wall, mbIn / gz.wall, gzd.wall);
    printf("| zstd -3 | %.1f | %.1f %% | %.2f | %.0f | %.2f |\n", zssize / 1048576.0, 100.0 * zssize / total,
           zs.wall, mbIn / zs.wall, zsd.wall);

    for (const std::string &name : {in, z, u, log, dir + "/recpack_bench.gz", dir + "/recpack_bench.zst"})
        unlink(name.c_str());
    return pack.status == 0 && unpack.status == 0 && allSame ? 0 : 1;
}

#endif
