#include <gtest/gtest.h>

#include <cstring>

#include "foundation/bit_utils.hpp"

TEST(ByteOrder, NetworkOrder64AndLittleEndianImages)
{
    // In memory a value in network order reads most significant byte first on any host.
    const uint64_t n = jx_hton64(0x0102030405060708ULL);
    EXPECT_EQ(std::memcmp(&n, "\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0);
    EXPECT_EQ(jx_ntoh64(n), 0x0102030405060708ULL);

    // The file images, least significant byte first; the 0xEE sentinel shows nothing more is written.
    uint8_t b[9];
    std::memset(b, 0xEE, sizeof b);
    jx_uint16_to_b(0x0155, b);
    EXPECT_EQ(std::memcmp(b, "\x55\x01\xEE", 3), 0);
    EXPECT_EQ(jx_b_to_uint16(b), 0x0155);
    jx_uint32_to_b(0xA1B2C3D4u, b);
    EXPECT_EQ(std::memcmp(b, "\xD4\xC3\xB2\xA1\xEE", 5), 0);
    EXPECT_EQ(jx_b_to_uint32(b), 0xA1B2C3D4u);
    jx_uint64_to_b(0x8102030405060708ULL, b);
    EXPECT_EQ(std::memcmp(b, "\x08\x07\x06\x05\x04\x03\x02\x81\xEE", 9), 0);
    EXPECT_EQ(jx_b_to_uint64(b), 0x8102030405060708ULL);
}

TEST(Bits, WordsAndByteArrayBitmaps)
{
    EXPECT_EQ(jx_getbit(0x10, 4), 0x10u) << "the bit stays in its own position";
    EXPECT_EQ(jx_setbit_0(jx_setbit_1(0x5, 31), 0), 0x80000004u);
    EXPECT_EQ(jx_tglbit(jx_tgl(0x0F0F0000u), 1), 0xF0F0FFFDu);
    EXPECT_EQ(jx_setbit_1(0x2, 32) | jx_getbit(0xFFFFFFFFu, 32), 0x2u) << "beyond bit 31 no bit is named";

    // The numbering travels on the wire: bit i in byte i / 8 under 1 << (i % 8).
    uint8_t m[3] = {};
    for (uint64_t i : {9, 7, 16})
        jx_setbit_1_8bitmem(m, i);
    EXPECT_EQ(std::memcmp(m, "\x80\x02\x01", 3), 0);
    const uint8_t ff01[2] = {0xFF, 0x01}, fe[1] = {0xFE};
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 9), 1);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(ff01, 10), 0);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(fe, 1), 0);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 9), -1);
    EXPECT_EQ(jx_getbit_0_8bitmem(ff01, 10), 9);
    EXPECT_EQ(jx_getbit_0_8bitmem(fe, 8), 0);

    // A 512-chunk segment filled in order: the next missing chunk follows the filled ones.
    uint8_t seg[64] = {};
    for (uint64_t i = 0; i < 512; i++) {
        ASSERT_EQ(jx_getbit_0_8bitmem(seg, 512), static_cast<int32_t>(i));
        jx_setbit_1_8bitmem(seg, i);
    }
    EXPECT_EQ(jx_is_allbit_1_8bitmem(seg, 512), 1);
    seg[37] = 0xEF;  // a gap below set bits is found
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), 37 * 8 + 4);
    EXPECT_EQ(jx_is_allbit_1_8bitmem(seg, 512), 0);
}
