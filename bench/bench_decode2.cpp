// Decoding a 1440 x 721 GRIB2 field with grib_field_decode_double against
// ecCodes decoding the same message (codes_get_double_array alone, the
// handle made beforehand), in the same run: simple packing at 12, 16 and 24
// bits, complex packing with spatial differencing, CCSDS (with libaec's
// decoding of its stream alone, and the library's own) and JPEG2000; and the
// keys alone.
#include "valmora.h"

#include "ccsds.h"

#include <benchmark/benchmark.h>
#include <libaec.h>

#include <cmath>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>

namespace {

constexpr int kNi = 1440, kNj = 721, kPoints = kNi * kNj;

// The values of the GRIB1 decoder's benchmark: smooth, temperature-like,
// with a little small-scale structure.
std::vector<double> field()
{
    std::vector<double> v((size_t)kPoints);
    for (int j = 0; j < kNj; ++j)
        for (int i = 0; i < kNi; ++i) {
            const double lat = M_PI * (0.5 - (double)j / (kNj - 1)), lon = 2 * M_PI * i / kNi;
            v[(size_t)j * kNi + i] = 250.0 + 40.0 * std::cos(lat) + 8.0 * std::sin(3 * lon) * std::cos(2 * lat) +
                                     0.5 * std::sin(40 * lon + 17 * lat);
        }
    return v;
}

const char *packingName(int packing)
{
    switch (packing) {
    case 3: return "grid_complex_spatial_differencing";
    case 40: return "grid_jpeg";
    case 42: return "grid_ccsds";
    default: return "grid_simple";
    }
}

// The message of the field in a packing (5.x template number) at `bits`,
// written by ecCodes.
std::vector<unsigned char> message(int packing, int bits)
{
    FILE *in = fopen("/usr/share/eccodes/samples/regular_ll_sfc_grib2.tmpl", "rb");
    if (!in) return {};
    int err = 0;
    codes_handle *h = codes_handle_new_from_file(nullptr, in, PRODUCT_GRIB, &err);
    fclose(in);
    if (!h) return {};
    codes_set_long(h, "Ni", kNi);
    codes_set_long(h, "Nj", kNj);
    codes_set_double(h, "latitudeOfFirstGridPointInDegrees", 90);
    codes_set_double(h, "longitudeOfFirstGridPointInDegrees", 0);
    codes_set_double(h, "latitudeOfLastGridPointInDegrees", -90);
    codes_set_double(h, "longitudeOfLastGridPointInDegrees", 359.75);
    codes_set_double(h, "iDirectionIncrementInDegrees", 0.25);
    codes_set_double(h, "jDirectionIncrementInDegrees", 0.25);
    // The values first, in simple packing: ecCodes codes the sample's
    // constant field when the packing changes, and refuses some packings of it.
    codes_set_long(h, "bitsPerValue", bits);
    const std::vector<double> v = field();
    size_t len = 0;
    std::vector<unsigned char> out;
    if (codes_set_double_array(h, "values", v.data(), v.size()) == 0 &&
        codes_set_string(h, "packingType", packingName(packing), &len) == 0 && codes_set_long(h, "bitsPerValue", bits) == 0) {
        const void *m = nullptr;
        size_t n = 0;
        codes_get_message(h, &m, &n);
        out.assign((const unsigned char *)m, (const unsigned char *)m + n);
    }
    codes_handle_delete(h);
    return out;
}

void BM_valmora(benchmark::State &state)
{
    const std::vector<unsigned char> rec = message((int)state.range(0), (int)state.range(1));
    std::vector<double> values(kPoints);
    for (auto _ : state) {
        size_t n = values.size();
        const int st = grib_field_decode_double(rec.data(), rec.size(), 0, nullptr, values.data(), &n, 9999);
        if (st != VALMORA_DECODE_OK) {
            state.SkipWithError(("status " + std::to_string(st)).c_str());
            break;
        }
        benchmark::DoNotOptimize(values.data());
    }
}

void BM_eccodes(benchmark::State &state)
{
    const std::vector<unsigned char> rec = message((int)state.range(0), (int)state.range(1));
    codes_handle *h = codes_handle_new_from_message(nullptr, rec.data(), rec.size());
    if (!h) {
        state.SkipWithError("ecCodes cannot read the message");
        return;
    }
    std::vector<double> values(kPoints);
    for (auto _ : state) {
        size_t n = values.size();
        if (codes_get_double_array(h, "values", values.data(), &n) != 0) {
            state.SkipWithError("codes_get_double_array failed");
            break;
        }
        benchmark::DoNotOptimize(values.data());
    }
    codes_handle_delete(h);
}

// The CCSDS stream of the field at `bits` and its parameters from
// section 5: flags, block size, interval.
struct CcsdsField {
    std::vector<unsigned char> rec;
    const unsigned char *data = nullptr;
    size_t length = 0;
    int bits = 0, flags = 0, block = 0, rsi = 0;

