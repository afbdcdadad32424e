#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "foundation/bit_utils.hpp"

TEST(ByteOrder, EndianAndNetworkOrder64)
{
    const uint16_t probe = 0x0102;
    uint8_t mem[2];
    std::memcpy(mem, &probe, 2);
    EXPECT_EQ(jx_cpu_endian(), mem[0] == 0x02 ? 1 : 0);

    // In memory, a value in network order must read most significant byte first on any host.
    const uint64_t v = 0x0102030405060708ULL;
    const uint64_t n = jx_hton64(v);
    uint8_t img[8];
    std::memcpy(img, &n, 8);
    const std::array<uint8_t, 8> big{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(std::equal(big.begin(), big.end(), img));
    if (jx_cpu_endian() == 1) {
        EXPECT_EQ(n, 0x0807060504030201ULL);
    }
    EXPECT_EQ(jx_ntoh64(n), v);
    EXPECT_EQ(jx_ntoh64(jx_hton64(0x8000000000000001ULL)), 0x8000000000000001ULL);
}

TEST(ByteOrder, LittleEndianCopies)
{
    uint8_t b[8] = {};
    jx_uint16_to_b(0x0155, b);
    EXPECT_EQ(b[0], 0x55);
    EXPECT_EQ(b[1], 0x01);
    const uint8_t b16[2] = {0x01, 0x55};
    EXPECT_EQ(jx_b_to_uint16(b16), 0x5501);
    const uint8_t ff16[2] = {0xFF, 0xFF};
    EXPECT_EQ(jx_b_to_uint16(ff16), 65535);

    uint8_t w[5] = {0, 0, 0, 0, 0xEE};
    jx_uint32_to_b(0xA1B2C3D4u, w);
    const uint8_t w_img[5] = {0xD4, 0xC3, 0xB2, 0xA1, 0xEE};
    EXPECT_EQ(std::memcmp(w, w_img, 5), 0) << "exactly four bytes written";
    const uint8_t top32[4] = {0, 0, 0, 0x80};
    EXPECT_EQ(jx_b_to_uint32(top32), 2147483648u);
    EXPECT_EQ(jx_b_to_uint32(w_img), 0xA1B2C3D4u);

    uint8_t q[9];
    std::memset(q, 0xEE, sizeof q);
    jx_uint64_to_b(0x0102030405060708ULL, q);
    const uint8_t q_img[9] = {8, 7, 6, 5, 4, 3, 2, 1, 0xEE};
    EXPECT_EQ(std::memcmp(q, q_img, 9), 0);
    const uint8_t bit31[8] = {0, 0, 0, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(jx_b_to_uint64(bit31), 2147483648ULL) << "no sign extension into bits 32..63";

    for (uint64_t x : {0ULL, 1ULL, 0x80000000ULL, 0xFFFFFFFFULL, 0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL,
                       0x00FF00FF80FF00FFULL, 0x123456789ABCDEF0ULL}) {
        jx_uint64_to_b(x, b);
        EXPECT_EQ(jx_b_to_uint64(b), x) << std::hex << x;
    }
    for (uint32_t x : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        jx_uint32_to_b(x, b);
        EXPECT_EQ(jx_b_to_uint32(b), x);
    }
}

TEST(Bits, WordOperations)
{
    EXPECT_EQ(jx_getbit(0x10, 4), 0x10u) << "the bit stays in its own position";
    EXPECT_EQ(jx_getbit(0x10, 3), 0u);
    EXPECT_EQ(jx_getbit(0x80000000u, 31), 0x80000000u);
    EXPECT_EQ(jx_setbit_1(0, 31), 0x80000000u);
    EXPECT_EQ(jx_setbit_1(0x1, 0), 0x1u);
    EXPECT_EQ(jx_setbit_0(0xFFFFFFFFu, 0), 0xFFFFFFFEu);
    EXPECT_EQ(jx_setbit_0(0x2, 0), 0x2u);
    EXPECT_EQ(jx_tglbit(0x5, 0), 0x4u);
    EXPECT_EQ(jx_tglbit(0x5, 1), 0x7u);
    EXPECT_EQ(jx_tgl(0x0F0F0000u), 0xF0F0FFFFu);
    // Beyond bit 31 no bit is named (and no undefined shift happens).
    EXPECT_EQ(jx_setbit_1(0x3, 32), 0x3u);
    EXPECT_EQ(jx_getbit(0xFFFFFFFFu, 40), 0u);
}

TEST(Bits, ByteArrayBitmaps)
{
    // Bit numbering is part of the wire format: bit i in byte i/8 under 1 << (i%8).
    uint8_t m[3] = {};
    jx_setbit_1_8bitmem(m, 9);
    EXPECT_EQ(m[0], 0x00);
    EXPECT_EQ(m[1], 0x02);
    EXPECT_EQ(m[2], 0x00);
    jx_setbit_1_8bitmem(m, 7);
    jx_setbit_1_8bitmem(m, 16);
    jx_setbit_1_8bitmem(m, 16);
    EXPECT_EQ(m[0], 0x80);
    EXPECT_EQ(m[1], 0x02);
    EXPECT_EQ(m[2], 0x01);

    const uint8_t ff01[2] = {0xFF, 0x01};
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 9), 1);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 10), 0);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 9), -1);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 10), 9);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 0), 1);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 0), -1);

    const uint8_t low_clear[2] = {0xFE, 0xFF};
    EXPECT_EQ(jx_getbit_0_8bitmem(low_clear, 1), 0);
    EXPECT_EQ(jx_getbit_0_8bitmem(low_clear, 16), 0);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(low_clear, 1), 0);

    // Filling a 512-chunk segment bitmap in order: the next missing chunk follows the filled ones.
    uint8_t seg[64] = {};
    for (uint64_t i = 0; i < 512; i++) {
        ASSERT_EQ(jx_getbit_0_8bitmem(seg, 512), static_cast<int32_t>(i));
        ASSERT_EQ(jx_is_allbit_1_8bitmem(seg, 512), 0);
        jx_setbit_1_8bitmem(seg, i);
    }
    EXPECT_EQ(jx_is_allbit_1_8bitmem(seg, 512), 1);
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), -1);
    // A gap in the middle is found even when higher bits are set.
    seg[37] = 0xEF;
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), 37 * 8 + 4);
}
