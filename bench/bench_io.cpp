// Record reading and marker search, each against its baseline measured in
// the same run:
//   - the gribGetSize/gribRead loop over a warm ~1 GB file of GRIB records
//     versus plain read() calls over the same file;
//   - the marker search over 16,777,216 octets holding no marker versus a
//     plain memchr pass over the same octets.
// The files are generated under /tmp on first use and reused afterwards.
#include <benchmark/benchmark.h>

#include "support.h"
#include "valmora.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long searchOctets = 16777216;

std::string recordsFile()
{
    const char *env = getenv("VALMORA_BENCH_FILE");
    return env ? env : "/tmp/valmora-bench-records.grb";
}

int64_t fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

void put3(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 16);
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)v;
}

// Plain edition 1 records of 20 KB to 4 MB with random data octets (free of
// "GRIB"), a few junk octets between them, about 1 GB in all.
void makeRecordsFile(const std::string &path, int64_t target)
{
    if (fileSize(path) >= target) return;
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) {
        perror(tmp.c_str());
        exit(1);
    }
    std::mt19937 rng(42);
    std::vector<unsigned char> rec;
    int64_t written = 0;
    while (written < target) {
        size_t len = 20000 + rng() % 4000000;
        rec.assign(len, 0);
        for (size_t i = 0; i < len; i += 4) {
            uint32_t r = (uint32_t)rng() & 0xBFBFBFBFu; // no octet is 'G' (0x47)
            memcpy(&rec[i], &r, std::min<size_t>(4, len - i));
        }
        memcpy(rec.data(), "GRIB", 4);
        put3(&rec[4], (uint32_t)len);
        rec[7] = 1;
        put3(&rec[8], 28);
        rec[15] = 0;
        put3(&rec[36], (uint32_t)(len - 8 - 28 - 4));
        memcpy(&rec[len - 4], "7777", 4);
        size_t junk = rng() % 8;
        static const unsigned char pad[8] = {0};
        if (fwrite(pad, 1, junk, f) != junk || fwrite(rec.data(), 1, len, f) != len) {
            perror(tmp.c_str());
            exit(1);
        }
        written += (int64_t)(len + junk);
    }
    fclose(f);
    rename(tmp.c_str(), path.c_str());
}

// Seconds per pass of the fastest iteration, by benchmark name.
std::map<std::string, double> best;

void note(const std::string &name, double seconds)
{
    auto it = best.find(name);
    if (it == best.end() || seconds < it->second) best[name] = seconds;
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

void warm(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(1 << 20);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
}

void BM_PlainRead(benchmark::State &state)
{
    const std::string path = recordsFile();
    makeRecordsFile(path, (int64_t)1 << 30);
    warm(path);
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        double t0 = now();
        int fd = open(path.c_str(), O_RDONLY);
        int64_t total = 0;
        ssize_t r;
        while ((r = read(fd, buf.data(), buf.size())) > 0) total += r;
        close(fd);
        benchmark::DoNotOptimize(total);
        note("read", now() - t0);
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
}

void BM_GribLoop(benchmark::State &state)
{
    const std::string path = recordsFile();
    makeRecordsFile(path, (int64_t)1 << 30);
    warm(path);
    std::vector<unsigned char> buf;
    long records = 0;
    for (auto _ : state) {
        double t0 = now();
        int id = gribOpen(path.c_str(), "r");
        size_t len;
        records = 0;
        while ((len = gribGetSize(id)) > 0) {
            if (len + 1000 > buf.size()) buf.resize(len + 1000);
            size_t size = buf.size();
            if (gribRead(id, buf.data(), &size) != 0) state.SkipWithError("gribRead failed");
            ++records;
        }
        gribClose(id);
        note("grib", now() - t0);
    }
    state.counters["records"] = (double)records;
    state.SetBytesProcessed(state.iterations() * fileSize(path));
}

// 16 MB with no marker: either no 'G' at all, or random octets in which
// every "GRIB" is broken up, so the search keeps meeting first octets.
std::string searchFile(bool withG)
{
    std::string path = withG ? "/tmp/valmora-bench-search-g.bin" : "/tmp/valmora-bench-search.bin";
    if (fileSize(path) == searchOctets) return path;
    std::vector<unsigned char> b(searchOctets);
    std::mt19937 rng(withG ? 2 : 1);
    for (auto &c : b) {
        c = (unsigned char)rng();
        if (!withG && c == 'G') c = 'g';
    }
    for (size_t i = 0; i + 3 < b.size(); ++i)
        if (!memcmp(&b[i], "GRIB", 4)) b[i + 3] = 'b';
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(b.data(), 1, b.size(), f) != b.size()) exit(1);
    fclose(f);
    return path;
}

void BM_MarkerSearch(benchmark::State &state)
{
    const bool withG = state.range(0);
    const std::string path = searchFile(withG);
    warm(path);
    for (auto _ : state) {
        double t0 = now();
        int id = gribOpen(path.c_str(), "r");
        long count = 0;
        int rc = gribFileSeek(id, &count);
        gribClose(id);
        if (rc != 1 || count != searchOctets) state.SkipWithError("unexpected search result");
        note(withG ? "search-g" : "search", now() - t0);
    }
    state.SetBytesProcessed(state.iterations() * searchOctets);
}

void BM_Memchr(benchmark::State &state)
{
    const bool withG = state.range(0);
    const std::string path = searchFile(withG);
    std::vector<unsigned char> b(searchOctets);
    FILE *f = fopen(path.c_str(), "rb");
    if (!f || fread(b.data(), 1, b.size(), f) != b.size()) exit(1);
    fclose(f);
    for (auto _ : state) {
        double t0 = now();
        const unsigned char *p = b.data(), *end = b.data() + b.size();
        long hits = 0;
        while (p < end && (p = (const unsigned char *)memchr(p, 'G', (size_t)(end - p)))) {
            ++hits;
            ++p;
        }
        benchmark::DoNotOptimize(hits);
        note(withG ? "memchr-g" : "memchr", now() - t0);
    }
    state.SetBytesProcessed(state.iterations() * searchOctets);
}

BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_GribLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Memchr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MarkerSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto show = [](const char *what, const char *base, const char *mine, const char *target) {
        if (!best.count(base) || !best.count(mine)) return;
        printf("%-44s %8.2f ms vs %8.2f ms  (%5.1f %% of the baseline's speed)  target %s\n", what,
               best[mine] * 1e3, best[base] * 1e3, 100.0 * best[base] / best[mine], target);
    };
    printf("\nfastest passes:\n");
    show("gribGetSize/gribRead loop vs read()", "read", "grib", ">= 80 %");
    show("marker search vs memchr, no 'G'", "memchr", "search", "< 10 ms");
    show("marker search vs memchr, random octets", "memchr-g", "search-g", "(shown)");
    for (const char *k : {"search", "search-g"})
        if (best.count(k)) printf("%-44s %8.2f GB/s\n", k, searchOctets / best[k] / 1e9);
    return 0;
}
