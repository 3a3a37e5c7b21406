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

#endif /* VALMORA_CCSDS_H */
