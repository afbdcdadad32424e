// Bytes as they travel and are stored: SHA-256 on both compression functions (SHA extensions and
// portable), the byte order of file images, and chunk bitmaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "foundation/bit_utils.hpp"
#include "foundation/sha256.hpp"
#include "foundation/utility.hpp"

namespace {

// Fed in slices of `piece` bytes (0: one call), the way a file is read to its end; one byte in
// front, so that whole blocks are also read from an unaligned address.
std::string digest(const std::string& msg, size_t piece)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    char s[2 * SHA256_DIGEST_SIZE + 1];
    const std::string buf = "_" + msg;
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    for (size_t off = 0; piece != 0 && off < msg.size(); off += piece)
        sha256_process_bytes(buf.data() + 1 + off, std::min(piece, msg.size() - off), &ctx);
    jx_bytes_to_string(piece == 0 ? sha256_buffer(buf.data() + 1, msg.size(), d) : sha256_finish_ctx(&ctx, d),
                       SHA256_DIGEST_SIZE, s, sizeof s);
    return s;
}

}  // namespace

TEST(Sha256, PublishedDigestsAndPaddingBoundariesOnBothPaths)
{
    // Bytes (13 i + 5) mod 256; from 56 bytes left over, 0x80 and the length need a second block.
    std::string pattern(1000, '\0');
    for (size_t i = 0; i < pattern.size(); i++)
        pattern[i] = static_cast<char>(i * 13 + 5);
    const std::pair<std::string, const char*> rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {pattern.substr(0, 55), "63c06c35402b73061b2b60338121fe8f4895640a178ed01c4b2e40ff8dcd1755"},
        {pattern.substr(0, 56), "86512867c0c0b58974d4a9f76fab04b3ed84c5ae5845bd807f809a7884ec24e5"},
        {pattern.substr(0, 63), "56547b4ccd1b089babcb872418aa6d3be61e3aba1b97e0eda0934d729ebe9e0c"},
        {pattern.substr(0, 64), "44aee5fa258a25ab9eeebaa630ea0ea92b017efb95fbce6f91c9c181e4d8ebe2"},
        {pattern.substr(0, 119), "6254840d9eae6aa6306503495f711a7a98d80c622280b8fdbc4a2e8fa5927800"},
        {pattern.substr(0, 120), "75304bcb12fabfd25d0d14a3bdfe209e4bc266b5686ad7d5dad3367ef836669f"},
        {pattern, "7994e00959d889b2edd138584884b26ecd04053d86779cb88d89202dea18e599"},
    };
    for (bool portable : {false, true}) {
        sha256_force_portable(portable);
        if (!portable && !sha256_uses_ni())
            continue;  // no SHA extensions on this CPU
        ASSERT_EQ(sha256_uses_ni(), !portable);
        // Slices of 127 after a 63-byte rest: the block waiting in the buffer goes before the
        // whole block that follows it.
        for (const auto& [msg, want] : rows)
            for (size_t piece : {0, 1, 32, 63, 64, 65, 127})
                EXPECT_EQ(digest(msg, piece), want) << msg.size() << " bytes in slices of " << piece
                                                    << (portable ? ", portable" : ", SHA extensions");
    }
    sha256_force_portable(false);

    // The byte count carries into its high word (files over 4 GiB).
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    ctx.total[0] = 0xFFFFFFC0u;
    sha256_process_block(rows[3].first.data(), 64, &ctx);
    EXPECT_TRUE(ctx.total[0] == 0 && ctx.total[1] == 1);
}

TEST(Bytes, ByteOrdersAndChunkBitmaps)
{
    // The file images, least significant byte first; the 0xEE sentinel shows nothing more is written.
    uint8_t b[9];
    std::memset(b, 0xEE, sizeof b);
    jx_uint32_to_b(0xA1B2C3D4u, b);
    EXPECT_EQ(std::memcmp(b, "\xD4\xC3\xB2\xA1\xEE", 5), 0);
    EXPECT_EQ(jx_b_to_uint32(b), 0xA1B2C3D4u);
    jx_uint64_to_b(0x8102030405060708ULL, b);
    EXPECT_EQ(std::memcmp(b, "\x08\x07\x06\x05\x04\x03\x02\x81\xEE", 9), 0);
    EXPECT_EQ(jx_b_to_uint64(b), 0x8102030405060708ULL);
    jx_uint16_to_b(0xA1B2, b);
    EXPECT_EQ(std::memcmp(b, "\xB2\xA1\x06", 3), 0);
    EXPECT_EQ(jx_b_to_uint16(b), 0xA1B2);
    // 64-bit network order: the most significant byte first in memory, and back.
    const uint64_t net = jx_hton64(0x0102030405060708ULL);
    EXPECT_EQ(std::memcmp(&net, "\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0);
    EXPECT_EQ(jx_ntoh64(net), 0x0102030405060708ULL);

    // Word bits 0..31; from 32 on no bit is named and the word stays. {w, n, set1, set0, toggled, get}
    // clang-format off
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> words[] = {
        {0x00000000, 0, 0x00000001, 0x00000000, 0x00000001, 0},
        {0x000000F0, 4, 0x000000F0, 0x000000E0, 0x000000E0, 0x10},
        {0x7FFFFFFF, 31, 0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0},
        {0x80000000, 31, 0x80000000, 0x00000000, 0x00000000, 0x80000000},
        {0x12345678, 32, 0x12345678, 0x12345678, 0x12345678, 0},
    };
    // clang-format on
    for (const auto& [w, n, one, zero, tgl, get] : words) {
        EXPECT_EQ(jx_setbit_1(w, n), one) << w << " bit " << n;
        EXPECT_EQ(jx_setbit_0(w, n), zero) << w << " bit " << n;
        EXPECT_EQ(jx_tglbit(w, n), tgl) << w << " bit " << n;
        EXPECT_EQ(jx_getbit(w, n), get) << w << " bit " << n;
        EXPECT_EQ(jx_tgl(w), ~w);
    }

    // The numbering travels on the wire: bit i in byte i / 8 under 1 << (i % 8).
    uint8_t m[3] = {};
    for (uint64_t i : {9, 7, 16})
        jx_setbit_1_8bitmem(m, i);
    EXPECT_EQ(std::memcmp(m, "\x80\x02\x01", 3), 0);
    // A 512-chunk segment filled in order: the next missing chunk follows the filled ones.
    uint8_t seg[64] = {};
    for (uint64_t i = 0; i < 512; i++) {
        ASSERT_EQ(jx_getbit_0_8bitmem(seg, 512), static_cast<int32_t>(i));
        jx_setbit_1_8bitmem(seg, i);
    }
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), -1);
    seg[37] = 0xEF;  // a gap below set bits is found; the bits before it are all set
    EXPECT_EQ(jx_getbit_0_8bitmem(seg, 512), 300);
    EXPECT_EQ(std::make_pair(jx_is_allbit_1_8bitmem(seg, 300), jx_is_allbit_1_8bitmem(seg, 301)),
              std::make_pair(1, 0));
}
