// Decoding a 1440 x 721 field with grib_decode_double against ecCodes
// decoding the same record (codes_get_double_array alone, the handle made
// beforehand), in the same run; a packed record against szip alone plus
// the plain decode; and the headers alone.
#include "valmora.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <szlib.h>
}

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

namespace {

constexpr int kNi = 1440, kNj = 721, kPoints = kNi * kNj;
constexpr double kMissing = -9999.0;

// Smooth, temperature-like values with a little small-scale structure;
// every tenth point missing for the bit-map record.
std::vector<double> field(bool bitmap)
{
    std::vector<double> v((size_t)kPoints);
    for (int j = 0; j < kNj; ++j)
        for (int i = 0; i < kNi; ++i) {
            const double lat = M_PI * (0.5 - (double)j / (kNj - 1)), lon = 2 * M_PI * i / kNi;
            v[(size_t)j * kNi + i] = 250.0 + 40.0 * std::cos(lat) + 8.0 * std::sin(3 * lon) * std::cos(2 * lat) +
                                     0.5 * std::sin(40 * lon + 17 * lat);
        }
    if (bitmap)
        for (size_t i = 0; i < v.size(); i += 10) v[i] = kMissing;
    return v;
}

// The record of the field at `bits`, written by the library's encoder.
std::vector<unsigned char> record(int bits, bool bitmap)
{
    int isec0[2], isec1[64] = {0}, isec2[64] = {0}, isec3[2] = {0}, isec4[64] = {0};
    double fsec2[16] = {0}, fsec3[2] = {0, kMissing};
    isec1[0] = 128, isec1[1] = 98, isec1[2] = 145, isec1[3] = 255, isec1[4] = bitmap ? 192 : 128;
    isec1[5] = 130, isec1[6] = 1, isec1[9] = 24, isec1[10] = 1, isec1[11] = 1, isec1[14] = 1, isec1[20] = 21;
    isec2[0] = 0, isec2[1] = kNi, isec2[2] = kNj, isec2[3] = 90000, isec2[5] = 128, isec2[6] = -90000;
    isec2[7] = 359750, isec2[8] = 250, isec2[9] = 250;
    isec4[0] = kPoints, isec4[1] = bits;
    std::vector<double> values = field(bitmap);
    std::vector<int> kgrib(kPoints + 4096);
    int used = 0, status = 0;
    grib_encode_double(isec0, isec1, isec2, fsec2, isec3, fsec3, isec4, values.data(), 0, kgrib.data(),
                       (int)kgrib.size(), &used, 0, &status);
    const auto *p = reinterpret_cast<const unsigned char *>(kgrib.data());
    return std::vector<unsigned char>(p, p + (status ? 0 : isec0[0]));
}

std::vector<unsigned char> packed(const std::vector<unsigned char> &plain)
{
    std::vector<unsigned char> rec(plain), work(plain.size() + 1000);
    rec.resize(plain.size() + 1000);
    rec.resize((size_t)recPack(rec.data(), rec.size(), work.data(), work.size()));
    return rec;
}

struct Arrays {
    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec2[64], isec3[2], isec4[VALMORA_ISEC4_SIZE];
    double fsec2[64], fsec3[2] = {0, kMissing};
    std::vector<double> fsec4 = std::vector<double>((size_t)kPoints);
    int decode(const std::vector<unsigned char> &rec, bool values)
    {
        size_t n2 = 64, nf2 = 64, n4 = fsec4.size();
        return grib_decode_double(rec.data(), rec.size(), isec0, isec1, isec2, &n2, fsec2, &nf2, isec3, fsec3,
                                  isec4, values ? fsec4.data() : nullptr, &n4);
    }
};

// The float twin: the same record into floats, half the octets stored.
struct FloatArrays {
    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec2[64], isec3[2], isec4[VALMORA_ISEC4_SIZE];
    float fsec2[64], fsec3[2] = {0, (float)kMissing};
    std::vector<float> fsec4 = std::vector<float>((size_t)kPoints);
    int decode(const std::vector<unsigned char> &rec, bool values)
    {
        size_t n2 = 64, nf2 = 64, n4 = fsec4.size();
        return grib_decode_float(rec.data(), rec.size(), isec0, isec1, isec2, &n2, fsec2, &nf2, isec3, fsec3, isec4,
                                 values ? fsec4.data() : nullptr, &n4);
    }
};

template <typename A = Arrays>
void decodeBench(benchmark::State &state, const std::vector<unsigned char> &rec, bool values)
{
    if (rec.empty()) {
        state.SkipWithError("no record");
        return;
    }
    A a;
    int status = 0;
    for (auto _ : state) {
        status = a.decode(rec, values);
        benchmark::DoNotOptimize(a.fsec4.data());
    }
    if (status) state.SkipWithError("decoding failed");
    state.SetItemsProcessed(state.iterations() * (values ? kPoints : 1));
}

void BM_valmora(benchmark::State &state) { decodeBench(state, record((int)state.range(0), false), true); }
void BM_valmora_bitmap(benchmark::State &state) { decodeBench(state, record((int)state.range(0), true), true); }
void BM_valmora_float(benchmark::State &state)
{
    decodeBench<FloatArrays>(state, record((int)state.range(0), false), true);
}
void BM_valmora_packed(benchmark::State &state) { decodeBench(state, packed(record((int)state.range(0), false)), true); }
// Items are records here: the time per record is the time per item.
void BM_valmora_headers(benchmark::State &state) { decodeBench(state, record(16, false), false); }
void BM_valmora_headers_packed(benchmark::State &state) { decodeBench(state, packed(record(16, false)), false); }
BENCHMARK(BM_valmora)->Arg(16)->Arg(8)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_bitmap)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_float)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_packed)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_headers)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_valmora_headers_packed)->Unit(benchmark::kNanosecond);

