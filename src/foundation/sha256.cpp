// SHA-256 compression, padding and streaming. The SHA-extension path is compiled with a function
// target attribute so the rest of the build needs no special flags, and is chosen at run time.
#include "foundation/sha256.hpp"

#include <cstring>
#include <utility>

#include "foundation/bit_utils.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define JX_SHA_X86 1
#endif

namespace {

constexpr uint32_t k_sha256_iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr uint32_t k_sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Host word <-> big-endian word; the same operation both ways.
inline uint32_t swap_if_le(uint32_t v, bool little)
{
    return little ? __builtin_bswap32(v) : v;
}

inline uint32_t rotr(uint32_t x, unsigned n)
{
    return (x >> n) | (x << (32 - n));
}

void compress_portable(uint32_t state[8], const uint8_t* data, std::size_t nblocks)
{
    const bool little = jx_cpu_endian() != 0;
    uint32_t w[64];
    for (; nblocks > 0; --nblocks, data += 64) {
        for (int t = 0; t < 16; ++t) {
            uint32_t v;
            std::memcpy(&v, data + 4 * t, 4);
            w[t] = swap_if_le(v, little);
        }
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 =
                h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k_sha256_k[t] + w[t];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef JX_SHA_X86

#define JX_NI_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define JX_NI_INLINE JX_NI_TARGET __attribute__((always_inline)) inline

// Four rounds of group G (rounds 4G..4G+3) with the message schedule of later groups interleaved,
// so the sha256msg1/msg2 latency hides behind the rounds. m[G % 4] holds W[4G..4G+3].
template <int G>
JX_NI_INLINE void ni_group(__m128i& abef, __m128i& cdgh, __m128i (&m)[4])
{
    __m128i msg =
        _mm_add_epi32(m[G & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(&k_sha256_k[4 * G])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
    if constexpr (G >= 3 && G <= 14) {
        // Completes W for group G+1 from the partial sums msg1 left in m[(G+1) % 4].
        const __m128i tmp = _mm_alignr_epi8(m[G & 3], m[(G - 1) & 3], 4);
        m[(G + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(G + 1) & 3], tmp), m[G & 3]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
    if constexpr (G >= 1 && G <= 12)
        m[(G - 1) & 3] = _mm_sha256msg1_epu32(m[(G - 1) & 3], m[G & 3]);
}

template <int... G>
JX_NI_INLINE void ni_all_groups(__m128i& abef, __m128i& cdgh, __m128i (&m)[4],
                                std::integer_sequence<int, G...>)
{
    (ni_group<G>(abef, cdgh, m), ...);
}

JX_NI_TARGET void compress_ni(uint32_t state[8], const uint8_t* data, std::size_t nblocks)
{
    // Byte order within each 32-bit lane: message words are big-endian.
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    // The rounds instruction wants the state as ABEF / CDGH (highest lane first).
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
    __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
    __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);

    for (; nblocks > 0; --nblocks, data += 64) {
        const __m128i abef_save = abef;
        const __m128i cdgh_save = cdgh;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap);
        ni_all_groups(abef, cdgh, m, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, abef_save);
        cdgh = _mm_add_epi32(cdgh, cdgh_save);
    }

    tmp = _mm_shuffle_epi32(abef, 0x1B);
    cdgh = _mm_shuffle_epi32(cdgh, 0xB1);
    abef = _mm_blend_epi16(tmp, cdgh, 0xF0);
    cdgh = _mm_alignr_epi8(cdgh, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), cdgh);
}

bool cpu_has_sha_ni()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

#else

void compress_ni(uint32_t state[8], const uint8_t* data, std::size_t nblocks)
{
    compress_portable(state, data, nblocks);
}
bool cpu_has_sha_ni()
{
    return false;
}

#endif

bool g_force_portable = false;

bool use_ni()
{
    static const bool has = cpu_has_sha_ni();
    return has && !g_force_portable;
}

}  // namespace

bool sha256_uses_ni()
{
    return use_ni();
}

void sha256_force_portable(bool on)
{
    g_force_portable = on;
}

void sha256_init_ctx(sha256_ctx* ctx)
{
    std::memcpy(ctx->state, k_sha256_iv, sizeof ctx->state);
    ctx->total[0] = ctx->total[1] = 0;
    ctx->buflen = 0;
}

void sha256_process_block(const void* data, std::size_t len, sha256_ctx* ctx)
{
    // Full 64-bit add: a single call may pass more than 4 GiB.
    const uint64_t total = (uint64_t{ctx->total[1]} << 32 | ctx->total[0]) + uint64_t{len};
    ctx->total[0] = static_cast<uint32_t>(total);
    ctx->total[1] = static_cast<uint32_t>(total >> 32);
    const std::size_t nblocks = len / SHA256_BLOCK_SIZE;
    if (nblocks == 0)
        return;
    if (use_ni())
        compress_ni(ctx->state, static_cast<const uint8_t*>(data), nblocks);
    else
        compress_portable(ctx->state, static_cast<const uint8_t*>(data), nblocks);
}

void sha256_process_bytes(const void* data, std::size_t len, sha256_ctx* ctx)
{
    auto* in = static_cast<const uint8_t*>(data);
    auto* buf = reinterpret_cast<uint8_t*>(ctx->buffer);
    // At most one whole block ever waits; a corrupt count must not index past the buffer.
    if (ctx->buflen > 64)
        ctx->buflen = 0;

    if (ctx->buflen != 0) {
        const std::size_t left_over = ctx->buflen;
        const std::size_t add = len < 128 - left_over ? len : 128 - left_over;
        std::memcpy(buf + left_over, in, add);
        ctx->buflen = static_cast<uint32_t>(left_over + add);
        if (ctx->buflen > 64) {
            const std::size_t whole = ctx->buflen & ~std::size_t{63};
            sha256_process_block(buf, whole, ctx);
            ctx->buflen &= 63;
            std::memmove(buf, buf + whole, ctx->buflen);
        }
        in += add;
        len -= add;
    }

    if (len >= 64) {
        const std::size_t whole = len & ~std::size_t{63};
        sha256_process_block(in, whole, ctx);
        in += whole;
        len &= 63;
    }

    if (len > 0) {
        std::size_t left_over = ctx->buflen;
        std::memcpy(buf + left_over, in, len);
        left_over += len;
        if (left_over >= 64) {
            sha256_process_block(buf, 64, ctx);
            left_over -= 64;
            std::memmove(buf, buf + 64, left_over);
        }
        ctx->buflen = static_cast<uint32_t>(left_over);
    }
}

uint8_t* sha256_read_ctx(const sha256_ctx* ctx, uint8_t* res)
{
    const bool little = jx_cpu_endian() != 0;
    for (int i = 0; i < 8; ++i) {
        const uint32_t v = swap_if_le(ctx->state[i], little);
        std::memcpy(res + 4 * i, &v, 4);
    }
    return res;
}

uint8_t* sha256_finish_ctx(sha256_ctx* ctx, uint8_t* res)
{
    const bool little = jx_cpu_endian() != 0;
    auto* buf = reinterpret_cast<uint8_t*>(ctx->buffer);
    if (ctx->buflen > 64)
        ctx->buflen = 0;
    // Only the bytes not yet compressed count here; buflen may be 64 when a block is waiting whole.
    const std::size_t bytes = ctx->buflen;
    // 0x80 and the 8-byte length must fit: 55 bytes or fewer leave room in one block.
    const std::size_t size = bytes < 56 ? 64 : 128;

    const uint64_t total = (uint64_t{ctx->total[1]} << 32 | ctx->total[0]) + bytes;
    const uint64_t bits = total << 3;
    buf[bytes] = 0x80;
    std::memset(buf + bytes + 1, 0, size - 8 - bytes - 1);
    ctx->buffer[size / 4 - 2] = swap_if_le(static_cast<uint32_t>(bits >> 32), little);
    ctx->buffer[size / 4 - 1] = swap_if_le(static_cast<uint32_t>(bits), little);

    sha256_process_block(buf, size, ctx);
    return sha256_read_ctx(ctx, res);
}

uint8_t* sha256_buffer(const void* data, std::size_t len, uint8_t* res)
{
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    sha256_process_bytes(data, len, &ctx);
    return sha256_finish_ctx(&ctx, res);
}
