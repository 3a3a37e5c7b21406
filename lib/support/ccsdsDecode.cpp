// The library's own decoder of CCSDS streams (the adaptive entropy coder of
// libaec). The whole stream is in memory, so the hot loop reads it through a
// 64-bit window taken at any bit position, with no state machine and no
// check per sample. Anything it does not expect (an option it does not
// take, a code out of range, a stream that ends early) it leaves to libaec,
// whose answer is then the answer: the two never disagree.
#include "ccsds.h"

#include <libaec.h>

#include <cstring>

// The decoder's hot loops: -O3 under GCC whatever the build type, as for
// the unpack loops.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("O3")
#endif

namespace {

// The flags this decoder takes; any other bit goes to libaec. Intervals
// padded to whole octets (AEC_PAD_RSI) are not for new data, and libaec
// does not read back all it writes that way: they stay libaec's.
constexpr int kTakenFlags =
    AEC_DATA_SIGNED | AEC_DATA_3BYTE | AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_RESTRICTED | AEC_NOT_ENFORCE;
constexpr int kMaxBlock = 64;
// A run of zero blocks ends at the end of a segment of this many blocks.
constexpr unsigned kSegmentBlocks = 64;
// The count of a zero-block run whose code means "to the end of the
// segment"; longer runs are coded one higher than their count.
constexpr uint64_t kRosCount = 5;
// Pair codes of the second extension up to this one (sums of a pair up to
// 12) are the ones a coder writes; libaec judges any larger one.
constexpr unsigned kSeMaxSum = 12;
constexpr uint64_t kSeMaxCode = kSeMaxSum * (kSeMaxSum + 1) / 2 + kSeMaxSum;

inline uint64_t loadBE64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return w;
#else
    return __builtin_bswap64(w);
#endif
}

// Bits of the stream that one window always holds.
constexpr unsigned kWindow = 57;
// Below this many sequences to read, a window is not worth listing whole.
constexpr unsigned kFewSequences = 12;

// The coded stream, most significant bit of each octet first. Bits past its
// end read as zeros; the decoder compares the position with the end after
// each block, so nothing there is ever taken as data.
class Stream {
  public:
    Stream(const unsigned char *in, size_t n) : in_(in), n_(n), end_((uint64_t)n * 8) {}

    // The next bits, left-aligned: at least 57 of them are the stream's (the
    // low bits below those are zeros).
    uint64_t peek() const
    {
        const size_t at = (size_t)(pos_ >> 3);
        const uint64_t w = at + 8 <= n_ ? loadBE64(in_ + at) : tail(at);
        return w << (pos_ & 7);
    }

    // k bits (1 to 32) as a number.
    uint32_t take(unsigned k)
    {
        const uint64_t w = peek();
        pos_ += k;
        return (uint32_t)(w >> (64 - k));
    }

    // A fundamental sequence: the count of zeros before the next one. False
    // when no one follows before the end.
    bool fs(uint64_t &v)
    {
        const uint64_t w = peek();
        if (w != 0) { // the leading one is a real bit: the low bits are zeros
            const unsigned z = (unsigned)__builtin_clzll(w);
            pos_ += z + 1;
            v = z;
            return true;
        }
        return fsLong(v);
    }

    // n fields of k bits (1 to 32), each the low bits of v shifted up.
    void fields(uint32_t *v, unsigned n, unsigned k)
    {
        // As many as one window holds at a time.
        const unsigned per = kWindow / k;
        for (unsigned j = 0; j < n;) {
            uint64_t w = peek();
            const unsigned here = n - j < per ? n - j : per;
            for (unsigned t = 0; t < here; ++t, w <<= k, ++j) v[j] = (uint32_t)((uint64_t)v[j] << k | w >> (64 - k));
            pos_ += (uint64_t)here * k;
        }
    }

