// SHA-256 on both compression functions (SHA extensions and portable): the published example
// digests, and lengths around the end-of-message padding, fed whole and in slices.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "foundation/sha256.hpp"
#include "foundation/utility.hpp"

namespace {

// Fed in slices of `piece` bytes (0: one call), the way a file is read to its end.
std::string digest(const std::string& msg, size_t piece)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    char s[2 * SHA256_DIGEST_SIZE + 1];
    // One byte in front, so that whole blocks are also read from an unaligned address.
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
    auto pattern = [](size_t n) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; i++)
            s[i] = static_cast<char>(i * 13 + 5);
        return s;
    };
    const std::pair<std::string, const char*> rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {pattern(55), "63c06c35402b73061b2b60338121fe8f4895640a178ed01c4b2e40ff8dcd1755"},
        {pattern(56), "86512867c0c0b58974d4a9f76fab04b3ed84c5ae5845bd807f809a7884ec24e5"},
        {pattern(63), "56547b4ccd1b089babcb872418aa6d3be61e3aba1b97e0eda0934d729ebe9e0c"},
        {pattern(64), "44aee5fa258a25ab9eeebaa630ea0ea92b017efb95fbce6f91c9c181e4d8ebe2"},
        {pattern(119), "6254840d9eae6aa6306503495f711a7a98d80c622280b8fdbc4a2e8fa5927800"},
        {pattern(120), "75304bcb12fabfd25d0d14a3bdfe209e4bc266b5686ad7d5dad3367ef836669f"},
        {pattern(1000), "7994e00959d889b2edd138584884b26ecd04053d86779cb88d89202dea18e599"},
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
    EXPECT_EQ(ctx.total[0], 0u);
    EXPECT_EQ(ctx.total[1], 1u);
}
