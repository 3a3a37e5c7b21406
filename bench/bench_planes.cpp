// Cost of the byte-plane detector on a record of 1 Mi smooth 24-bit values,
// beside the baseline measured in the same run: szip-coding the record's
// three byte planes once, which is what recpack does to the same record.
// The detector codes six streams of the same size, so about 2 is expected.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "valmora.h"

extern "C" {
#include <szlib.h>
}

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kValues = 1 << 20;
constexpr size_t kBds = 8 + 28; // indicator and PDS before the BDS

void put3(unsigned char *p, size_t v)
{
    p[0] = (unsigned char)(v >> 16);
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)v;
}

// A record without GDS of `values` smooth 24-bit values; split: in planes.
Bytes record24(size_t values, bool split)
{
    size_t bdslen = 11 + 3 * values;
    Bytes rec(kBds + bdslen + 4, 0);
    memcpy(rec.data(), "GRIB", 4);
    put3(&rec[4], rec.size());
    rec[7] = 1;
    unsigned char *pds = &rec[8];
    put3(pds, 28);
    pds[8] = 130;
    pds[9] = 100;
    unsigned char *bds = pds + 28;
    put3(bds, bdslen);
    bds[10] = 24;
    for (size_t i = 0; i < values; ++i) {
        uint32_t v = (uint32_t)(8e6 + 6e6 * std::sin((double)i / 700.0) + 2e4 * std::cos((double)i / 9.0));
        for (size_t k = 0; k < 3; ++k)
            bds[11 + (split ? k * values + i : 3 * i + k)] = (unsigned char)(v >> (16 - 8 * k));
    }
    memcpy(&rec[rec.size() - 4], "7777", 4);
    return rec;
}

void BM_SzipPlanesOnce(benchmark::State &state)
{
    Bytes rec = record24(kValues, true);
    const unsigned char *planes = &rec[kBds + 11];
    Bytes out(3 * kValues + 4096);
    SZ_com_t params = {SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK, 8, 8, 1024};
    for (auto _ : state) {
        size_t len = out.size();
        benchmark::DoNotOptimize(SZ_BufftoBuffCompress(out.data(), &len, planes, 3 * kValues, &params));
    }
}

void BM_Planes1(benchmark::State &state)
{
    Bytes rec = record24(kValues, state.range(0) != 0);
    double ratio = 0;
    for (auto _ : state) benchmark::DoNotOptimize(gribPlanes1(rec.data(), (long)rec.size(), &ratio));
    state.counters["ratio"] = ratio;
}

BENCHMARK(BM_SzipPlanesOnce)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Planes1)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
