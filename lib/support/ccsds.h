/*
 * CCSDS coding (the adaptive entropy coder of libaec) of unsigned integer
 * samples, as GRIB2 data representation template 5.42 stores them and as
 * the packed GRIB1 form codes values at their own width. Internal, not
 * installed.
 *
 * `flags` are libaec's flag bits, which template 5.42 stores as they are
 * (AEC_DATA_MSB, AEC_DATA_PREPROCESS, AEC_DATA_3BYTE, ...). Only MSB and
 * 3BYTE concern the layout of the samples in memory; the coded stream
 * does not depend on them. Every function checks its parameters before
 * doing anything, reads only its input and writes only its output, and is
 * safe from several threads at once.
 */
#ifndef VALMORA_CCSDS_H
#define VALMORA_CCSDS_H

#include <cstddef>
#include <cstdint>

// Results: 0 done; the others are negative.
enum {
    kCcsdsOk = 0,
    kCcsdsParam = -1,  // width, block size, interval or lengths not valid
    kCcsdsFull = -2,   // the output is too small (encoding)
    kCcsdsData = -3,   // the coded stream is damaged, short or too long
    kCcsdsMemory = -4, // the coder could not allocate its state
    kCcsdsDefer = -5,  // the library's own decoder leaves the stream to libaec
};

// Octets of one sample of `bits` bits (1 to 32) in memory for `flags`:
// 1, 2, 3 (17 to 24 bits with AEC_DATA_3BYTE) or 4; 0 for a width out of
// range.
size_t ccsdsSampleSize(int bits, int flags);

// Whether blockSize (8, 16, 32 or 64) and rsi (1 to 4096 blocks per
// reference sample interval) are values every reader accepts.
bool ccsdsValidBlocking(int blockSize, int rsi);

// The reference sample interval that holds `samples` samples in blocks of
// blockSize, as one interval where every reader takes it (up to 4096
// blocks): the fewest references, each of which costs a full sample.
int ccsdsWholeRsi(size_t samples, int blockSize);

// Codes the n octets of samples at src (n a multiple of the sample size)
// into dst, of *dstLen octets; *dstLen becomes the coded length (it is
// left as it was on failure).
int ccsdsEncode(void *dst, size_t *dstLen, const void *src, size_t n, int bits, int flags, int blockSize,
                int rsi);

// Whether the project's own coder takes `flags`: MSB, 3BYTE and
// PREPROCESS in any mix; the others (SIGNED, RESTRICTED, PAD_RSI,
// NOT_ENFORCE) are coded by libaec.
bool ccsdsOwnFlags(int flags);

// ccsdsEncode by the project's own coder, for flags it takes (kCcsdsParam
// for others): a standard stream, never larger than libaec's by more than
// a few bits and often smaller, coded several times as fast. kCcsdsFull
// when the stream does not fit in *dstLen octets; nothing is written past
// them. Bits of a sample above its width are ignored.
int ccsdsEncodeOwn(void *dst, size_t *dstLen, const void *src, size_t n, int bits, int flags, int blockSize,
                   int rsi);

// Whether the flags suit the width: the restricted option set
// (AEC_RESTRICTED) only up to 4 bits. libaec refuses the others, and loses
// the memory of its state as it does, so they never reach it.
bool ccsdsValidOptions(int bits, int flags);

// Decodes the n coded octets at src into exactly `count` samples laid out
// as `flags` say (ccsdsSampleSize octets each) at dst, of dstLen octets.
// kCcsdsData when the stream holds fewer samples.
int ccsdsDecode(void *dst, size_t dstLen, const void *src, size_t n, size_t count, int bits, int flags,
                int blockSize, int rsi);

// Decodes into `count` native unsigned integers, whatever the width and
// the layout flags: the form a decoder of packed values wants. Needs no
// memory beyond `values`.
int ccsdsDecodeValues(uint32_t *values, size_t count, const void *src, size_t n, int bits, int flags,
                      int blockSize, int rsi);

// The library's own decoder, behind the two above: the same samples as
// ccsdsDecode (count of them at dst, which holds them all) and the same
// values as ccsdsDecodeValues with samples of sampleSize octets (1 to 4,
// each value masked to it), or kCcsdsDefer for a stream it leaves to libaec
// (an option it does not take, a code out of range, a block longer than
// its raw form, a stream that ends early, a width, blocking or flags it
// does not know), with the output then in no particular state. The caller
// sees that dst or values hold count samples and src n octets. Reads
// nothing outside src and writes nothing outside the count samples;
// allocates nothing; safe from several threads at once.
int ccsdsDecodeOwn(void *dst, size_t count, const void *src, size_t n, int bits, int flags, int blockSize, int rsi);
int ccsdsDecodeOwnValues(uint32_t *values, size_t count, const void *src, size_t n, int bits, int flags,
                         int blockSize, int rsi, size_t sampleSize);

// Takes decoded samples first .. first + k - 1 (k at most a block), as
// ccsdsDecodeOwnValues gives them with 4-octet samples.
typedef void (*CcsdsBlockFn)(void *context, size_t first, const uint32_t *samples, size_t k);

// The own decoder handing its samples to fn a block at a time, in order,
// each exactly once, so a caller can use them while they are in cache.
// Results as ccsdsDecodeOwn; on kCcsdsDefer fn may have taken some.
int ccsdsDecodeOwnBlocks(CcsdsBlockFn fn, void *context, size_t count, const void *src, size_t n, int bits,
                         int flags, int blockSize, int rsi);

// How many blocks of a stream took each option: runs of zero blocks (those
// to the end of a segment apart), second extension, no compression, and
// the split options by k.
struct CcsdsCensus {
    size_t zeroRuns, ros, second, uncompressed;
    size_t split[32];
};

// The census of the stream that ccsdsDecodeOwn decodes into count
// samples, without writing them; kCcsdsDefer when it would defer.
int ccsdsCensusOf(CcsdsCensus *census, size_t count, const void *src, size_t n, int bits, int flags, int blockSize,
                  int rsi);

#endif /* VALMORA_CCSDS_H */
