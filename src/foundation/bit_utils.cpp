#include "foundation/bit_utils.hpp"

#include <cstdint>

int jx_cpu_endian()
{
    const uint16_t probe = 1;
    return *reinterpret_cast<const unsigned char*>(&probe) == 1 ? 1 : 0;
}

uint64_t jx_hton64(uint64_t v)
{
    if (jx_cpu_endian() == 0)
        return v;
    uint64_t r = 0;
    for (int k = 0; k < 8; k++) {
        r = (r << 8) | (v & 0xFF);
        v >>= 8;
    }
    return r;
}

uint64_t jx_ntoh64(uint64_t v)
{
    return jx_hton64(v);
}

void jx_uint16_to_b(uint16_t v, uint8_t* b)
{
    b[0] = static_cast<uint8_t>(v & 0xFF);
    b[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t jx_b_to_uint16(const uint8_t* b)
{
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

void jx_uint32_to_b(uint32_t v, uint8_t* b)
{
    for (int k = 0; k < 4; k++)
        b[k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
}

uint32_t jx_b_to_uint32(const uint8_t* b)
{
    uint32_t v = 0;
    for (int k = 3; k >= 0; k--)
        v = (v << 8) | b[k];
    return v;
}

void jx_uint64_to_b(uint64_t v, uint8_t* b)
{
    for (int k = 0; k < 8; k++)
        b[k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
}

uint64_t jx_b_to_uint64(const uint8_t* b)
{
    uint64_t v = 0;
    for (int k = 7; k >= 0; k--)
        v = (v << 8) | b[k];
    return v;
}

namespace {

// Shifting a 32-bit word by 32 or more is undefined; such an n names no bit.
uint32_t bit(uint32_t n)
{
    return n < 32 ? (uint32_t{1} << n) : 0;
}

}  // namespace

uint32_t jx_setbit_1(uint32_t w, uint32_t n)
{
    return w | bit(n);
}
uint32_t jx_setbit_0(uint32_t w, uint32_t n)
{
    return w & ~bit(n);
}
uint32_t jx_tglbit(uint32_t w, uint32_t n)
{
    return w ^ bit(n);
}
uint32_t jx_getbit(uint32_t w, uint32_t n)
{
    return w & bit(n);
}
uint32_t jx_tgl(uint32_t w)
{
    return ~w;
}

void jx_setbit_1_8bitmem(uint8_t* m, uint64_t i)
{
    m[i / 8] = static_cast<uint8_t>(m[i / 8] | (1u << (i % 8)));
}

namespace {

bool bit_set(const uint8_t* m, uint64_t i)
{
    return (m[i / 8] & (1u << (i % 8))) != 0;
}

}  // namespace

int jx_is_allbit_1_8bitmem(const uint8_t* m, uint64_t n)
{
    for (uint64_t i = 0; i < n; i++)
        if (!bit_set(m, i))
            return 0;
    return 1;
}

int32_t jx_getbit_0_8bitmem(const uint8_t* m, uint64_t n)
{
    // Scan upward so a bitmap filled from the bottom answers in as many steps as it has set bits.
    for (uint64_t i = 0; i < n; i++) {
        if (!bit_set(m, i))
            return i <= INT32_MAX ? static_cast<int32_t>(i) : -1;
    }
    return -1;
}

uint64_t jx_zeros_8bitmem(const uint8_t* m, uint64_t n, uint32_t* out, uint32_t most)
{
    uint64_t zeros = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (bit_set(m, i))
            continue;
        if (out != nullptr && zeros < most)
            out[zeros] = static_cast<uint32_t>(i);
        zeros++;
    }
    return zeros;
}
