// SHA-256 against the published example digests and against coreutils sha256sum, run on both the
// SHA-extension and the portable compression function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "foundation/sha256.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t* d, std::size_t n = SHA256_DIGEST_SIZE)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string digest_hex(const void* data, std::size_t len)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_buffer(data, len, d), d);
    return hex(d);
}

std::string digest_hex(const std::string& s)
{
    return digest_hex(s.data(), s.size());
}
std::string digest_hex(const Bytes& b)
{
    return digest_hex(b.data(), b.size());
}

Bytes random_bytes(std::size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Hashes the bytes with the system's sha256sum through a temporary file.
std::string sha256sum_hex(const Bytes& data)
{
    std::string path = (std::filesystem::temp_directory_path() / "jx_sha256_XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0)
        return "mkstemp failed";
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w <= 0)
            break;
        off += static_cast<std::size_t>(w);
    }
    close(fd);
    std::string out;
    if (off == data.size()) {
        const std::string cmd = "sha256sum '" + path + "'";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof line, p) != nullptr)
                out.assign(line, strnlen(line, 64));
            pclose(p);
        }
    }
    std::remove(path.c_str());
    return out;
}

std::string digest_on_path(bool portable, const Bytes& b)
{
    sha256_force_portable(portable);
    std::string h = digest_hex(b);
    return h;
}

enum class Path { Ni, Portable };
void PrintTo(Path p, std::ostream* os)
{
    *os << (p == Path::Ni ? "SHA extensions" : "portable");
}

class Sha256 : public ::testing::TestWithParam<Path> {
  protected:
    void SetUp() override
    {
        sha256_force_portable(false);
        if (GetParam() == Path::Ni && !sha256_uses_ni())
            GTEST_SKIP() << "CPU has no SHA extensions";
        sha256_force_portable(GetParam() == Path::Portable);
        ASSERT_EQ(sha256_uses_ni(), GetParam() == Path::Ni);
    }
    void TearDown() override { sha256_force_portable(false); }
    // Restores this test's path after a helper that switched paths.
    void restore_path() { sha256_force_portable(GetParam() == Path::Portable); }
};

TEST_P(Sha256, PublishedExampleDigests)
{
    EXPECT_EQ(digest_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");

    const std::string million(1000000, 'a');
    const std::string million_digest = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    EXPECT_EQ(digest_hex(million), million_digest);
    // Same message in pieces that never line up with a block.
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    for (std::size_t off = 0; off < million.size(); off += 1000)
        sha256_process_bytes(million.data() + off, 1000, &ctx);
    uint8_t d[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_finish_ctx(&ctx, d), d);
    EXPECT_EQ(hex(d), million_digest);
}

TEST_P(Sha256, EndOfMessageBoundaries)
{
    // Lengths around where 0x80 and the 8-byte length stop fitting into the last block.
    const std::size_t lengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129, 183, 184};
    for (std::size_t n : lengths) {
        const Bytes msg = random_bytes(n, static_cast<uint32_t>(n) + 7);
        const std::string ours = digest_hex(msg);
        const std::string portable = digest_on_path(true, msg);
        const std::string other = digest_on_path(false, msg);
        restore_path();
        EXPECT_EQ(ours, sha256sum_hex(msg)) << "length " << n;
        EXPECT_EQ(portable, other) << "length " << n;

        // The input need not be aligned: hash the same bytes from an odd address.
        Bytes shifted(n + 1);
        if (n > 0)
            std::memcpy(shifted.data() + 1, msg.data(), n);
        EXPECT_EQ(digest_hex(shifted.data() + 1, n), ours) << "unaligned length " << n;
    }
}

