// Encoding a 1440 x 721 field with grib_encode_double against ecCodes
// encoding the same field with the same bits per value, in the same run.
#include "valmora.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

namespace {

constexpr int kNi = 1440, kNj = 721, kPoints = kNi * kNj;
constexpr double kMissing = -9999.0;

// Smooth, temperature-like values with a little small-scale structure.
const std::vector<double> &field()
{
    static std::vector<double> v;
    if (v.empty()) {
        v.resize(kPoints);
        for (int j = 0; j < kNj; ++j)
            for (int i = 0; i < kNi; ++i) {
                const double lat = M_PI * (0.5 - (double)j / (kNj - 1)), lon = 2 * M_PI * i / kNi;
                v[(size_t)j * kNi + i] = 250.0 + 40.0 * std::cos(lat) + 8.0 * std::sin(3 * lon) * std::cos(2 * lat) +
                                         0.5 * std::sin(40 * lon + 17 * lat);
            }
    }
    return v;
}

// Every tenth point missing.
std::vector<double> withMissing()
{
    std::vector<double> v = field();
    for (size_t i = 0; i < v.size(); i += 10) v[i] = kMissing;
    return v;
}

struct Sections {
    int isec0[2], isec1[64] = {0}, isec2[64] = {0}, isec3[2] = {0}, isec4[64] = {0};
    double fsec2[16] = {0}, fsec3[2] = {0, kMissing};
    explicit Sections(int bits, bool bitmap)
    {
        isec1[0] = 128, isec1[1] = 98, isec1[2] = 145, isec1[3] = 255, isec1[4] = bitmap ? 192 : 128;
        isec1[5] = 130, isec1[6] = 1, isec1[9] = 24, isec1[10] = 1, isec1[11] = 1, isec1[14] = 1, isec1[20] = 21;
        isec2[0] = 0, isec2[1] = kNi, isec2[2] = kNj, isec2[3] = 90000, isec2[5] = 128, isec2[6] = -90000;
        isec2[7] = 359750, isec2[8] = 250, isec2[9] = 250;
        isec4[0] = kPoints, isec4[1] = bits;
    }
};

void valmoraEncode(benchmark::State &state, bool bitmap)
{
    const int bits = (int)state.range(0);
    const std::vector<double> input = bitmap ? withMissing() : field();
    std::vector<double> values = input;
    std::vector<int> kgrib(kPoints + 4096);
    Sections s(bits, bitmap);
    int used = 0, status = 0;
    for (auto _ : state) {
        if (bitmap) { // the encoder compacts the values in place
            state.PauseTiming();
            memcpy(values.data(), input.data(), input.size() * sizeof(double));
            state.ResumeTiming();
        }
        grib_encode_double(s.isec0, s.isec1, s.isec2, s.fsec2, s.isec3, s.fsec3, s.isec4, values.data(), 0,
                           kgrib.data(), (int)kgrib.size(), &used, 0, &status);
        benchmark::DoNotOptimize(kgrib.data());
    }
    if (status) state.SkipWithError("encoding failed");
    state.SetItemsProcessed(state.iterations() * kPoints);
    state.counters["octets"] = (double)s.isec0[0];
}

void BM_valmora(benchmark::State &state) { valmoraEncode(state, false); }
void BM_valmora_bitmap(benchmark::State &state) { valmoraEncode(state, true); }
BENCHMARK(BM_valmora)->Arg(16)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_bitmap)->Arg(16)->Unit(benchmark::kMillisecond);

#ifdef VALMORA_HAVE_ECCODES_API
void eccodesEncode(benchmark::State &state, bool bitmap)
{
    const long bits = state.range(0);
    const std::vector<double> values = bitmap ? withMissing() : field();
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, "GRIB1");
    if (!h) {
        state.SkipWithError("no GRIB1 sample");
        return;
    }
    codes_set_long(h, "Ni", kNi);
    codes_set_long(h, "Nj", kNj);
    codes_set_long(h, "latitudeOfFirstGridPoint", 90000);
    codes_set_long(h, "latitudeOfLastGridPoint", -90000);
    codes_set_long(h, "longitudeOfFirstGridPoint", 0);
    codes_set_long(h, "longitudeOfLastGridPoint", 359750);
    codes_set_long(h, "iDirectionIncrement", 250);
    codes_set_long(h, "jDirectionIncrement", 250);
    codes_set_long(h, "bitsPerValue", bits);
    if (bitmap) {
        codes_set_double(h, "missingValue", kMissing);
        codes_set_long(h, "bitmapPresent", 1);
    }
    size_t size = 0;
    for (auto _ : state) {
        codes_set_double_array(h, "values", values.data(), values.size());
        const void *msg = nullptr;
        codes_get_message(h, &msg, &size);
        benchmark::DoNotOptimize(msg);
    }
    long got = 0;
    codes_get_long(h, "bitsPerValue", &got);
    if (got != bits) state.SkipWithError("ecCodes changed the bits per value");
    codes_handle_delete(h);
    state.SetItemsProcessed(state.iterations() * kPoints);
    state.counters["octets"] = (double)size;
}

void BM_eccodes(benchmark::State &state) { eccodesEncode(state, false); }
void BM_eccodes_bitmap(benchmark::State &state) { eccodesEncode(state, true); }
BENCHMARK(BM_eccodes)->Arg(16)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_eccodes_bitmap)->Arg(16)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