// The baseline of the packed record: szip decompression of its data alone,
// then the plain decode of the record before packing.
void BM_szip_then_plain(benchmark::State &state)
{
    const std::vector<unsigned char> plain = record((int)state.range(0), false), rec = packed(plain);
    // The szip form: BDS octets 18-20 the data length, 21-23 the compressed
    // length, the compressed data from octet 24 (grid-point data).
    size_t bds = 8 + ((size_t)rec[8] << 16 | (size_t)rec[9] << 8 | rec[10]);
    bds += (size_t)rec[bds] << 16 | (size_t)rec[bds + 1] << 8 | rec[bds + 2]; // after the GDS
    const size_t dataLen = (size_t)rec[bds + 17] << 16 | (size_t)rec[bds + 18] << 8 | rec[bds + 19];
    const size_t zipLen = (size_t)rec[bds + 20] << 16 | (size_t)rec[bds + 21] << 8 | rec[bds + 22];
    SZ_com_t params{SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK, (int)state.range(0), 8, 1024};
    std::vector<unsigned char> out(dataLen);
    Arrays a;
    int status = 0;
    for (auto _ : state) {
        size_t len = out.size();
        status |= SZ_BufftoBuffDecompress(out.data(), &len, rec.data() + bds + 23, zipLen, &params);
        status |= a.decode(plain, true);
        benchmark::DoNotOptimize(a.fsec4.data());
    }
    if (status) state.SkipWithError("decompression or decoding failed");
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_szip_then_plain)->Arg(16)->Unit(benchmark::kMillisecond);

// What storing the decoded array alone costs: a memset of its octets, the
// floor under any decoder that writes doubles.
void BM_store_floor(benchmark::State &state)
{
    std::vector<double> out((size_t)kPoints);
    int k = 0;
    for (auto _ : state) {
        memset(out.data(), ++k, out.size() * sizeof(double));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_store_floor)->Unit(benchmark::kMillisecond);

#ifdef VALMORA_HAVE_ECCODES_API
void eccodesDecode(benchmark::State &state, bool bitmap)
{
    const std::vector<unsigned char> rec = record((int)state.range(0), bitmap);
    codes_handle *h = codes_handle_new_from_message(nullptr, rec.data(), rec.size());
    if (!h) {
        state.SkipWithError("ecCodes does not read the record");
        return;
    }
    std::vector<double> values((size_t)kPoints);
    int status = 0;
    for (auto _ : state) {
        size_t n = values.size();
        status |= codes_get_double_array(h, "values", values.data(), &n);
        benchmark::DoNotOptimize(values.data());
    }
    codes_handle_delete(h);
    if (status) state.SkipWithError("ecCodes failed");
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_eccodes(benchmark::State &state) { eccodesDecode(state, false); }
void BM_eccodes_bitmap(benchmark::State &state) { eccodesDecode(state, true); }
BENCHMARK(BM_eccodes)->Arg(16)->Arg(8)->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_eccodes_bitmap)->Arg(16)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