    // n fundamental sequences; `over` gathers their bits (a value that does
    // not fit 32 bits shows there). False when the stream ends first.
    bool fsRun(uint32_t *v, unsigned n, uint64_t &over)
    {
        for (unsigned j = 0; j < n;) {
            const uint64_t w = peek();
            if (w == 0) {
                uint64_t z;
                if (!fsLong(z)) return false;
                over |= z;
                v[j++] = (uint32_t)z;
                continue;
            }
            // Each one of the window ends a sequence. For a few sequences,
            // take the ones from the top; for many, list them all from the
            // lowest, one cheap step per one on the critical path.
            if (n - j < kFewSequences) {
                uint64_t x = w;
                unsigned next = 0;
                while (j < n && x) {
                    const unsigned p = (unsigned)__builtin_clzll(x);
                    v[j++] = p - next;
                    over |= p - next;
                    next = p + 1;
                    x &= ~0ull >> p >> 1; // the bits after the one just taken
                }
                pos_ += next;
                continue;
            }
            unsigned char at[64];
            unsigned ones = 0;
            for (uint64_t x = w; x; x &= x - 1) at[ones++] = (unsigned char)(63 - __builtin_ctzll(x));
            const unsigned here = n - j < ones ? n - j : ones;
            unsigned next = 0;
            for (unsigned t = 0; t < here; ++t) {
                const unsigned p = at[ones - 1 - t];
                v[j++] = p - next;
                over |= p - next;
                next = p + 1;
            }
            pos_ += next;
        }
        return true;
    }

    bool overrun() const { return pos_ > end_; }
    uint64_t position() const { return pos_; }

  private:
    uint64_t tail(size_t at) const
    {
        uint64_t w = 0;
        for (size_t k = 0; k < 8; ++k) w = w << 8 | (at + k < n_ ? in_[at + k] : 0);
        return w;
    }

    bool fsLong(uint64_t &v)
    {
        uint64_t zeros = 0;
        for (;;) {
            const uint64_t w = peek();
            if (w != 0) {
                const unsigned z = (unsigned)__builtin_clzll(w);
                pos_ += z + 1;
                v = zeros + z;
                return true;
            }
            const unsigned seen = 64 - (unsigned)(pos_ & 7);
            zeros += seen;
            pos_ += seen;
            if (pos_ > end_) return false;
        }
    }

    const unsigned char *in_;
    size_t n_;
    uint64_t end_;
    uint64_t pos_ = 0;
};

struct Setup {
    unsigned bits, block, rsi, idLen;
    bool preprocess;
    uint32_t top;  // the largest sample, 2^bits - 1
    uint32_t bias; // signed samples are handled offset by half the range
};

// The sample after `u` (both offset to 0 .. top = 2 half - 1) for the
// mapped difference m <= top: the inverse of the unit-delay predictor's
// mapping; `far` tells whether the step left theta. For data that often
// leave it (values near either end of the range) the chain from one sample
// to the next must stay short: every comparison on it is against u alone,
// and |d| > theta is tested as ceil(m / 2) > theta, both sides of theta at
// once.
inline uint32_t unmap(uint32_t u, uint32_t m, uint32_t top, uint32_t half, bool &far)
{
    const uint32_t up = (m >> 1) + (m & 1);
    const bool lower = u < half; // theta is u, else top - u
    far = lower ? up > u : u > top - up;
    const uint32_t near = u + ((m >> 1) ^ (0u - (m & 1))); // +m/2, or -(m+1)/2 for odd m
    const uint32_t edge = lower ? m : top - m;
    return far ? edge : near;
}

// Sum s of the pair behind each second-extension code m, s(s+1)/2 <= m.
struct SeTable {
    unsigned char sum[kSeMaxCode + 1];
    SeTable()
    {
        unsigned s = 0;
        for (unsigned m = 0; m <= kSeMaxCode; ++m) {
            if ((s + 1) * (s + 2) / 2 <= m) ++s;
            sum[m] = (unsigned char)s;
        }
    }
};
const SeTable kSe;

enum class Step { Ok, Defer };

// Decodes `count` samples through `sink`, which hands out room for one
// block at a time (sink.room(first)) and takes the decoded samples back
// (sink.done(first, k)): samples already offset back and sign-extended to 32
// bits. Defer for anything libaec has to judge.
// Counts nothing: the decoder's own use.
struct NoCensus {
    void zeroRun(bool) {}
    void second() {}
    void uncompressed() {}
    void split(unsigned) {}
};

// Counts the options met, for the tests that show which the data reach.
struct Counting {
    CcsdsCensus &c;
    void zeroRun(bool ros) { ++(ros ? c.ros : c.zeroRuns); }
    void second() { ++c.second; }
    void uncompressed() { ++c.uncompressed; }
    void split(unsigned k) { ++c.split[k]; }
};