TEST_P(Sha256, PiecewiseFeedingMatchesOneShot)
{
    for (std::size_t n : {std::size_t{300}, std::size_t{1000}, std::size_t{4097}}) {
        const Bytes msg = random_bytes(n, static_cast<uint32_t>(n));
        const std::string whole = digest_hex(msg);
        uint8_t d[SHA256_DIGEST_SIZE];

        for (std::size_t piece :
             {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{127}}) {
            sha256_ctx ctx;
            sha256_init_ctx(&ctx);
            std::size_t off = 0;
            for (; off + piece <= n; off += piece)
                sha256_process_bytes(msg.data() + off, piece, &ctx);
            // The last short piece, possibly empty, the way a file is read to its end.
            sha256_process_bytes(msg.data() + off, n - off, &ctx);
            EXPECT_LE(ctx.buflen, 64u);
            sha256_finish_ctx(&ctx, d);
            EXPECT_EQ(hex(d), whole) << "length " << n << " pieces of " << piece;
        }

        std::mt19937 rng(static_cast<uint32_t>(n) * 31);
        for (int round = 0; round < 20; ++round) {
            sha256_ctx ctx;
            sha256_init_ctx(&ctx);
            std::size_t off = 0;
            while (off < n) {
                const std::size_t piece = std::min<std::size_t>(rng() % 200, n - off);  // includes 0
                sha256_process_bytes(msg.data() + off, piece, &ctx);
                off += piece;
            }
            sha256_finish_ctx(&ctx, d);
            EXPECT_EQ(hex(d), whole) << "length " << n << " random round " << round;
        }
    }
}

TEST_P(Sha256, ReadContextMidStream)
{
    uint8_t d[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    // Nothing compressed yet: the initial hash values, big-endian.
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)),
              "6a09e667bb67ae853c6ef372a54ff53a510e527f9b05688c1f83d9ab5be0cd19");

    // "abc" already padded is one block whose compression is the digest of "abc".
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;  // length in bits
    sha256_process_bytes(block, 64, &ctx);
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);
    EXPECT_EQ(ctx.total[0], 64u);
    EXPECT_EQ(ctx.buflen, 0u);

    // Bytes that only wait in the buffer do not show; reading twice does not disturb the hash.
    const Bytes tail = random_bytes(40, 3);
    for (uint8_t b : tail)
        sha256_process_bytes(&b, 1, &ctx);
    EXPECT_EQ(ctx.buflen, 40u);
    EXPECT_EQ(ctx.total[0], 64u);
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);
    EXPECT_EQ(hex(sha256_read_ctx(&ctx, d)), abc);

    Bytes all(block, block + 64);
    all.insert(all.end(), tail.begin(), tail.end());
    sha256_finish_ctx(&ctx, d);
    EXPECT_EQ(hex(d), digest_hex(all));
}

TEST_P(Sha256, ByteCountCarriesIntoHighWord)
{
    sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    ctx.total[0] = 0xFFFFFFC0u;
    const Bytes block = random_bytes(64, 9);
    sha256_process_block(block.data(), 64, &ctx);
    EXPECT_EQ(ctx.total[0], 0u);
    EXPECT_EQ(ctx.total[1], 1u);
    sha256_process_block(block.data(), 64, &ctx);
    EXPECT_EQ(ctx.total[0], 64u);
    EXPECT_EQ(ctx.total[1], 1u);
}

TEST_P(Sha256, RandomDataMatchesSha256sum)
{
    const std::size_t sizes[] = {1, 1000, 4096 + 17, 65536, (1u << 20) + 3, 3u * 1024 * 1024 + 1};
    for (std::size_t n : sizes) {
        const Bytes msg = random_bytes(n, static_cast<uint32_t>(n) ^ 0x5a5a);
        const std::string expected = sha256sum_hex(msg);
        ASSERT_EQ(expected.size(), 64u) << "sha256sum gave no digest";
        EXPECT_EQ(digest_hex(msg), expected) << "size " << n;

        // As a file is hashed: 64-byte pieces and a final short one.
        sha256_ctx ctx;
        sha256_init_ctx(&ctx);
        for (std::size_t off = 0; off < n; off += 64)
            sha256_process_bytes(msg.data() + off, std::min<std::size_t>(64, n - off), &ctx);
        uint8_t d[SHA256_DIGEST_SIZE];
        sha256_finish_ctx(&ctx, d);
        EXPECT_EQ(hex(d), expected) << "size " << n << " in 64-byte pieces";
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha256, ::testing::Values(Path::Ni, Path::Portable),
                         [](const ::testing::TestParamInfo<Path>& i) {
                             return std::string(i.param == Path::Ni ? "ShaExtensions" : "Portable");
                         });

}  // namespace
