// The file side of transfers on real files: describing a file to offer, hashing it in slices,
// free names for received files, and whole segments in and out.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/log.hpp"
#include "foundation/sha256.hpp"
#include "storage/fso.hpp"
#include "storage/transfer_files.hpp"

namespace {

namespace fs = std::filesystem;

class TransferFiles : public ::testing::Test {
  protected:
    fs::path root;
    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_xfer_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        fs::create_directory(root / "downloads");
        fs::create_directory(root / "jx_internal");
        std::snprintf(fso.root_path, sizeof fso.root_path, "%s", root.c_str());
        ASSERT_EQ(jx_log_init((root / "jx_internal").c_str()), 0);
    }
    void TearDown() override
    {
        jx_log_close();
        (void)jx_fso_close();
        fs::remove_all(root);
    }
    std::string put(const fs::path& p, const std::string& bytes)
    {
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    std::string log() const
    {
        std::ifstream f(root / "jx_internal" / "log", std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
};

TEST_F(TransferFiles, DescribeAndHashInSlices)
{
    const std::string big(2500000, 'q');
    JXFileMeta m{};
    FILE* s = nullptr;
    ASSERT_EQ(jx_fso_metadata(&m, &s, put(root / "notes.txt", big).c_str()), 0);
    EXPECT_STREQ(m.name, "notes.txt");
    EXPECT_EQ(std::string(m.dir), root.string() + "/");
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 1);
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 1);
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 0);
    EXPECT_EQ(m.size, 2500000u);
    uint8_t want[32];
    EXPECT_EQ(std::memcmp(m.digest, sha256_buffer(big.data(), big.size(), want), 32), 0);
    jx_fso_close_fp(s);

    // An empty file is done at the first call; a bare name has no directory.
    const fs::path cwd = fs::current_path();
    fs::current_path(root);
    put(root / "empty", "");
    ASSERT_EQ(jx_fso_metadata(&m, &s, "empty"), 0);
    fs::current_path(cwd);
    EXPECT_STREQ(m.dir, "");
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 0);
    EXPECT_EQ(std::memcmp(m.digest, sha256_buffer("", 0, want), 32), 0);
    jx_fso_close_fp(s);

    // Forbidden names, directories and FIFOs (which would block or never end) are not offered.
    put(root / "a?b", "x");
    EXPECT_EQ(jx_fso_metadata(&m, &s, (root / "a?b").c_str()), 1);
    EXPECT_NE(log().find("\tForbidden charachers in filename\r\n"), std::string::npos);
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(jx_fso_metadata(&m, &s, (root / "fifo").c_str()), 1);
    EXPECT_EQ(jx_fso_file_exists((root / "fifo").c_str()), 0) << "and the existence test does not block";
    EXPECT_EQ(jx_fso_metadata(&m, &s, root.c_str()), 1);
    EXPECT_EQ(s, nullptr);
}

TEST_F(TransferFiles, ReceivedFilesTakeTheFirstFreeNameAndOverwriteNothing)
{
    const fs::path dl = root / "downloads";
    put(dl / "report.pdf", "1");
    put(dl / "report_(1).pdf", "2");
    fs::create_symlink(root / "elsewhere", dl / "archive");  // dangling: still a taken name
    const struct {
        const char* offered;
        const char* taken;
    } rows[] = {{"report.pdf", "report_(2).pdf"},
                {"archive", "archive_(1)"},
                {".profile", ".profile"},
                {".profile", "_(1).profile"}};
    for (const auto& r : rows) {
        JXFileMeta m{};
        std::snprintf(m.name, sizeof m.name, "%s", r.offered);
        FILE* f = jx_fso_get_dl_fp(&m);
        ASSERT_NE(f, nullptr) << r.offered;
        EXPECT_STREQ(m.name, r.taken);
        EXPECT_EQ(std::string(m.dir), dl.string() + "/");
        EXPECT_EQ(jx_fso_write_filepart2(f, reinterpret_cast<const uint8_t*>("seg"), 3), 0);
        jx_fso_close_fp(f);
        EXPECT_EQ(fs::file_size(dl / r.taken), 3u);
    }
    EXPECT_FALSE(fs::exists(root / "elsewhere"));
    EXPECT_EQ(fs::file_size(dl / "report.pdf"), 1u);

    // Whole segments or nothing.
    FILE* f = std::fopen((dl / "archive_(1)").c_str(), "rb");
    uint8_t buf[8];
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 3), 0);
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 1), 3);
    EXPECT_EQ(jx_fso_read_filepart2(nullptr, buf, 1), 1);
    EXPECT_EQ(jx_fso_write_filepart2(nullptr, buf, 1), 2);
    EXPECT_EQ(jx_fso_write_filepart2(f, buf, 1), 3) << "a stream open for reading";
    jx_fso_close_fp(f);
    const std::string l = log();
    for (const char* line : {"Reading filepart error 0", "Null pointer reading filepart",
                             "Null pointer writing filepart", "write2 failed with error 1"})
        EXPECT_NE(l.find(std::string("\t") + line + "\r\n"), std::string::npos) << line;
}

}  // namespace
