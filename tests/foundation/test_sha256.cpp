// SHA-256 against the published example digests and against coreutils sha256sum, run on both the
// SHA-extension and the portable compression function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/sha256.hpp"
#include "foundation/utility.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t* d)
{
    char s[2 * SHA256_DIGEST_SIZE + 1];
    jx_bytes_to_string(d, SHA256_DIGEST_SIZE, s, sizeof s);
    return s;
}

std::string digest_hex(const void* data, std::size_t len)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_buffer(data, len, d), d);
    return hex(d);
}

// Fed in pieces of the sizes next_piece() picks (0 included), the way a file is read to its end.
template <typename F>
std::string digest_in_pieces(const Bytes& msg, F next_piece)
{
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    for (std::size_t off = 0, piece = 0; off < msg.size(); off += piece) {
        piece = std::min<std::size_t>(next_piece(), msg.size() - off);
        sha256_process_bytes(msg.data() + off, piece, &ctx);
        EXPECT_LE(ctx.buflen, 64u);
    }
    uint8_t d[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_finish_ctx(&ctx, d), d);
    return hex(d);
}

Bytes random_bytes(std::size_t n, unsigned seed)
{
    std::srand(seed);
    Bytes b(n);
    jx_random_bytes(b.data(), n);
    return b;
}

// The system's sha256sum of the bytes, through a temporary file.
std::string sha256sum_hex(const Bytes& data)
{
    const std::string path = "/tmp/jx_sha256_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    std::string out(64, '\0');
    FILE* p = popen(("sha256sum " + path).c_str(), "r");
    if (p == nullptr || std::fread(out.data(), 1, out.size(), p) != out.size())
        out = "no digest";
    if (p != nullptr)
        pclose(p);
    std::remove(path.c_str());
    return out;
}

// Parameter true: the portable compression function; false: the SHA extensions.
class Sha256 : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        sha256_force_portable(GetParam());
        if (!GetParam() && !sha256_uses_ni()) {
            std::ifstream cpu("/proc/cpuinfo");
            const std::string info{std::istreambuf_iterator<char>(cpu), std::istreambuf_iterator<char>()};
            ASSERT_EQ(info.find(" sha_ni"), std::string::npos)
                << "the CPU has SHA extensions but they are unused";
            GTEST_SKIP() << "CPU has no SHA extensions";
        }
        ASSERT_EQ(sha256_uses_ni(), !GetParam());
    }
    void TearDown() override { sha256_force_portable(false); }
};

TEST_P(Sha256, PublishedExampleDigests)
{
    const struct {
        std::string msg;
        const char* digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(digest_hex(r.msg.data(), r.msg.size()), r.digest) << r.msg.substr(0, 8);
}

TEST_P(Sha256, EndOfMessageBoundariesAndLargeInputsMatchSha256sum)
{
    // Lengths around where 0x80 and the 8-byte length stop fitting into the last block, then
    // sizes of real files.
    for (std::size_t n : {0,   1,   55,  56,  57,  63,  64,   65,    119,           120,
                          121, 127, 128, 129, 183, 184, 4113, 65536, (1 << 20) + 3, 3 * 1024 * 1024 + 1}) {
        // One byte in front: the input need not be aligned.
        const Bytes buf = random_bytes(n + 1, static_cast<uint32_t>(n) + 7);
        const Bytes msg(buf.begin() + 1, buf.end());
        EXPECT_EQ(digest_hex(buf.data() + 1, n), sha256sum_hex(msg)) << "length " << n;
    }
}

TEST_P(Sha256, PiecewiseFeedingMatchesOneShot)
{
    for (std::size_t n : {300, 1000, 4097}) {
        const Bytes msg = random_bytes(n, static_cast<uint32_t>(n));
        const std::string whole = digest_hex(msg.data(), n);
        for (std::size_t piece : {1, 63, 64, 65, 127})
            EXPECT_EQ(digest_in_pieces(msg, [=] { return piece; }), whole) << n << " by " << piece;
        for (int round = 0; round < 20; ++round)
            EXPECT_EQ(digest_in_pieces(msg, [] { return std::rand() % 200; }), whole)
                << n << " round " << round;
    }
}

TEST_P(Sha256, ContextMidStreamAndByteCount)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    // Nothing compressed yet: the initial hash values, big-endian.
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)),
              "6a09e667bb67ae853c6ef372a54ff53a510e527f9b05688c1f83d9ab5be0cd19");

    // "abc" already padded is one block whose compression is the digest of "abc".
    Bytes all = {'a', 'b', 'c', 0x80};
    all.resize(64);
    all[63] = 24;  // length in bits
    sha256_process_bytes(all.data(), 64, &ctx);
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);

    // Bytes that only wait in the buffer do not show; reading twice does not disturb the hash.
    const Bytes tail = random_bytes(40, 3);
    for (uint8_t b : tail)
        sha256_process_bytes(&b, 1, &ctx);
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);
    all.insert(all.end(), tail.begin(), tail.end());
    EXPECT_EQ(hex(sha256_finish_ctx(&ctx, d)), digest_hex(all.data(), all.size()));

    // The byte count carries into its high word.
    sha256_init_ctx(&ctx);
    ctx.total[0] = 0xFFFFFFC0u;
    sha256_process_block(all.data(), 64, &ctx);
    EXPECT_EQ(ctx.total[0], 0u);
    EXPECT_EQ(ctx.total[1], 1u);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha256, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Portable" : "ShaExtensions");
                         });

}  // namespace
