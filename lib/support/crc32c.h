/*
 * CRC-32C (the Castagnoli polynomial, reflected, initial value and final
 * xor all ones; "123456789" gives 0xE3069283). Internal, not installed.
 * Every function is safe from several threads at once.
 */
#ifndef VALMORA_CRC32C_H
#define VALMORA_CRC32C_H

#include <cstddef>
#include <cstdint>

// The CRC of n octets at data, continuing from crc, the CRC of the octets
// before them (0 to start): crc32c(crc32c(0, a), b) is the CRC of a then b.
// Uses the processor's crc32 instruction where it has one (SSE4.2, x86-64),
// a table everywhere else; both give the same result.
uint32_t crc32c(uint32_t crc, const void *data, size_t n);

// The two ways, for tests and benchmarks. crc32cHardware may only be called
// when crc32cHaveHardware() is true.
uint32_t crc32cTable(uint32_t crc, const void *data, size_t n);
uint32_t crc32cHardware(uint32_t crc, const void *data, size_t n);
bool crc32cHaveHardware();

#endif /* VALMORA_CRC32C_H */