    explicit CcsdsField(int width) : rec(message(42, width))
    {
        gribField f;
        if (grib_field_decode_double(rec.data(), rec.size(), 0, &f, nullptr, nullptr, 0) != 0) return;
        const unsigned char *s5 = rec.data() + f.sectionOffset[5];
        data = rec.data() + f.sectionOffset[7] + 5;
        length = f.numberOfPackedOctets;
        bits = f.bitsPerValue;
        flags = s5[21];
        block = s5[22];
        rsi = s5[23] << 8 | s5[24];
    }
};

// libaec decoding the CCSDS stream alone into big-endian samples of whole
// octets, as the decoder once asked it for them: the bound it set.
void BM_libaec_alone(benchmark::State &state)
{
    const CcsdsField c((int)state.range(0));
    if (!c.data) return state.SkipWithError("no field");
    const int flags = c.flags | AEC_DATA_MSB | AEC_DATA_3BYTE;
    std::vector<uint32_t> samples(kPoints);
    for (auto _ : state) {
        aec_stream s{};
        s.bits_per_sample = (unsigned)c.bits;
        s.block_size = (unsigned)c.block;
        s.rsi = (unsigned)c.rsi;
        s.flags = (unsigned)flags;
        s.next_in = c.data;
        s.avail_in = c.length;
        s.next_out = reinterpret_cast<unsigned char *>(samples.data());
        s.avail_out = (size_t)kPoints * ccsdsSampleSize(c.bits, flags);
        if (aec_buffer_decode(&s) != AEC_OK) return state.SkipWithError("libaec failed");
        benchmark::DoNotOptimize(samples.data());
    }
}

// The library's own CCSDS decoder on the same stream, into native values:
// the part of the 5.42 decode that is not scaling.
void BM_ccsds_alone(benchmark::State &state)
{
    const CcsdsField c((int)state.range(0));
    if (!c.data) return state.SkipWithError("no field");
    std::vector<uint32_t> values(kPoints);
    for (auto _ : state) {
        if (ccsdsDecodeValues(values.data(), kPoints, c.data, c.length, c.bits, c.flags, c.block, c.rsi) != kCcsdsOk)
            return state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(values.data());
    }
}

void BM_valmora_keys(benchmark::State &state)
{
    const std::vector<unsigned char> rec = message(42, 16);
    gribField f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(grib_field_decode_double(rec.data(), rec.size(), 0, &f, nullptr, nullptr, 0));
        benchmark::DoNotOptimize(&f);
    }
}

void packings(benchmark::internal::Benchmark *b)
{
    for (int bits : {12, 16, 24}) b->Args({0, bits});
    b->Args({3, 16});
    b->Args({42, 16});
    b->Args({42, 24});
    b->Args({40, 16});
}

} // namespace

BENCHMARK(BM_valmora)->Apply(packings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_eccodes)->Apply(packings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libaec_alone)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ccsds_alone)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_valmora_keys)->Unit(benchmark::kNanosecond);

#endif

BENCHMARK_MAIN();