// The samples of positions i .. J-1 of a block from their mapped
// differences m (each at most top), after the offset sample u, into o;
// u becomes the last of them.
inline void unmapBlock(uint32_t &u, const uint32_t *m, uint32_t *o, unsigned i, unsigned J, const Setup &c,
                       bool &wasFar)
{
    const uint32_t top = c.top, half = c.top / 2 + 1, bias = c.bias;
    // After a block that left theta the next one likely does too: go step
    // by step at once.
    if (wasFar) {
        uint32_t v = u;
        bool far = false;
        for (unsigned j = i; j < J; ++j) {
            bool here;
            o[j] = v = unmap(v, m[j], top, half, here);
            far |= here;
        }
        wasFar = far;
        u = v;
        if (bias)
            for (unsigned j = i; j < J; ++j) o[j] -= bias;
        return;
    }
    // Nearly every step stays within theta of the sample before it, where
    // the inverse is a plain difference: sum those first (one addition per
    // sample on the critical path), then check them all at once, and only
    // when one did not stay take the block step by step.
    uint32_t v = u;
    for (unsigned j = i; j < J; ++j) {
        v += (m[j] >> 1) ^ (0u - (m[j] & 1));
        o[j] = v;
    }
    const uint32_t down0 = top - u;
    uint32_t far = m[i] > 2 * (u < down0 ? u : down0);
    for (unsigned j = i + 1; j < J; ++j) {
        const uint32_t down = top - o[j - 1], theta = o[j - 1] < down ? o[j - 1] : down;
        far |= m[j] > 2 * theta;
    }
    if (far) {
        v = u;
        bool here;
        for (unsigned j = i; j < J; ++j) o[j] = v = unmap(v, m[j], top, half, here);
        wasFar = true;
    }
    u = v;
    if (bias)
        for (unsigned j = i; j < J; ++j) o[j] -= bias;
}

template <class Sink, class Census = NoCensus>
Step decodeStream(Stream &s, size_t count, const Setup &c, Sink &sink, Census census = {})
{
    const unsigned J = c.block, idAll = (1u << c.idLen) - 1, bits = c.bits;
    const uint32_t top = c.top, bias = c.bias;
    // The raw block and the second extension's option bit. A zero-block
    // run is judged by its count alone.
    const uint64_t longest = c.idLen + 1 + (uint64_t)J * bits;
    uint32_t m[kMaxBlock];
    bool wasFar = false;
    size_t done = 0;
    while (done < count) {
        uint32_t u = 0; // the previous sample, offset
        for (unsigned blk = 0; blk < c.rsi && done < count;) {
            const bool ref = c.preprocess && blk == 0;
            uint32_t *o = sink.room(done);
            const uint64_t start = s.position();
            const unsigned id = s.take(c.idLen);
            const bool low = id == 0, second = low && s.take(1) != 0;
            unsigned i = 0;
            if (ref) {
                u = s.take(bits) ^ bias;
                o[i++] = u - bias;
            }
            unsigned blocks = 1;
            if (low && !second) {
                uint64_t fs;
                if (!s.fs(fs)) return Step::Defer;
                uint64_t run = fs + 1;
                const unsigned left = c.rsi - blk;
                census.zeroRun(run == kRosCount);
                if (run == kRosCount) {
                    const unsigned seg = kSegmentBlocks - blk % kSegmentBlocks;
                    run = seg < left ? seg : left;
                } else if (run > kRosCount) {
                    --run;
                }
                if (run > left) return Step::Defer;
                blocks = (unsigned)run;
                // Every sample of the run repeats the one before it (or
                // is zero without the predictor).
                const uint32_t v = c.preprocess ? u - bias : 0;
                for (; i < J; ++i) o[i] = v;
            } else {
                if (second) {
                    census.second();
                    uint32_t widest = 0;
                    for (unsigned j = ref ? 0 : i; j < J; j += 2) {
                        uint64_t code;
                        if (!s.fs(code) || code > kSeMaxCode) return Step::Defer;
                        const uint32_t sum = kSe.sum[code], b = (uint32_t)code - sum * (sum + 1) / 2;
                        // In the first block of an interval the pair's first
                        // slot is the reference's.
                        if (j == 0 && ref) {
                            if (sum != b) return Step::Defer;
                        } else {
                            m[j] = sum - b;
                        }
                        m[j + 1] = b;
                        widest |= (sum - b) | b; // top is all ones
                    }
                    if (widest > top) return Step::Defer;
                } else if (id == idAll) {
                    census.uncompressed();
                    memset(m + i, 0, (J - i) * sizeof *m);
                    s.fields(m + i, J - i, bits);
                } else {
                    const unsigned k = id - 1;
                    if (k >= bits) return Step::Defer;
                    census.split(k);
                    // The high parts first, then the k low bits of each.
                    uint64_t over = 0;
                    if (!s.fsRun(m + i, J - i, over)) return Step::Defer;
                    if (over > (top >> k)) return Step::Defer; // an all-ones limit
                    if (k > 0) s.fields(m + i, J - i, k);
                }
                if (c.preprocess)
                    unmapBlock(u, m, o, i, J, c, wasFar);
                else
                    memcpy(o + i, m + i, (J - i) * sizeof *o);
            }
            // A coder sends a block raw rather than longer, and libaec reads
            // longer ones its own way (a fundamental sequence of a few
            // hundred zeros in a split block ends elsewhere for it): it
            // judges those.
            if (s.overrun() || (!(low && !second) && s.position() - start > longest))
                return Step::Defer;
            // A run of zero blocks repeats the block just made.
            const size_t want = count - done;
            const size_t got = (size_t)blocks * J < want ? (size_t)blocks * J : want;
            const size_t first = got < J ? got : J;
            const uint32_t last = o[J - 1];
            sink.done(done, first);
            for (size_t at = first; at < got; at += J) {
                const size_t k = got - at < J ? got - at : J;
                uint32_t *r = sink.room(done + at);
                for (size_t j = 0; j < k; ++j) r[j] = last;
                sink.done(done + at, k);
            }
            done += got;
            blk += blocks;
        }
    }
    return Step::Ok;
}

