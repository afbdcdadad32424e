#include <gtest/gtest.h>

#include <cstring>

#include "foundation/bit_utils.hpp"

TEST(ByteOrder, NetworkOrder64AndLittleEndianCopies)
{
    const uint16_t probe = 0x0102;
    uint8_t mem[8];
    std::memcpy(mem, &probe, 2);
    EXPECT_EQ(jx_cpu_endian(), mem[0] == 0x02 ? 1 : 0);

    // In memory, a value in network order reads most significant byte first on any host.
    const uint64_t n = jx_hton64(0x0102030405060708ULL);
    std::memcpy(mem, &n, 8);
    const uint8_t big[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(mem, big, 8), 0);
    EXPECT_EQ(jx_ntoh64(n), 0x0102030405060708ULL);

    // Sentinel 0xEE bytes show that no more than the field's width is written.
    uint8_t b[9];
    std::memset(b, 0xEE, sizeof b);
    jx_uint16_to_b(0x0155, b);
    const uint8_t img16[3] = {0x55, 0x01, 0xEE};
    EXPECT_EQ(std::memcmp(b, img16, 3), 0);
    jx_uint32_to_b(0xA1B2C3D4u, b);
    const uint8_t img32[5] = {0xD4, 0xC3, 0xB2, 0xA1, 0xEE};
    EXPECT_EQ(std::memcmp(b, img32, 5), 0);
    jx_uint64_to_b(0x0102030405060708ULL, b);
    const uint8_t img64[9] = {8, 7, 6, 5, 4, 3, 2, 1, 0xEE};
    EXPECT_EQ(std::memcmp(b, img64, 9), 0);

    const uint8_t b16[2] = {0x01, 0x55};
    EXPECT_EQ(jx_b_to_uint16(b16), 0x5501);
    EXPECT_EQ(jx_b_to_uint32(img32), 0xA1B2C3D4u);
    // Bit 31 set: no sign extension into the upper bits.
    const uint8_t bit31[8] = {0, 0, 0, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(jx_b_to_uint32(bit31), 2147483648u);
    EXPECT_EQ(jx_b_to_uint64(bit31), 2147483648ULL);
    for (uint64_t x : {0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL, 0x00FF00FF80FF00FFULL}) {
        jx_uint64_to_b(x, b);
        EXPECT_EQ(jx_b_to_uint64(b), x) << std::hex << x;
    }
    jx_uint16_to_b(0xFFFF, b);
    EXPECT_EQ(jx_b_to_uint16(b), 65535);
}

TEST(Bits, WordsAndByteArrayBitmaps)
{
    EXPECT_EQ(jx_getbit(0x10, 4), 0x10u) << "the bit stays in its own position";
    EXPECT_EQ(jx_getbit(0x10, 3), 0u);
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

    // Bit numbering is part of the wire format: bit i in byte i/8 under 1 << (i%8).
    uint8_t m[3] = {};
    for (uint64_t i : {9, 7, 16, 16})
        jx_setbit_1_8bitmem(m, i);
    const uint8_t img[3] = {0x80, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(m, img, 3), 0);

    const uint8_t ff01[2] = {0xFF, 0x01};
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 9), 1);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 10), 0);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 9), -1);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 10), 9);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 0), 1);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 0), -1);
    const uint8_t low_clear[2] = {0xFE, 0xFF};
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
    seg[37] = 0xEF;  // a gap in the middle is found although higher bits are set
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), 37 * 8 + 4);
}
