// sha256: streaming SHA-256 with a caller-owned context that survives between slices of a file.
// Uses the x86 SHA extensions when the CPU has them, a portable compression function otherwise.
// Calls bit_utils (host byte order) only.
#pragma once

#include <cstddef>
#include <cstdint>

// Embedded by value in other records, so its layout is fixed.
struct sha256_ctx {
    uint32_t state[8];    // H0..H7
    uint32_t total[2];    // bytes processed so far, low word first
    uint32_t buflen;      // bytes waiting in buffer
    uint32_t buffer[32];  // 128 bytes: room to build the one or two end-of-message blocks in place
};
static_assert(sizeof(sha256_ctx) == 8 * 4 + 2 * 4 + 4 + 128, "sha256_ctx layout");
static_assert(sizeof(sha256_ctx::buffer) == 128, "sha256_ctx buffer");

inline constexpr std::size_t SHA256_DIGEST_SIZE = 32;
inline constexpr std::size_t SHA256_BLOCK_SIZE = 64;

void sha256_init_ctx(sha256_ctx* ctx);
// Any number of bytes, also 0; whole blocks are compressed at once, the rest waits in buffer.
void sha256_process_bytes(const void* data, std::size_t len, sha256_ctx* ctx);
// len is a multiple of 64; every whole block is compressed and len is added to total.
void sha256_process_block(const void* data, std::size_t len, sha256_ctx* ctx);
// Pads, writes the 32-byte digest to res and returns res. The context is spent afterwards.
uint8_t* sha256_finish_ctx(sha256_ctx* ctx, uint8_t* res);
// The state of the blocks compressed so far, in digest byte order; returns res.
uint8_t* sha256_read_ctx(const sha256_ctx* ctx, uint8_t* res);
// Digest of one whole buffer; returns res.
uint8_t* sha256_buffer(const void* data, std::size_t len, uint8_t* res);

// True when this CPU has the SHA extensions (with SSSE3 and SSE4.1) and they are in use.
bool sha256_uses_ni();
// Forces the portable compression function even on a CPU with SHA extensions, so that both
// paths can be tested and measured on one machine. false restores the automatic choice.
void sha256_force_portable(bool on);