// Samples as native 32-bit values, in place when a whole block fits.
class ValueSink {
  public:
    ValueSink(uint32_t *values, size_t count, uint32_t mask) : v_(values), count_(count), mask_(mask) {}
    uint32_t *room(size_t first) { return first + kMaxBlock <= count_ ? v_ + first : spare_; }
    void done(size_t first, size_t k)
    {
        uint32_t *to = v_ + first;
        if (first + kMaxBlock > count_) memcpy(to, spare_, k * sizeof *to);
        if (mask_ != 0xFFFFFFFFu)
            for (size_t j = 0; j < k; ++j) to[j] &= mask_;
    }

  private:
    uint32_t *v_;
    size_t count_;
    uint32_t mask_;
    uint32_t spare_[kMaxBlock];
};

// v as 4 octets in memory, most or least significant first.
template <bool Msb> inline uint32_t ordered(uint32_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return Msb ? v : __builtin_bswap32(v);
#else
    return Msb ? __builtin_bswap32(v) : v;
#endif
}

// Samples of 1 to 4 octets, most or least significant first.
template <unsigned Size, bool Msb> class ByteSink {
  public:
    ByteSink(unsigned char *out, size_t count) : out_(out), count_(count) {}
    uint32_t *room(size_t) { return block_; }
    void done(size_t first, size_t k)
    {
        unsigned char *to = out_ + first * Size;
        if (Size == 1) {
            for (size_t j = 0; j < k; ++j) to[j] = (unsigned char)block_[j];
        } else if (Size == 2) {
            for (size_t j = 0; j < k; ++j) {
                const uint16_t v = (uint16_t)(ordered<Msb>(block_[j]) >> (Msb ? 16 : 0));
                memcpy(to + 2 * j, &v, 2);
            }
        } else if (Size == 4) {
            for (size_t j = 0; j < k; ++j) {
                const uint32_t v = ordered<Msb>(block_[j]);
                memcpy(to + 4 * j, &v, 4);
            }
        } else {
            // Four octets at a time, the fourth overwritten by the next
            // sample; the last sample of the output goes octet by octet.
            size_t whole = first + k < count_ ? k : k - 1;
            for (size_t j = 0; j < whole; ++j) {
                const uint32_t v = ordered<Msb>(Msb ? block_[j] << 8 : block_[j]);
                memcpy(to + 3 * j, &v, 4);
            }
            for (size_t j = whole; j < k; ++j)
                for (unsigned b = 0; b < 3; ++b) to[3 * j + b] = (unsigned char)(block_[j] >> (8 * (Msb ? 2 - b : b)));
        }
    }

  private:
    unsigned char *out_;
    size_t count_;
    uint32_t block_[kMaxBlock];
};

// Samples handed on a block at a time.
class CallSink {
  public:
    CallSink(CcsdsBlockFn fn, void *context) : fn_(fn), context_(context) {}
    uint32_t *room(size_t) { return block_; }
    void done(size_t first, size_t k) { fn_(context_, first, block_, k); }

