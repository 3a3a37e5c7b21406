// Coordinates of every point of a 1440 x 721 regular latitude/longitude grid
// and of an N320 regular Gaussian grid (1280 x 640) with gribFieldLatLons,
// against ecCodes' "latitudes" and "longitudes" of the same records (the
// handle made beforehand) in the same run.
#include "valmora.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

namespace {

struct Grid {
    int type, ni, nj, lat1, lon1, lat2, lon2, di, djOrN; // the encoder's grid elements, millidegrees
};
constexpr Grid kRegular = {0, 1440, 721, 90000, 0, -90000, 359750, 250, 250};
constexpr Grid kN320 = {4, 1280, 640, 89785, 0, -89785, 359719, 281, 320};

// A record of the grid, written by the library's encoder (values of no
// interest: the coordinates do not read them).
std::vector<unsigned char> record(const Grid &g)
{
    const int points = g.ni * g.nj;
    int isec0[2], isec1[64] = {0}, isec2[64] = {0}, isec3[2] = {0}, isec4[64] = {0};
    double fsec2[16] = {0}, fsec3[2] = {0, 0};
    isec1[0] = 128, isec1[1] = 98, isec1[2] = 145, isec1[3] = 255, isec1[4] = 128;
    isec1[5] = 130, isec1[6] = 1, isec1[9] = 24, isec1[10] = 1, isec1[11] = 1, isec1[14] = 1, isec1[20] = 21;
    isec2[0] = g.type, isec2[1] = g.ni, isec2[2] = g.nj, isec2[3] = g.lat1, isec2[4] = g.lon1, isec2[5] = 128;
    isec2[6] = g.lat2, isec2[7] = g.lon2, isec2[8] = g.di, isec2[9] = g.djOrN;
    isec4[0] = points, isec4[1] = 16;
    std::vector<double> values((size_t)points);
    for (size_t i = 0; i < values.size(); ++i) values[i] = 250.0 + 10.0 * std::sin(0.001 * (double)i);
    std::vector<int> kgrib((size_t)points + 4096);
    int used = 0, status = 0;
    grib_encode_double(isec0, isec1, isec2, fsec2, isec3, fsec3, isec4, values.data(), 0, kgrib.data(),
                       (int)kgrib.size(), &used, 0, &status);
    const auto *p = reinterpret_cast<const unsigned char *>(kgrib.data());
    return std::vector<unsigned char>(p, p + (status ? 0 : isec0[0]));
}

void latLons(benchmark::State &state, const Grid &g)
{
    const std::vector<unsigned char> rec = record(g);
    std::vector<double> lats((size_t)g.ni * g.nj), lons(lats.size());
    for (auto _ : state) {
        size_t n = lats.size();
        const int st = gribFieldLatLons(rec.data(), rec.size(), 0, lats.data(), lons.data(), &n);
        if (st != VALMORA_DECODE_OK) {
            state.SkipWithError(("gribFieldLatLons: status " + std::to_string(st)).c_str());
            break;
        }
        benchmark::DoNotOptimize(lats.data());
        benchmark::DoNotOptimize(lons.data());
    }
}

void BM_LatLonsRegular1440x721(benchmark::State &state) { latLons(state, kRegular); }
void BM_LatLonsGaussianN320(benchmark::State &state) { latLons(state, kN320); }
BENCHMARK(BM_LatLonsRegular1440x721)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatLonsGaussianN320)->Unit(benchmark::kMillisecond);

#ifdef VALMORA_HAVE_ECCODES_API
void ecCodesLatLons(benchmark::State &state, const Grid &g)
{
    const std::vector<unsigned char> rec = record(g);
    codes_handle *h = codes_handle_new_from_message(nullptr, rec.data(), rec.size());
    if (!h) {
        state.SkipWithError("ecCodes cannot read the record");
        return;
    }
    std::vector<double> lats((size_t)g.ni * g.nj), lons(lats.size());
    for (auto _ : state) {
        size_t n = lats.size(), m = lons.size();
        if (codes_get_double_array(h, "latitudes", lats.data(), &n) != 0 ||
            codes_get_double_array(h, "longitudes", lons.data(), &m) != 0) {
            state.SkipWithError("ecCodes gives no coordinates");
            break;
        }
        benchmark::DoNotOptimize(lats.data());
        benchmark::DoNotOptimize(lons.data());
    }
    codes_handle_delete(h);
}

void BM_EcCodesLatLonsRegular1440x721(benchmark::State &state) { ecCodesLatLons(state, kRegular); }
void BM_EcCodesLatLonsGaussianN320(benchmark::State &state) { ecCodesLatLons(state, kN320); }
BENCHMARK(BM_EcCodesLatLonsRegular1440x721)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EcCodesLatLonsGaussianN320)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
