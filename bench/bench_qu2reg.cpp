// Reduced-grid interpolation and product reads, each beside a baseline
// measured in the same run: copying the regular field once (the memory
// traffic any interpolation needs), and reading the same records with
// plain stdio.
#include "valmora.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Octahedral-style rows: 20 points at the poles, 4 more per row towards
// the equator; the regular row is the longest one.
struct Grid {
    std::vector<int> rows;
    int nlon = 0;
    size_t reduced = 0, regular = 0;
    explicit Grid(int half)
    {
        for (int j = 0; j < half; ++j) rows.push_back(20 + 4 * j);
        for (int j = half - 1; j >= 0; --j) rows.push_back(20 + 4 * j);
        nlon = rows[(size_t)half - 1];
        for (int L : rows) reduced += (size_t)L;
        regular = rows.size() * (size_t)nlon;
    }
};

template <typename T> std::vector<T> reducedField(const Grid &g)
{
    std::vector<T> f(std::max(g.reduced, g.regular));
    for (size_t i = 0; i < g.reduced; ++i) f[i] = (T)std::sin(0.001 * (double)i);
    return f;
}

void BM_CopyRegularField(benchmark::State &state)
{
    Grid g((int)state.range(0));
    std::vector<double> src = reducedField<double>(g), dst(src.size());
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), g.regular * sizeof(double));
        memcpy(src.data(), dst.data(), g.regular * sizeof(double));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)g.regular);
}

template <typename T> void BM_Qu2reg3(benchmark::State &state)
{
    Grid g((int)state.range(0));
    std::vector<T> proto = reducedField<T>(g), field(proto.size());
    int ret;
    for (auto _ : state) {
        state.PauseTiming();
        field = proto;
        state.ResumeTiming();
        if constexpr (std::is_same<T, double>::value)
            qu2reg3_double(field.data(), g.rows.data(), (int)g.rows.size(), g.nlon, -9999.0, &ret, 0, 1, 0);
        else
            qu2reg3_float(field.data(), g.rows.data(), (int)g.rows.size(), g.nlon, -9999.0f, &ret, 0, 1, 0);
        benchmark::DoNotOptimize(field.data());
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)g.regular);
}

BENCHMARK(BM_CopyRegularField)->Arg(320)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Qu2reg3, double)->Arg(320)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Qu2reg3, float)->Arg(320)->Unit(benchmark::kMicrosecond);

// A file of `count` records of `len` octets each, padded between records.
std::string recordFile(int count, size_t len)
{
    static std::string name;
    if (!name.empty()) return name;
    char tmpl[] = "/tmp/valmora-bench-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return "";
    close(fd);
    name = tmpl;
    FILE *out = fopen(name.c_str(), "wb");
    std::vector<unsigned char> rec(len, 0x55);
    memcpy(rec.data(), "GRIB", 4);
    rec[4] = (unsigned char)(len >> 16), rec[5] = (unsigned char)(len >> 8), rec[6] = (unsigned char)len;
    rec[7] = 1;
    memcpy(rec.data() + len - 4, "7777", 4);
    for (int i = 0; i < count; ++i) {
        fwrite(rec.data(), 1, len, out);
        fwrite("\0\0\0\0\0\0\0\0", 1, 8, out);
    }
    fclose(out);
    return name;
}

constexpr int benchRecords = 200;
constexpr size_t benchRecordLength = 100000;

void BM_ReadRecordsStdio(benchmark::State &state)
{
    std::string name = recordFile(benchRecords, benchRecordLength);
    std::vector<unsigned char> buf(benchRecordLength);
    for (auto _ : state) {
        FILE *in = fopen(name.c_str(), "rb");
        for (int i = 0; i < benchRecords; ++i) {
            size_t n = fread(buf.data(), 1, benchRecordLength, in);
            fseek(in, 8, SEEK_CUR);
            benchmark::DoNotOptimize(n);
        }
        fclose(in);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * benchRecords * (int64_t)benchRecordLength);
}

void BM_ReadRecordsPbGrib(benchmark::State &state)
{
    std::string name = recordFile(benchRecords, benchRecordLength);
    std::vector<unsigned char> buf(benchRecordLength);
    for (auto _ : state) {
        int unit, st, recsize;
        pbOpen(&unit, name.c_str(), "r", &st);
        for (;;) {
            pbGrib(unit, buf.data(), (int)buf.size(), &recsize, &st);
            if (st != 0) break;
        }
        pbClose(unit, &st);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * benchRecords * (int64_t)benchRecordLength);
}

BENCHMARK(BM_ReadRecordsStdio)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRecordsPbGrib)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string name = recordFile(0, 0);
    if (!name.empty()) unlink(name.c_str());
    return 0;
}
