// Cost of a full section printout against writing the same text already
// rendered: the difference is what the labelled formatting costs.
#include "valmora.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Arrays {
    int isec0[2] = {4000, 1};
    std::vector<int> isec1 = std::vector<int>(1024, 0);
    std::vector<int> isec2 = std::vector<int>(1024, 0);
    int isec3[2] = {0, 0};
    std::vector<int> isec4 = std::vector<int>(128, 0);
    std::vector<double> fsec2 = std::vector<double>(100, 0.0);
    double fsec3[2] = {0.0, -9999.0};
    std::vector<double> fsec4 = std::vector<double>(1000, 0.0);

    Arrays()
    {
        const int pds[24] = {128, 98, 96, 255, 128, 11, 100, 500, 0, 95, 1, 2,
                             12, 0, 1, 6, 0, 0, 0, 0, 20, 0, 0, 1};
        for (int i = 0; i < 24; ++i) isec1[i] = pds[i];
        isec1[36] = 12; // an interval list of 30 runs
        isec1[48] = 60;
        for (int i = 0; i < 60; ++i) isec1[49 + i] = i / 2;
        const int gds[12] = {4, 640, 320, 89785, 0, 128, -89785, 359437, 562, 160, 0, 60};
        for (int i = 0; i < 12; ++i) isec2[i] = gds[i];
        isec2[16] = 1;
        for (int j = 0; j < 320; ++j) isec2[22 + j] = 20 + 4 * (j < 160 ? j / 8 : (319 - j) / 8);
        for (int i = 0; i < 60; ++i) fsec2[10 + i] = 1000.0 * i;
        isec4[0] = 1000;
        isec4[1] = 16;
        for (int i = 0; i < 1000; ++i) fsec4[i] = 0.37 * i - 50.0;
    }

    void print() const
    {
        gribPrintSec0(isec0);
        gribPrintSec1(isec0, isec1.data());
        gribPrintSec2DP(isec0, isec2.data(), fsec2.data());
        gribPrintSec3DP(isec0, isec3, fsec3);
        gribPrintSec4DP(isec0, isec4.data(), fsec4.data());
    }
};

FILE *devNull()
{
    static FILE *sink = fopen("/dev/null", "w");
    return sink;
}

std::string rendered(const Arrays &a)
{
    grsdef();
    FILE *saved = grprsm;
    FILE *tmp = tmpfile();
    grprsm = tmp;
    a.print();
    fflush(tmp);
    grprsm = saved;
    std::string text;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) text.append(buf, n);
    fclose(tmp);
    return text;
}

void BM_PrintSections(benchmark::State &state)
{
    Arrays a;
    grsdef();
    FILE *saved = grprsm;
    grprsm = devNull();
    for (auto _ : state) a.print();
    grprsm = saved;
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)rendered(a).size());
}
BENCHMARK(BM_PrintSections);

// Baseline: the same text, written as it stands.
void BM_WriteRenderedText(benchmark::State &state)
{
    Arrays a;
    std::string text = rendered(a);
    for (auto _ : state) {
        fwrite(text.data(), 1, text.size(), devNull());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_WriteRenderedText);

} // namespace

BENCHMARK_MAIN();
