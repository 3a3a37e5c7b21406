// CCSDS decoding, the library's own decoder against libaec alone on the
// same streams in the same run: the real fields of Debian's python-grib-doc
// examples (values read by ecCodes), scaled to integers of 8, 12, 16 and 24
// bits and coded by libaec as GRIB2's template 5.42 stores them (most
// significant first, preprocessed, 3-octet samples, 128 blocks per
// interval), with block size 32 (ecCodes' choice) and 8 (the packed GRIB1
// form's usual choice). Each decoder writes the big-endian samples that
// ccsdsDecode promises; the own decoder also native 32-bit values.
#include "ccsds.h"

#include <benchmark/benchmark.h>
#include <libaec.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char *kExamples = "/usr/share/doc/python-grib-doc/examples";
constexpr int kFlags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;
constexpr int kRsi = 128;
// Fields shorter than this are mostly grid descriptions, not data.
constexpr size_t kMinPoints = 1000;
// About the size of a 1440 x 721 field: the stream is repeated up to it.
constexpr size_t kTarget = 1u << 20;

// The values of every field of the examples with enough points.
std::vector<std::vector<double>> realFields()
{
    std::vector<std::vector<double>> out;
    DIR *d = opendir(kExamples);
    if (!d) return out;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(std::string(kExamples) + "/" + e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        FILE *f = fopen(name.c_str(), "rb");
        if (!f) continue;
        int err = 0;
        while (codes_handle *h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) {
            size_t n = 0;
            if (codes_get_size(h, "values", &n) == 0 && n >= kMinPoints) {
                std::vector<double> v(n);
                if (codes_get_double_array(h, "values", v.data(), &n) == 0) out.push_back(std::move(v));
            }
            codes_handle_delete(h);
        }
        fclose(f);
    }
    return out;
}

struct Coded {
    Bytes stream;
    size_t count = 0;
};

// Each field scaled to the full range of `bits` bits, one after another,
// cut or repeated to about kTarget samples.
Coded coded(int bits, int block)
{
    static const std::vector<std::vector<double>> fields = realFields();
    Coded c;
    const size_t size = ccsdsSampleSize(bits, kFlags);
    const double top = std::ldexp(1.0, bits) - 1;
    Bytes one;
    for (const auto &v : fields) {
        double lo = v[0], hi = v[0];
        for (double x : v) lo = std::min(lo, x), hi = std::max(hi, x);
        const double scale = hi > lo ? top / (hi - lo) : 0;
        for (double x : v) {
            const auto q = (uint32_t)std::lround((x - lo) * scale);
            for (size_t k = 0; k < size; ++k) one.push_back((unsigned char)(q >> (8 * (size - 1 - k))));
        }
    }
    if (one.empty()) return c;
    Bytes samples;
    while (samples.size() < kTarget * size) samples.insert(samples.end(), one.begin(), one.end());
    samples.resize(kTarget * size);
    c.count = samples.size() / size;
    c.stream.resize(samples.size() + 4096);
    aec_stream s{};
    s.bits_per_sample = (unsigned)bits;
    s.block_size = (unsigned)block;
    s.rsi = kRsi;
    s.flags = kFlags;
    s.next_in = samples.data();
    s.avail_in = samples.size();
    s.next_out = c.stream.data();
    s.avail_out = c.stream.size();
    if (aec_buffer_encode(&s) != AEC_OK) return Coded{};
    c.stream.resize(s.total_out);
    return c;
}

void BM_libaec(benchmark::State &state)
{
    const int bits = (int)state.range(0), block = (int)state.range(1);
    const Coded c = coded(bits, block);
    if (c.count == 0) return state.SkipWithError("no real fields (python-grib-doc)");
    Bytes out(c.count * ccsdsSampleSize(bits, kFlags));
    for (auto _ : state) {
        aec_stream s{};
        s.bits_per_sample = (unsigned)bits;
        s.block_size = (unsigned)block;
        s.rsi = kRsi;
        s.flags = kFlags;
        s.next_in = c.stream.data();
        s.avail_in = c.stream.size();
        s.next_out = out.data();
        s.avail_out = out.size();
        if (aec_buffer_decode(&s) != AEC_OK) return state.SkipWithError("libaec failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed((int64_t)(state.iterations() * c.count));
}

void BM_own(benchmark::State &state)
{
    const int bits = (int)state.range(0), block = (int)state.range(1);
    const Coded c = coded(bits, block);
    if (c.count == 0) return state.SkipWithError("no real fields (python-grib-doc)");
    Bytes out(c.count * ccsdsSampleSize(bits, kFlags));
    for (auto _ : state) {
        if (ccsdsDecodeOwn(out.data(), c.count, c.stream.data(), c.stream.size(), bits, kFlags, block, kRsi) !=
            kCcsdsOk)
            return state.SkipWithError("deferred");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed((int64_t)(state.iterations() * c.count));
}

void BM_own_values(benchmark::State &state)
{
    const int bits = (int)state.range(0), block = (int)state.range(1);
    const Coded c = coded(bits, block);
    if (c.count == 0) return state.SkipWithError("no real fields (python-grib-doc)");
    std::vector<uint32_t> out(c.count);
    for (auto _ : state) {
        if (ccsdsDecodeValues(out.data(), c.count, c.stream.data(), c.stream.size(), bits, kFlags, block, kRsi) !=
            kCcsdsOk)
            return state.SkipWithError("failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed((int64_t)(state.iterations() * c.count));
}

} // namespace

void widths(benchmark::internal::Benchmark *b)
{
    for (int block : {32, 8})
        for (int bits : {8, 12, 16, 24}) b->Args({bits, block});
}

BENCHMARK(BM_libaec)->Apply(widths)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_own)->Apply(widths)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_own_values)->Apply(widths)->Unit(benchmark::kMillisecond);

#endif

BENCHMARK_MAIN();