  private:
    CcsdsBlockFn fn_;
    void *context_;
    uint32_t block_[kMaxBlock];
};

bool setUp(Setup &c, int bits, int flags, int blockSize, int rsi)
{
    if ((flags & ~kTakenFlags) != 0 || bits < 1 || bits > 32 || !ccsdsValidBlocking(blockSize, rsi)) return false;
    if (!ccsdsValidOptions(bits, flags)) return false;
    c.bits = (unsigned)bits;
    c.block = (unsigned)blockSize;
    c.rsi = (unsigned)rsi;
    if ((flags & AEC_RESTRICTED) && bits <= 4)
        c.idLen = bits <= 2 ? 1 : 2;
    else
        c.idLen = bits > 16 ? 5 : bits > 8 ? 4 : 3;
    c.preprocess = (flags & AEC_DATA_PREPROCESS) != 0;
    c.top = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    // Raw samples come out as coded; predicted signed ones sign-extended.
    c.bias = (flags & AEC_DATA_SIGNED) && c.preprocess ? 1u << (bits - 1) : 0;
    return true;
}

template <class Sink> int run(const void *src, size_t n, size_t count, const Setup &c, Sink &sink)
{
    Stream s(static_cast<const unsigned char *>(src), n);
    return decodeStream(s, count, c, sink) == Step::Ok ? kCcsdsOk : kCcsdsDefer;
}

// Samples of Size octets in either order.
template <unsigned Size>
int runBytes(bool msb, unsigned char *out, const void *src, size_t n, size_t count, const Setup &c)
{
    if (msb) {
        ByteSink<Size, true> sink(out, count);
        return run(src, n, count, c, sink);
    }
    ByteSink<Size, false> sink(out, count);
    return run(src, n, count, c, sink);
}

} // namespace

int ccsdsCensusOf(CcsdsCensus *census, size_t count, const void *src, size_t n, int bits, int flags, int blockSize,
                  int rsi)
{
    Setup c;
    if (!census || !setUp(c, bits, flags, blockSize, rsi)) return kCcsdsDefer;
    *census = CcsdsCensus{};
    struct {
        uint32_t block[kMaxBlock];
        uint32_t *room(size_t) { return block; }
        void done(size_t, size_t) {}
    } sink;
    Stream s(static_cast<const unsigned char *>(src), n);
    return decodeStream(s, count, c, sink, Counting{*census}) == Step::Ok ? kCcsdsOk : kCcsdsDefer;
}

int ccsdsDecodeOwnValues(uint32_t *values, size_t count, const void *src, size_t n, int bits, int flags,
                         int blockSize, int rsi, size_t sampleSize)
{
    Setup c;
    if (!setUp(c, bits, flags, blockSize, rsi) || sampleSize < 1 || sampleSize > 4) return kCcsdsDefer;
    if (count == 0) return kCcsdsOk;
    // Only sign-extended samples reach past their octets.
    ValueSink sink(values, count, c.bias == 0 || sampleSize == 4 ? 0xFFFFFFFFu : (1u << (8 * sampleSize)) - 1);
    return run(src, n, count, c, sink);
}

int ccsdsDecodeOwnBlocks(CcsdsBlockFn fn, void *context, size_t count, const void *src, size_t n, int bits,
                         int flags, int blockSize, int rsi)
{
    Setup c;
    if (!fn || !setUp(c, bits, flags, blockSize, rsi)) return kCcsdsDefer;
    if (count == 0) return kCcsdsOk;
    CallSink sink(fn, context);
    return run(src, n, count, c, sink);
}

int ccsdsDecodeOwn(void *dst, size_t count, const void *src, size_t n, int bits, int flags, int blockSize, int rsi)
{
    Setup c;
    if (!setUp(c, bits, flags, blockSize, rsi)) return kCcsdsDefer;
    if (count == 0) return kCcsdsOk;
    auto *out = static_cast<unsigned char *>(dst);
    const bool msb = (flags & AEC_DATA_MSB) != 0;
    switch (ccsdsSampleSize(bits, flags)) {
    case 1: return runBytes<1>(msb, out, src, n, count, c);
    case 2: return runBytes<2>(msb, out, src, n, count, c);
    case 3: return runBytes<3>(msb, out, src, n, count, c);
    default: return runBytes<4>(msb, out, src, n, count, c);
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif
