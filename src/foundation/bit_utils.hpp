// bit_utils: host byte-order test, 64-bit network-order conversion, fixed little-endian copies of
// integers to and from byte buffers, and bit operations on words and byte-array bitmaps.
// Stateless; buffers are the caller's and are not bounds-checked. Calls nothing.
#pragma once

#include <cstdint>

// 1 on a little-endian host, 0 otherwise.
int jx_cpu_endian();

// Big-endian (network) order of a 64-bit value; the same operation both ways.
uint64_t jx_hton64(uint64_t v);
uint64_t jx_ntoh64(uint64_t v);

// Least significant byte first whatever the host: this is the order of the program's own files.
// Wire fields are converted to network order first and then copied with these.
void jx_uint16_to_b(uint16_t v, uint8_t* b);
uint16_t jx_b_to_uint16(const uint8_t* b);
void jx_uint32_to_b(uint32_t v, uint8_t* b);
uint32_t jx_b_to_uint32(const uint8_t* b);
void jx_uint64_to_b(uint64_t v, uint8_t* b);
uint64_t jx_b_to_uint64(const uint8_t* b);

// Bit n (0..31) of a 32-bit word; a larger n names no bit (the word comes back unchanged, getbit 0).
uint32_t jx_setbit_1(uint32_t w, uint32_t n);
uint32_t jx_setbit_0(uint32_t w, uint32_t n);
uint32_t jx_tglbit(uint32_t w, uint32_t n);
// The bit in its own position (0x10 for bit 4), not reduced to 0 or 1.
uint32_t jx_getbit(uint32_t w, uint32_t n);
uint32_t jx_tgl(uint32_t w);

// Byte-array bitmaps: bit i lives in byte i / 8 under mask 1 << (i % 8). This numbering travels
// on the wire in the skipped-chunk request, so it must not change.
void jx_setbit_1_8bitmem(uint8_t* m, uint64_t i);
// 1 when bits 0 .. n-1 are all set (n = 0 too), else 0.
int jx_is_allbit_1_8bitmem(const uint8_t* m, uint64_t n);
// Index of the lowest clear bit among bits 0 .. n-1; -1 when all are set or n = 0.
int32_t jx_getbit_0_8bitmem(const uint8_t* m, uint64_t n);
// How many of bits 0 .. n-1 are clear; the lowest `most` of them go to out (when not null).
uint64_t jx_zeros_8bitmem(const uint8_t* m, uint64_t n, uint32_t* out, uint32_t most);
