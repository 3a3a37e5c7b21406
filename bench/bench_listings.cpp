// Cost of the listings and of the repair, each beside a baseline measured in
// the same run: the section locator alone for a listing line, one memcpy of
// the packed data for the byte-plane join.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "valmora.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put3(unsigned char *p, size_t v)
{
    p[0] = (unsigned char)(v >> 16);
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)v;
}

// An edition 1 record: 28-octet PDS, 32-octet GDS, `values` 24-bit values.
Bytes record24(size_t values)
{
    size_t bdslen = 11 + 3 * values;
    Bytes rec(8 + 28 + 32 + bdslen + 4, 0);
    memcpy(rec.data(), "GRIB", 4);
    put3(&rec[4], rec.size());
    rec[7] = 1;
    unsigned char *pds = &rec[8];
    put3(pds, 28);
    pds[7] = 0x80;
    pds[8] = 130;
    pds[9] = 100;
    pds[11] = 244;
    unsigned char *gds = pds + 28;
    put3(gds, 32);
    unsigned char *bds = gds + 32;
    put3(bds, bdslen);
    bds[10] = 24;
    for (size_t i = 0; i < 3 * values; ++i) bds[11 + i] = (unsigned char)(i * 131);
    memcpy(&rec[rec.size() - 4], "7777", 4);
    return rec;
}

void BM_Locate(benchmark::State &state)
{
    Bytes rec = record24(100);
    unsigned char *pds, *gds, *bms, *bds;
    long len;
    for (auto _ : state)
        benchmark::DoNotOptimize(grib1Sections(rec.data(), (long)rec.size(), &pds, &gds, &bms, &bds, &len));
}

void BM_PrintALL(benchmark::State &state)
{
    Bytes rec = record24(100);
    for (auto _ : state) gribPrintALL(1, 0, 0, (long)rec.size(), rec.data());
}

void BM_PrintBDS(benchmark::State &state)
{
    Bytes rec = record24(100);
    for (auto _ : state) gribPrintBDS(1, 0, (long)rec.size(), rec.data());
}

void BM_MemcpyBaseline(benchmark::State &state)
{
    size_t n = 3 * (size_t)state.range(0);
    Bytes a(n, 1), b(n);
    for (auto _ : state) {
        memcpy(b.data(), a.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)n);
}

void BM_Repair(benchmark::State &state)
{
    Bytes rec = record24((size_t)state.range(0));
    for (auto _ : state) {
        gribRepair1(1, (long)rec.size(), rec.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * 3 * state.range(0));
}

BENCHMARK(BM_Locate);
BENCHMARK(BM_PrintALL);
BENCHMARK(BM_PrintBDS);
BENCHMARK(BM_MemcpyBaseline)->Arg(1 << 20);
BENCHMARK(BM_Repair)->Arg(1 << 20);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    // The listings print through stdout; the report goes through std::cout,
    // which keeps the stream it was given at start-up.
    if (FILE *null = fopen("/dev/null", "w")) stdout = null;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
